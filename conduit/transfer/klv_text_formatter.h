#pragma once
// Layouts of the text-file session's output file. A formatter hands out the text of each
// piece of the file (file start, session block start, column headers, one record's row, block
// end, file end); the text-file session writes each piece exactly as returned, line ends
// included (CR LF).

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "conduit/framework/palm_fields.h"

class TKLVPDASession;
class TVornConduitDb;

// Copies Text to At and returns the end. Most pieces of a row are a few bytes long: those
// go in at most two overlapping moves of a fixed size, without a call.
[[gnu::always_inline]] inline char* PutRowBytes(char* At, std::string_view Text) {
  const char* from = Text.data();
  const size_t n = Text.size();
  if (n > 16) {
    std::memcpy(At, from, n);
  } else if (n >= 8) {
    uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + n - 8, 8);
    std::memcpy(At, &head, 8);
    std::memcpy(At + n - 8, &tail, 8);
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    std::memcpy(At, &head, 4);
    std::memcpy(At + n - 4, &tail, 4);
  } else if (n > 0) {
    At[0] = from[0];
    At[n / 2] = from[n / 2];
    At[n - 1] = from[n - 1];
  }
  return At + n;
}

class TKLVPCTextFormatter {
 public:
  // Keeps a link to the session; the session is never freed by the formatter.
  explicit TKLVPCTextFormatter(TKLVPDASession& Session);
  virtual ~TKLVPCTextFormatter() = default;
  TKLVPCTextFormatter(const TKLVPCTextFormatter&) = delete;
  TKLVPCTextFormatter& operator=(const TKLVPCTextFormatter&) = delete;

  // Each operation replaces Text with its piece; an empty text means nothing is written.
  // The base versions raise Exception "TKLVPCTextFormatter.<Op>: base class method not
  // overridden" and leave Text alone.
  virtual void FormatStartFile(std::string& Text);
  virtual void FormatStartSession(std::string& Text);
  virtual void FormatColumnHeaders(std::string& Text);
  // The current record of the session's CurrentDb.
  virtual void FormatDataRow(std::string& Text);
  virtual void FormatEndSession(std::string& Text);
  virtual void FormatEndFile(std::string& Text);

  TKLVPDASession& PDASession;
  // Output file extension with its leading dot.
  std::string Extension = ".unset";
  // Lines FormatEndFile writes; removed from a finished file before appending to it.
  int32_t FooterLineCount = 0;

 protected:
  // One exported field of a data row, worked out once per layout of the data database.
  struct TRowField {
    int32_t FieldNo = 0;
    // Where the text is read from; null for a signature field or one the layout lacks, whose
    // text the session makes (into Scratch).
    const TVornPalmField* Value = nullptr;
    // The layout's text before and after the value.
    std::string Before, After;
    // The width the value is cut or filled to, for the layouts that have one.
    int32_t Width = 0;
    // What goes between the text before (or the row's start) and this one's: the earlier
    // field's After, the separator and Before.
    std::string Lead;
    // A Lead of at most 16 bytes, padded to 16: it goes into the row as one move of 16 bytes,
    // within the 16 bytes of room the row keeps for each field.
    char ShortLead[16] = {};
    bool LeadIsShort = false;
    std::string Scratch;
  };

  // Fields 1 .. this number make up a line: FieldCount, 0 when negative, at most 30.
  int32_t FieldLimit() const;
  // A line to build apart from Text (which a failure leaves as it was), empty, with the room
  // of the lines made before.
  std::string& StartLine();
  // Ends Line with Last and CR LF and hands it over as Text; Text's earlier storage serves
  // the next line.
  void EndLine(std::string& Text, std::string& Line, std::string_view Last = {});
  // The pieces of the included fields (Append adds field i's to the line), Separator between
  // them, as one line.
  template <typename AppendField>
  void JoinIncluded(std::string& Text, std::string_view Separator, AppendField Append);

  // Lets a layout set a field's Before, After and Width when the row's fields are worked out.
  virtual void PlanRowField(TRowField& Field);
  // The current record's row as Text (left as it was on a failure): Start, then each exported
  // field's Before, its text as Put writes it and its After, Separator between fields, then
  // Last and CR LF. Separator, Last and the fields' parts are taken at the first row of a
  // database. Put(At, Field, Text) returns the end of what it wrote; it has room for Grow
  // bytes a byte of Text, the field's Width and 16 more.
  template <typename PutText>
  void FormatRow(std::string& Text, std::string_view Start, std::string_view Separator,
                 std::string_view Last, size_t Grow, PutText Put);

 private:
  // The exported fields of the data database's current layout.
  std::vector<TRowField>& RowFields(std::string_view Separator, std::string_view Last);
  std::string_view FieldText(TRowField& Field) {
    return Field.Value ? Field.Value->Text(Field.Scratch) : SessionFieldText(Field);
  }
  // The text the session makes for a field the record does not hold.
  std::string_view SessionFieldText(TRowField& Field);

  std::string Line_;
  std::vector<TRowField> RowFields_;
  // What follows the last field's text; the room a row takes besides the texts.
  std::string RowTail_;
  size_t RowRoom_ = 0;
  std::vector<std::string_view> Texts_;
  bool Planned_ = false;
  const TVornConduitDb* PlannedDb_ = nullptr;
  uint64_t PlannedLayout_ = 0;
  std::string Row_;
};

template <typename PutText>
void TKLVPCTextFormatter::FormatRow(std::string& Text, std::string_view Start,
                                    std::string_view Separator, std::string_view Last, size_t Grow,
                                    PutText Put) {
  std::vector<TRowField>& rowFields = RowFields(Separator, Last);
  // Held in locals: the row's bytes are written through a char pointer, which the compiler
  // must otherwise assume to change the vectors' ends.
  TRowField* const fields = rowFields.data();
  const size_t count = rowFields.size();
  std::string_view* const texts = Texts_.data();
  size_t room = Start.size() + RowRoom_;
  for (size_t k = 0; k < count; ++k) {
    const std::string_view text = FieldText(fields[k]);
    texts[k] = text;
    room += Grow * text.size();
  }
  if (Row_.size() < room) Row_.resize(std::max(room, 2 * Row_.size()));
  char* at = PutRowBytes(Row_.data(), Start);
  for (size_t k = 0; k < count; ++k) {
    const TRowField& field = fields[k];
    if (field.LeadIsShort) {
      std::memcpy(at, field.ShortLead, sizeof field.ShortLead);
      at += field.Lead.size();
    } else {
      at = PutRowBytes(at, field.Lead);
    }
    at = Put(at, field, texts[k]);
  }
  at = PutRowBytes(at, RowTail_);
  Text.assign(Row_.data(), static_cast<size_t>(at - Row_.data()));
}

// Fields separated by TAB, one line per record.
class TKLVPCTextFormatterTab : public TKLVPCTextFormatter {
 public:
  explicit TKLVPCTextFormatterTab(TKLVPDASession& Session);

  void FormatStartFile(std::string& Text) override;
  void FormatStartSession(std::string& Text) override;
  void FormatColumnHeaders(std::string& Text) override;
  void FormatDataRow(std::string& Text) override;
  void FormatEndSession(std::string& Text) override;
  void FormatEndFile(std::string& Text) override;

  std::string Separator = "\t";
};

// Fields separated by commas, each in double quotes when QuoteValues is set (a quote inside
// doubled, so that CSV readers take the value back). Bare values are written as they are.
class TKLVPCTextFormatterComma : public TKLVPCTextFormatter {
 public:
  TKLVPCTextFormatterComma(TKLVPDASession& Session, bool Quote);

  void FormatStartFile(std::string& Text) override;
  void FormatStartSession(std::string& Text) override;
  void FormatColumnHeaders(std::string& Text) override;
  void FormatDataRow(std::string& Text) override;
  void FormatEndSession(std::string& Text) override;
  void FormatEndFile(std::string& Text) override;

  // A double quote, the text with each double quote doubled, a double quote.
  std::string QuoteValue(const std::string& Value) const;

  std::string Separator = ",";
  bool QuoteValues = false;
};

// Every field cut or blank-filled to its field width, no separator.
class TKLVPCTextFormatterFixed : public TKLVPCTextFormatter {
 public:
  explicit TKLVPCTextFormatterFixed(TKLVPDASession& Session);

  void FormatStartFile(std::string& Text) override;
  void FormatStartSession(std::string& Text) override;
  void FormatColumnHeaders(std::string& Text) override;
  void FormatDataRow(std::string& Text) override;
  void FormatEndSession(std::string& Text) override;
  void FormatEndFile(std::string& Text) override;

  // Text cut or filled with blanks to the width of field FieldNo (1-based).
  std::string FixedWidthValue(int FieldNo, const std::string& Value) const;

 protected:
  void PlanRowField(TRowField& Field) override;
};

// An HTML page: per session block a transfer-information table and a data table.
class TKLVPCTextFormatterHTML : public TKLVPCTextFormatter {
 public:
  explicit TKLVPCTextFormatterHTML(TKLVPDASession& Session);

  void FormatStartFile(std::string& Text) override;
  void FormatStartSession(std::string& Text) override;
  void FormatColumnHeaders(std::string& Text) override;
  void FormatDataRow(std::string& Text) override;
  void FormatEndSession(std::string& Text) override;
  void FormatEndFile(std::string& Text) override;

  // Width in percent of every data-table cell.
  int32_t ColumnPercent = 100;
  // The transfer date and time text; LocalDateTimeText of now unless a test puts its own.
  std::function<std::string()> DateTimeText;

 protected:
  void PlanRowField(TRowField& Field) override;
};

// An XML document: one Transfer element per session block inside one root element.
class TKLVPCTextFormatterXML : public TKLVPCTextFormatter {
 public:
  explicit TKLVPCTextFormatterXML(TKLVPDASession& Session);

  void FormatStartFile(std::string& Text) override;
  void FormatStartSession(std::string& Text) override;
  void FormatColumnHeaders(std::string& Text) override;
  void FormatDataRow(std::string& Text) override;
  void FormatEndSession(std::string& Text) override;
  void FormatEndFile(std::string& Text) override;

  // Rows formatted so far by this object; the ID of the next row is one more.
  int32_t RecordNumber = 0;
  // As in TKLVPCTextFormatterHTML.
  std::function<std::string()> DateTimeText;

 protected:
  // The field's element around its value.
  void PlanRowField(TRowField& Field) override;
};
