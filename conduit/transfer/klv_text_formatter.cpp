#include "conduit/transfer/klv_text_formatter.h"

#include <algorithm>

#include "base/exception.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pda_session.h"

namespace {

constexpr const char* kLineEnd = "\r\n";

// The texts of the included fields 1 .. Limit joined by Separator, then CR LF.
template <typename FieldText>
std::string JoinIncluded(TKLVPDASession& Session, int32_t Limit, const std::string& Separator,
                         FieldText Text) {
  std::string line;
  bool first = true;
  for (int32_t i = 1; i <= Limit; ++i) {
    if (!Session.IsFieldExported(i)) continue;
    if (!first) line += Separator;
    line += Text(i);
    first = false;
  }
  return line + kLineEnd;
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
  Text = JoinIncluded(PDASession, FieldLimit(), Separator,
                      [&](int32_t i) { return PDASession.FieldName(i); });
}

void TKLVPCTextFormatterTab::FormatDataRow(std::string& Text) {
  Text = JoinIncluded(PDASession, FieldLimit(), Separator,
                      [&](int32_t i) { return PDASession.GetFieldText(i); });
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
  std::string quoted = "\"";
  for (char c : Value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

void TKLVPCTextFormatterComma::FormatStartFile(std::string& Text) {
  Text.clear();
}
void TKLVPCTextFormatterComma::FormatStartSession(std::string& Text) {
  Text.clear();
}

void TKLVPCTextFormatterComma::FormatColumnHeaders(std::string& Text) {
  Text = JoinIncluded(PDASession, FieldLimit(), Separator, [&](int32_t i) {
    std::string name = PDASession.FieldName(i);
    return QuoteValues ? QuoteValue(name) : name;
  });
}

void TKLVPCTextFormatterComma::FormatDataRow(std::string& Text) {
  Text = JoinIncluded(PDASession, FieldLimit(), Separator, [&](int32_t i) {
    std::string value = PDASession.GetFieldText(i);
    return QuoteValues ? QuoteValue(value) : value;
  });
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
  Text = JoinIncluded(PDASession, FieldLimit(), "",
                      [&](int32_t i) { return FixedWidthValue(i, PDASession.FieldName(i)); });
}

void TKLVPCTextFormatterFixed::FormatDataRow(std::string& Text) {
  Text = JoinIncluded(PDASession, FieldLimit(), "",
                      [&](int32_t i) { return FixedWidthValue(i, PDASession.GetFieldText(i)); });
}

void TKLVPCTextFormatterFixed::FormatEndSession(std::string& Text) {
  Text.clear();
}
void TKLVPCTextFormatterFixed::FormatEndFile(std::string& Text) {
  Text.clear();
}
