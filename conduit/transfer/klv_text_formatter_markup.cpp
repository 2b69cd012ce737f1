// The HTML and XML layouts. Each session block opens with the transfer information (date and
// time, HotSync user, records on the handheld); the file's closing text is FooterLineCount
// lines long, so that appending can take it off again.
//
// Values, the user name and the HTML headings are escaped: unescaped, a scanned "<" or "&"
// breaks the document or injects markup into the page. A field name that is no XML name is
// made into one. The HTML page keeps the handheld's single-byte text (Windows-1252) and
// declares it; the XML layout writes it as UTF-8, as its declaration says.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "base/date_time.h"
#include "base/windows_1252.h"
#include "conduit/transfer/klv_pda_session.h"
#include "conduit/transfer/klv_services.h"
#include "conduit/transfer/klv_text_formatter.h"

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr const char* kConduitTitle = "QuillorPlus 2.8 ODBC";
constexpr const char* kMakerHomePage = "http://www.marrowind.example/";

std::u32string Cp1252Text(const std::string& Text) {
  std::u32string out;
  out.reserve(Text.size());
  for (char c : Text) out += Windows1252CodePoint(static_cast<unsigned char>(c));
  return out;
}

// The code points of valid UTF-8 text; nothing for any other text.
std::optional<std::u32string> Utf8Text(const std::string& Text) {
  std::u32string out;
  size_t i = 0;
  while (i < Text.size()) {
    const auto lead = static_cast<uint8_t>(Text[i++]);
    size_t extra;
    uint32_t cp, least;
    if (lead < 0x80) {
      out += lead;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, cp = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, cp = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, cp = lead & 0x07, least = 0x10000;
    } else {
      return std::nullopt;
    }
    if (Text.size() - i < extra) return std::nullopt;
    for (; extra > 0; --extra) {
      const auto next = static_cast<uint8_t>(Text[i++]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    out += cp;
  }
  return out;
}

void AppendUtf8(std::string& Out, uint32_t CodePoint) {
  if (CodePoint < 0x80) {
    Out += static_cast<char>(CodePoint);
  } else if (CodePoint < 0x800) {
    Out += static_cast<char>(0xC0 | (CodePoint >> 6));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  } else if (CodePoint < 0x10000) {
    Out += static_cast<char>(0xE0 | (CodePoint >> 12));
    Out += static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (CodePoint >> 18));
    Out += static_cast<char>(0x80 | ((CodePoint >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  }
}

// What each byte of a text becomes in a layout: Length 0 for a byte that stays as it is.
struct TByteTable {
  char Text[256][8] = {};
  uint8_t Length[256] = {};
};

// The characters that would end or start markup escaped; in XML besides, the single-byte text
// as UTF-8, a CR as a reference (parsers turn a raw one into a line feed), and the control
// characters that XML 1.0 does not allow at all as U+FFFD, the replacement character.
constexpr TByteTable MakeByteTable(bool Xml) {
  TByteTable table;
  auto set = [&table](uint8_t Byte, std::string_view Text) {
    for (size_t i = 0; i < Text.size(); ++i) table.Text[Byte][i] = Text[i];
    table.Length[Byte] = static_cast<uint8_t>(Text.size());
  };
  auto setUtf8 = [&set](uint8_t Byte, uint32_t CodePoint) {
    char text[3] = {};
    if (CodePoint < 0x800) {
      text[0] = static_cast<char>(0xC0 | (CodePoint >> 6));
      text[1] = static_cast<char>(0x80 | (CodePoint & 0x3F));
      set(Byte, std::string_view(text, 2));
    } else {
      text[0] = static_cast<char>(0xE0 | (CodePoint >> 12));
      text[1] = static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
      text[2] = static_cast<char>(0x80 | (CodePoint & 0x3F));
      set(Byte, std::string_view(text, 3));
    }
  };
  if (Xml) {
    for (unsigned b = 0; b < 256; ++b) {
      const auto byte = static_cast<uint8_t>(b);
      if (b == '\r')
        set(byte, "&#13;");
      else if (b < 0x20 && b != '\t' && b != '\n')
        setUtf8(byte, 0xFFFD);
      else if (b >= 0x80)
        setUtf8(byte, Windows1252CodePoint(byte));
    }
  }
  set('&', "&amp;");
  set('<', "&lt;");
  set('>', "&gt;");
  set('"', "&quot;");
  return table;
}

constexpr TByteTable kHtmlBytes = MakeByteTable(false);
constexpr TByteTable kXmlBytes = MakeByteTable(true);
// The most bytes one byte becomes.
constexpr size_t kMostPerByte = 6;

// Writes Text through Table at Out, which has room for kMostPerByte bytes a byte and 8 more;
// the runs of bytes that stay as they are go in one piece each. Returns the end.
char* PutThrough(const TByteTable& Table, char* Out, std::string_view Text) {
  const char* p = Text.data();
  const char* const end = p + Text.size();
  while (p != end) {
    const char* run = p;
    while (p != end && Table.Length[static_cast<uint8_t>(*p)] == 0) ++p;
    std::memcpy(Out, run, static_cast<size_t>(p - run));
    Out += p - run;
    if (p == end) break;
    const auto b = static_cast<uint8_t>(*p++);
    std::memcpy(Out, Table.Text[b], sizeof Table.Text[b]);
    Out += Table.Length[b];
  }
  return Out;
}

void AppendThrough(const TByteTable& Table, std::string& Out, std::string_view Text) {
  const size_t start = Out.size();
  Out.resize(start + kMostPerByte * Text.size() + 8);
  Out.resize(static_cast<size_t>(PutThrough(Table, Out.data() + start, Text) - Out.data()));
}

// Appends Text with the characters that would end or start markup escaped.
void AppendEscaped(std::string& Out, std::string_view Text) {
  AppendThrough(kHtmlBytes, Out, Text);
}

std::string EscapeMarkup(std::string_view Text) {
  std::string out;
  AppendEscaped(out, Text);
  return out;
}

// Appends single-byte text, escaped, as UTF-8.
void AppendXmlText(std::string& Out, std::string_view Text) {
  AppendThrough(kXmlBytes, Out, Text);
}

std::string XmlText(std::string_view Text) {
  std::string out;
  AppendXmlText(out, Text);
  return out;
}

// Characters that XML 1.0 allows in a name (without ":", which namespace-aware readers take
// for a prefix), at its start or after it.
bool IsXmlNameStart(uint32_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 0xC0 && c <= 0xD6) ||
         (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
         (c >= 0x37F && c <= 0x1FFF) || c == 0x200C || c == 0x200D ||
         (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) ||
         (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
         (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}
bool IsXmlNameChar(uint32_t c) {
  return IsXmlNameStart(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || c == 0x203F || c == 0x2040;
}

std::string CurrentUserName() {
  return ConduitUserName();
}

std::string RecordCountText(const TKLVPDASession& Session) {
  return std::to_string(Session.CurrentDb ? Session.CurrentDb->RecordCount() : 0);
}

// The transfer date and time as characters. The user's regional settings write it in the
// locale's encoding: UTF-8 as a rule, otherwise taken as the single-byte code page.
std::u32string TransferDateTime(const std::function<std::string()>& Source) {
  const std::string text = Source ? Source() : LocalDateTimeText();
  std::optional<std::u32string> utf8 = Utf8Text(text);
  return utf8 ? *utf8 : Cp1252Text(text);
}

// The page's code page cannot hold every character of a date, so outside ASCII it goes as
// character references.
std::string HtmlDateTime(const std::u32string& Text) {
  std::string out;
  for (char32_t c : Text) {
    if (c < 0x80) {
      out += EscapeMarkup(std::string(1, static_cast<char>(c)));
    } else {
      out += "&#" + std::to_string(static_cast<uint32_t>(c)) + ";";
    }
  }
  return out;
}

std::string XmlDateTime(const std::u32string& Text) {
  std::string out;
  for (char32_t c : Text) AppendUtf8(out, c);
  return EscapeMarkup(out);
}

// The field's name, or "Field<i>" when the session does not use names as headers.
std::string ColumnHeading(const TKLVPDASession& Session, int32_t FieldNo) {
  return Session.Prefs.FieldNamesAsHeaders ? Session.FieldName(FieldNo)
                                           : "Field" + std::to_string(FieldNo);
}

// Appends the element name of a field, as UTF-8: its column heading when that is a name;
// otherwise every character that cannot stand in a name becomes "_", and a "_" goes before a
// digit, "-" or "." that would begin it. A field without a name (one the session does not
// define) is "Field<n>", as when names are not used as headers.
void AppendXmlElementName(std::string& Out, const TKLVPDASession& Session, int32_t FieldNo) {
  const std::string heading = ColumnHeading(Session, FieldNo);
  if (heading.empty()) {
    Out += "Field" + std::to_string(FieldNo);
    return;
  }
  const uint32_t first = Windows1252CodePoint(static_cast<unsigned char>(heading[0]));
  if (IsXmlNameChar(first) && !IsXmlNameStart(first)) Out += '_';
  for (char c : heading) {
    const uint32_t cp = Windows1252CodePoint(static_cast<unsigned char>(c));
    AppendUtf8(Out, IsXmlNameChar(cp) ? cp : U'_');
  }
}

// The start of a data-table cell of the given colour and the column's width.
std::string CellStart(const char* Colour, int32_t ColumnPercent) {
  return std::string("  <td align=\"center\" bgcolor=\"") + Colour + "\" width=\"" +
         std::to_string(ColumnPercent) + "%\">";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TKLVPCTextFormatterHTML

TKLVPCTextFormatterHTML::TKLVPCTextFormatterHTML(TKLVPDASession& Session)
    : TKLVPCTextFormatter(Session) {
  Extension = ".htm";
  FooterLineCount = 7;
  ColumnPercent = 100 / std::max<int32_t>(PDASession.ExportedFieldCount(), 1);
}

void TKLVPCTextFormatterHTML::FormatStartFile(std::string& Text) {
  Text = std::string("<html>") + kCrLf +
         "<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
         "<title>Marrowind Datafile: " +
         kConduitTitle + "</title></head>" + kCrLf + "<body bgcolor=\"#FFFFFF\">" + kCrLf;
}

void TKLVPCTextFormatterHTML::FormatStartSession(std::string& Text) {
  std::string t;
  auto line = [&t](const std::string& s) { t += s + kCrLf; };
  line(
      "<table bgcolor=\"#000000\" width=\"100%\"  border=\"0\" cellspacing=\"1\" "
      "cellpadding=\"1\">");
  line(" <tr bgcolor=\"#b0b0b0\">");
  line("  <td  align=\"right\" width=\"10%\">Transfer Date&nbsp;</td>");
  line("  <td bgcolor=\"#FFFFFF\">" + HtmlDateTime(TransferDateTime(DateTimeText)) + "  </td>");
  line(" </tr>");
  line(" <tr bgcolor=\"#b0b0b0\">");
  line("  <td align=\"right\" width=\"10%\">User&nbsp;</td>");
  line("  <td bgcolor=\"#FFFFFF\">" + EscapeMarkup(CurrentUserName()) + "  </td>");
  line(" </tr>");
  // Stored pages carry this row's colour without the "#".
  line(" <tr bgcolor=\"b0b0b0\">");
  line("  <td  align=\"right\" width=\"10%\">Total Records&nbsp;</td>");
  line("  <td bgcolor=\"#FFFFFF\">" + RecordCountText(PDASession) + "  </td>");
  line(" </tr>");
  line("</table>");
  line("<table width=\"100%\" bgcolor=\"#000000\" cellspacing=\"1\" cellpadding=\"1\">");
  line(" <tr>");
  const std::string cell = CellStart("#b0b0b0", ColumnPercent);
  for (int32_t i = 1; i <= FieldLimit(); ++i) {
    if (PDASession.IsFieldExported(i))
      line(cell + EscapeMarkup(ColumnHeading(PDASession, i)) + "</td>");
  }
  line("");
  line(" </tr>");
  Text = t;
}

// The headings are part of the session block.
void TKLVPCTextFormatterHTML::FormatColumnHeaders(std::string& Text) {
  Text.clear();
}

void TKLVPCTextFormatterHTML::PlanRowField(TRowField& Field) {
  Field.Before = CellStart("#FFFFFF", ColumnPercent);
  Field.After = std::string("  </td>") + kCrLf;
}

void TKLVPCTextFormatterHTML::FormatDataRow(std::string& Text) {
  if (PDASession.ExportedFieldCount() == 0) {
    Text.clear();
    return;
  }
  FormatRow(Text, std::string(" <tr>") + kCrLf, {}, " </tr>", kMostPerByte,
            [](char* At, const TRowField&, std::string_view Value) {
              return PutThrough(kHtmlBytes, At, Value);
            });
}

void TKLVPCTextFormatterHTML::FormatEndSession(std::string& Text) {
  Text = std::string("</table>") + kCrLf;
}

void TKLVPCTextFormatterHTML::FormatEndFile(std::string& Text) {
  Text = std::string(kCrLf) + "<table width=\"100%\">" + kCrLf + " <tr align=\"center\"><td>" +
         kCrLf +
         " <font size=\"-1\">This file created with KLV Quillor+, a PDA barcode enabled data "
         "capture application.</font>" +
         kCrLf + " <br><font size=\"-1\"><b>A product of <a href=\"" + kMakerHomePage +
         "\" target=\"new\">Marrowind</a></b></font>" + kCrLf + "</td></tr></table>" + kCrLf +
         "</body></html>" + kCrLf;
}

// ---------------------------------------------------------------------------------------------
// TKLVPCTextFormatterXML

TKLVPCTextFormatterXML::TKLVPCTextFormatterXML(TKLVPDASession& Session)
    : TKLVPCTextFormatter(Session) {
  Extension = ".xml";
  FooterLineCount = 2;
}

void TKLVPCTextFormatterXML::FormatStartFile(std::string& Text) {
  Text = std::string("<?xml version=\"1.0\"  encoding=\"UTF-8\" ?>") + kCrLf + "<QuillorPlusData>" +
         kCrLf;
}

void TKLVPCTextFormatterXML::FormatStartSession(std::string& Text) {
  Text = "  <Transfer Date=\"" + XmlDateTime(TransferDateTime(DateTimeText)) + "\">" + kCrLf +
         "  <UserName>" + XmlText(CurrentUserName()) + "</UserName>" + kCrLf + "  <TotalRecords>" +
         RecordCountText(PDASession) + "</TotalRecords>" + kCrLf;
}

void TKLVPCTextFormatterXML::FormatColumnHeaders(std::string& Text) {
  Text.clear();
}

void TKLVPCTextFormatterXML::PlanRowField(TRowField& Field) {
  std::string name;
  AppendXmlElementName(name, PDASession, Field.FieldNo);
  Field.Before = "  <" + name + ">";
  Field.After = "  </" + name + ">" + kCrLf;
}

void TKLVPCTextFormatterXML::FormatDataRow(std::string& Text) {
  ++RecordNumber;
  constexpr std::string_view kOpen = " <Record>\r\n  <ID>", kIdEnd = "</ID>\r\n";
  char start[kOpen.size() + 16 + kIdEnd.size()];
  std::memcpy(start, kOpen.data(), kOpen.size());
  char* end = std::to_chars(start + kOpen.size(), start + kOpen.size() + 16, RecordNumber).ptr;
  std::memcpy(end, kIdEnd.data(), kIdEnd.size());
  end += kIdEnd.size();
  FormatRow(Text, std::string_view(start, static_cast<size_t>(end - start)), {}, " </Record>",
            kMostPerByte, [](char* At, const TRowField&, std::string_view Value) {
              return PutThrough(kXmlBytes, At, Value);
            });
}

void TKLVPCTextFormatterXML::FormatEndSession(std::string& Text) {
  Text = std::string("</Transfer>") + kCrLf;
}

void TKLVPCTextFormatterXML::FormatEndFile(std::string& Text) {
  Text = std::string(kCrLf) + "</QuillorPlusData>" + kCrLf;
}
