#pragma once
// Layouts of the text-file session's output file. A formatter hands out the text of each
// piece of the file (file start, session block start, column headers, one record's row, block
// end, file end); the text-file session writes each piece exactly as returned, line ends
// included (CR LF).

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class TKLVPDASession;

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

 private:
  std::string Line_;
};

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

 private:
  // Each included field's element name, by field number, made at the first row.
  std::vector<std::string> ElementNames_;
};
