// The HTML and XML layouts. Each session block opens with the transfer information (date and
// time, HotSync user, records on the handheld); the file's closing text is FooterLineCount
// lines long, so that appending can take it off again.
//
// Values, the user name and the HTML headings are escaped: unescaped, a scanned "<" or "&"
// breaks the document or injects markup into the page. XML element names stay the field
// names. The XML layout writes the handheld's single-byte text as UTF-8, as its declaration
// says.
#include <algorithm>
#include <cstdint>

#include "base/date_time.h"
#include "base/format.h"
#include "conduit/transfer/klv_conduit.h"
#include "conduit/transfer/klv_pda_session.h"
#include "conduit/transfer/klv_text_formatter.h"

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr const char* kConduitTitle = "QuillorPlus 2.8 ODBC";
constexpr const char* kMakerHomePage = "http://www.marrowind.example/";

// Code points of the bytes 0x80 to 0x9F in the desktop's single-byte code page (Windows-1252);
// its five unused bytes keep their own value.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& Out, uint32_t CodePoint) {
  if (CodePoint < 0x80) {
    Out += static_cast<char>(CodePoint);
  } else if (CodePoint < 0x800) {
    Out += static_cast<char>(0xC0 | (CodePoint >> 6));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  } else {
    Out += static_cast<char>(0xE0 | (CodePoint >> 12));
    Out += static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (CodePoint & 0x3F));
  }
}

// Single-byte text as UTF-8. Control characters that XML 1.0 does not allow at all become
// U+FFFD, the replacement character.
std::string XmlChars(const std::string& Text) {
  std::string out;
  out.reserve(Text.size());
  for (char c : Text) {
    auto b = static_cast<uint8_t>(c);
    if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') {
      AppendUtf8(out, 0xFFFD);
    } else if (b >= 0x80 && b < 0xA0) {
      AppendUtf8(out, kCp1252High[b - 0x80]);
    } else {
      AppendUtf8(out, b);
    }
  }
  return out;
}

// Escapes the characters that would end or start markup.
std::string EscapeMarkup(const std::string& Text) {
  std::string out;
  out.reserve(Text.size());
  for (char c : Text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string XmlText(const std::string& Text) {
  return EscapeMarkup(XmlChars(Text));
}

std::string CurrentUserName() {
  return GConduit ? GConduit->UserName() : std::string();
}

std::string RecordCountText(const TKLVPDASession& Session) {
  return std::to_string(Session.CurrentDb ? Session.CurrentDb->RecordCount() : 0);
}

// In the locale's own encoding already, so only escaped.
std::string TransferDateTime(const std::function<std::string()>& Source) {
  return Source ? Source() : LocalDateTimeText();
}

// The field's name, or "Field<i>" when the session does not use names as headers.
std::string ColumnHeading(const TKLVPDASession& Session, int32_t FieldNo) {
  return Session.Prefs.FieldNamesAsHeaders ? Session.FieldName(FieldNo)
                                           : Format("Field%d", FieldNo);
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
  Text = std::string("<html>") + kCrLf + "<head><title>Marrowind Datafile: " + kConduitTitle +
         "</title></head>" + kCrLf + "<body bgcolor=\"#FFFFFF\">" + kCrLf;
}

void TKLVPCTextFormatterHTML::FormatStartSession(std::string& Text) {
  std::string t;
  auto line = [&t](const std::string& s) { t += s + kCrLf; };
  line(
      "<table bgcolor=\"#000000\" width=\"100%\"  border=\"0\" cellspacing=\"1\" "
      "cellpadding=\"1\">");
  line(" <tr bgcolor=\"#b0b0b0\">");
  line("  <td  align=\"right\" width=\"10%\">Transfer Date&nbsp;</td>");
  line("  <td bgcolor=\"#FFFFFF\">" + EscapeMarkup(TransferDateTime(DateTimeText)) + "  </td>");
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
  const std::string cell = "  <td align=\"center\" bgcolor=\"#b0b0b0\" width=\"" +
                           std::to_string(ColumnPercent) + "%\">";
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

void TKLVPCTextFormatterHTML::FormatDataRow(std::string& Text) {
  Text.clear();
  if (PDASession.ExportedFieldCount() == 0) return;
  std::string t = std::string(" <tr>") + kCrLf;
  const std::string cell = "  <td align=\"center\" bgcolor=\"#FFFFFF\" width=\"" +
                           std::to_string(ColumnPercent) + "%\">";
  for (int32_t i = 1; i <= FieldLimit(); ++i) {
    if (PDASession.IsFieldExported(i))
      t += cell + EscapeMarkup(PDASession.GetFieldText(i)) + "  </td>" + kCrLf;
  }
  Text = t + " </tr>" + kCrLf;
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
  Text = "  <Transfer Date=\"" + EscapeMarkup(TransferDateTime(DateTimeText)) + "\">" + kCrLf +
         "  <UserName>" + XmlText(CurrentUserName()) + "</UserName>" + kCrLf + "  <TotalRecords>" +
         RecordCountText(PDASession) + "</TotalRecords>" + kCrLf;
}

void TKLVPCTextFormatterXML::FormatColumnHeaders(std::string& Text) {
  Text.clear();
}

void TKLVPCTextFormatterXML::FormatDataRow(std::string& Text) {
  ++RecordNumber;
  std::string t =
      std::string(" <Record>") + kCrLf + "  <ID>" + std::to_string(RecordNumber) + "</ID>" + kCrLf;
  for (int32_t i = 1; i <= FieldLimit(); ++i) {
    if (!PDASession.IsFieldExported(i)) continue;
    // Element names stay as the session names them; readers look fields up by these names.
    const std::string tag = XmlChars(ColumnHeading(PDASession, i));
    t += "  <" + tag + ">" + XmlText(PDASession.GetFieldText(i)) + "  </" + tag + ">" + kCrLf;
  }
  Text = t + " </Record>" + kCrLf;
}

void TKLVPCTextFormatterXML::FormatEndSession(std::string& Text) {
  Text = std::string("</Transfer>") + kCrLf;
}

void TKLVPCTextFormatterXML::FormatEndFile(std::string& Text) {
  Text = std::string(kCrLf) + "</QuillorPlusData>" + kCrLf;
}
