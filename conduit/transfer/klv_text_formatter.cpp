#include "conduit/transfer/klv_text_formatter.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "base/exception.h"
#include "conduit/framework/conduit_db.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pda_session.h"

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// Doubles every double quote that Line holds from Start on.
void DoubleQuotesFrom(std::string& Line, size_t Start) {
  const size_t quote = Line.find('"', Start);
  if (quote == std::string::npos) return;
  const std::string tail = Line.substr(quote);
  Line.resize(quote);
  for (char c : tail) {
    if (c == '"') Line += '"';
    Line += c;
  }
}

// Appends what Append adds, in double quotes with each quote inside doubled when Quote is set.
template <typename AppendText>
void AppendQuoted(std::string& Line, bool Quote, AppendText Append) {
  if (!Quote) {
    Append(Line);
    return;
  }
  Line += '"';
  const size_t start = Line.size();
  Append(Line);
  DoubleQuotesFrom(Line, start);
  Line += '"';
}

// Appends what Append adds, cut or filled with blanks to Width characters, as PadToWidth.
template <typename AppendText>
void AppendPadded(std::string& Line, int32_t Width, AppendText Append) {
  const size_t start = Line.size();
  Append(Line);
  Line.resize(start + static_cast<size_t>(std::max<int32_t>(Width, 0)), ' ');
}

char* Put(char* At, std::string_view Text) {
  return PutRowBytes(At, Text);
}

// The value in double quotes, each quote inside doubled.
char* PutQuoted(char* At, std::string_view Text) {
  *At++ = '"';
  for (;;) {
    const size_t quote = Text.find('"');
    if (quote == std::string_view::npos) break;
    At = Put(At, Text.substr(0, quote + 1));
    *At++ = '"';
    Text.remove_prefix(quote + 1);
  }
  At = Put(At, Text);
  *At++ = '"';
  return At;
}

// The value cut or filled with blanks to the field's width.
char* PutPadded(char* At, std::string_view Text, int32_t Width) {
  const size_t width = static_cast<size_t>(std::max<int32_t>(Width, 0));
  At = Put(At, Text.substr(0, width));
  if (Text.size() < width) {
    std::memset(At, ' ', width - Text.size());
    At += width - Text.size();
  }
  return At;
}

[[noreturn]] void NotOverridden(const char* Operation) {
  throw Exception(std::string("TKLVPCTextFormatter.") + Operation +
                  ": base class method not overridden");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TKLVPCTextFormatter

TKLVPCTextFormatter::TKLVPCTextFormatter(TKLVPDASession& Session) : PDASession(Session) {}

void TKLVPCTextFormatter::FormatStartFile(std::string&) {
  NotOverridden("FormatStartFile");
}
void TKLVPCTextFormatter::FormatStartSession(std::string&) {
  NotOverridden("FormatStartSession");
}
void TKLVPCTextFormatter::FormatColumnHeaders(std::string&) {
  NotOverridden("FormatColumnHeaders");
}
void TKLVPCTextFormatter::FormatDataRow(std::string&) {
  NotOverridden("FormatDataRow");
}
void TKLVPCTextFormatter::FormatEndSession(std::string&) {
  NotOverridden("FormatEndSession");
}
void TKLVPCTextFormatter::FormatEndFile(std::string&) {
  NotOverridden("FormatEndFile");
}

int32_t TKLVPCTextFormatter::FieldLimit() const {
  // The block holds 30 field definitions; a larger count must not reach past them.
  return std::clamp<int32_t>(PDASession.Prefs.FieldCount, 0, kSessionFieldCount);
}

std::string& TKLVPCTextFormatter::StartLine() {
  Line_.clear();
  return Line_;
}

void TKLVPCTextFormatter::EndLine(std::string& Text, std::string& Line, std::string_view Last) {
  Line += Last;
  Line += kLineEnd;
  std::swap(Text, Line);
}

void TKLVPCTextFormatter::PlanRowField(TRowField&) {}

std::vector<TKLVPCTextFormatter::TRowField>& TKLVPCTextFormatter::RowFields(
    std::string_view Separator, std::string_view Last) {
  // A database opened anew has a layout of its own: the session's fields stay as they are
  // while it downloads.
  const TVornConduitDb* db = PDASession.CurrentDb.get();
  const uint64_t layout = db ? db->Fields.LayoutVersion() : 0;
  if (Planned_ && db == PlannedDb_ && layout == PlannedLayout_) return RowFields_;
  Planned_ = false;
  RowFields_.clear();
  std::string before;
  const int32_t limit = FieldLimit();
  for (int32_t i = 1; i <= limit; ++i) {
    if (!PDASession.IsFieldExported(i)) continue;
    TRowField field;
    field.FieldNo = i;
    if (db && PDASession.FieldDef(i).FieldType != kFieldTypeBitmap && i < db->Fields.Count())
      field.Value = &db->Fields.Items(i);
    PlanRowField(field);
    field.Lead = before;
    if (!RowFields_.empty()) field.Lead += Separator;
    field.Lead += field.Before;
    field.LeadIsShort = field.Lead.size() <= sizeof field.ShortLead;
    if (field.LeadIsShort) std::memcpy(field.ShortLead, field.Lead.data(), field.Lead.size());
    before = field.After;
    RowFields_.push_back(std::move(field));
  }
  RowTail_ = before;
  RowTail_ += Last;
  RowTail_ += kLineEnd;
  RowRoom_ = RowTail_.size();
  for (const TRowField& field : RowFields_)
    RowRoom_ += field.Lead.size() + static_cast<size_t>(std::max<int32_t>(field.Width, 0)) + 16;
  Texts_.resize(RowFields_.size());
  PlannedDb_ = db;
  PlannedLayout_ = layout;
  Planned_ = true;
  return RowFields_;
}

std::string_view TKLVPCTextFormatter::SessionFieldText(TRowField& Field) {
  // Raises what the session raises for a field it cannot read.
  Field.Scratch.clear();
  PDASession.AppendFieldText(Field.Scratch, Field.FieldNo);
  return Field.Scratch;
}

template <typename AppendField>
void TKLVPCTextFormatter::JoinIncluded(std::string& Text, std::string_view Separator,
                                       AppendField Append) {
  std::string& line = StartLine();
  bool first = true;
  const int32_t limit = FieldLimit();
  for (int32_t i = 1; i <= limit; ++i) {
    if (!PDASession.IsFieldExported(i)) continue;
    if (!first) line += Separator;
    Append(line, i);
    first = false;
  }
  EndLine(Text, line);
}

// ---------------------------------------------------------------------------------------------
// TKLVPCTextFormatterTab

TKLVPCTextFormatterTab::TKLVPCTextFormatterTab(TKLVPDASession& Session)
    : TKLVPCTextFormatter(Session) {
  Extension = ".txt";
}

void TKLVPCTextFormatterTab::FormatStartFile(std::string& Text) {
  Text.clear();
}
void TKLVPCTextFormatterTab::FormatStartSession(std::string& Text) {
  Text.clear();
}

void TKLVPCTextFormatterTab::FormatColumnHeaders(std::string& Text) {
  JoinIncluded(Text, Separator,
               [&](std::string& Line, int32_t i) { Line += PDASession.FieldName(i); });
}

void TKLVPCTextFormatterTab::FormatDataRow(std::string& Text) {
  FormatRow(Text, {}, Separator, {}, 1,
            [](char* At, const TRowField&, std::string_view Value) { return Put(At, Value); });
}

void TKLVPCTextFormatterTab::FormatEndSession(std::string& Text) {
  Text.clear();
}
void TKLVPCTextFormatterTab::FormatEndFile(std::string& Text) {
  Text.clear();
}

// ---------------------------------------------------------------------------------------------
// TKLVPCTextFormatterComma

TKLVPCTextFormatterComma::TKLVPCTextFormatterComma(TKLVPDASession& Session, bool Quote)
    : TKLVPCTextFormatter(Session), QuoteValues(Quote) {
  Extension = ".txt";
}

std::string TKLVPCTextFormatterComma::QuoteValue(const std::string& Value) const {
  std::string quoted;
  AppendQuoted(quoted, true, [&](std::string& Line) { Line += Value; });
  return quoted;
}

void TKLVPCTextFormatterComma::FormatStartFile(std::string& Text) {
  Text.clear();
}
void TKLVPCTextFormatterComma::FormatStartSession(std::string& Text) {
  Text.clear();
}

void TKLVPCTextFormatterComma::FormatColumnHeaders(std::string& Text) {
  JoinIncluded(Text, Separator, [&](std::string& Line, int32_t i) {
    AppendQuoted(Line, QuoteValues, [&](std::string& Out) { Out += PDASession.FieldName(i); });
  });
}

void TKLVPCTextFormatterComma::FormatDataRow(std::string& Text) {
  if (!QuoteValues)
    return FormatRow(Text, {}, Separator, {}, 1, [](char* At, const TRowField&,
                                                    std::string_view Value) { return Put(At, Value); });
  FormatRow(Text, {}, Separator, {}, 2,
            [](char* At, const TRowField&, std::string_view Value) { return PutQuoted(At, Value); });
}

void TKLVPCTextFormatterComma::FormatEndSession(std::string& Text) {
  Text.clear();
}
void TKLVPCTextFormatterComma::FormatEndFile(std::string& Text) {
  Text.clear();
}

// ---------------------------------------------------------------------------------------------
// TKLVPCTextFormatterFixed

TKLVPCTextFormatterFixed::TKLVPCTextFormatterFixed(TKLVPDASession& Session)
    : TKLVPCTextFormatter(Session) {
  Extension = ".txt";
}

std::string TKLVPCTextFormatterFixed::FixedWidthValue(int FieldNo, const std::string& Value) const {
  return PadToWidth(Value, PDASession.GetFieldWidth(FieldNo));
}

void TKLVPCTextFormatterFixed::FormatStartFile(std::string& Text) {
  Text.clear();
}
void TKLVPCTextFormatterFixed::FormatStartSession(std::string& Text) {
  Text.clear();
}

void TKLVPCTextFormatterFixed::FormatColumnHeaders(std::string& Text) {
  JoinIncluded(Text, "", [&](std::string& Line, int32_t i) {
    AppendPadded(Line, PDASession.GetFieldWidth(i),
                 [&](std::string& Out) { Out += PDASession.FieldName(i); });
  });
}

void TKLVPCTextFormatterFixed::PlanRowField(TRowField& Field) {
  Field.Width = PDASession.GetFieldWidth(Field.FieldNo);
}

void TKLVPCTextFormatterFixed::FormatDataRow(std::string& Text) {
  FormatRow(Text, {}, {}, {}, 0, [](char* At, const TRowField& Field, std::string_view Value) {
    return PutPadded(At, Value, Field.Width);
  });
}

void TKLVPCTextFormatterFixed::FormatEndSession(std::string& Text) {
  Text.clear();
}
void TKLVPCTextFormatterFixed::FormatEndFile(std::string& Text) {
  Text.clear();
}
