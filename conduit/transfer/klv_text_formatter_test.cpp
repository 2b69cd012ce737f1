// The five output layouts, byte for byte, for a small session read through fake sync-manager
// slots: field 1 "Item" (width 5) and field 3 "Qty" (width 3) exported, field 2 "Secret" not.
#include "conduit/transfer/klv_text_formatter.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/exception.h"
#include "base/text_file.h"
#include "conduit/framework/record_format.h"
#include "conduit/framework/sync_api.h"
#include "conduit/transfer/klv_conduit.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pda_session.h"
#include "conduit/transfer/testdata/markup_reader.h"
#include "conduit/transfer/testdata/test_support.h"
#include "testsupport/delimited_text.h"
#include "testsupport/test_support.h"

using trtest::Content;
using trtest::Descendants;
using trtest::Elements;
using trtest::Name;
using trtest::Parse;
using trtest::ParsedDoc;

namespace {

using Rows = std::vector<std::vector<std::string>>;  // values of fields 1, 2, 3, ...

// The session's data database as the fake sync manager holds it.
Rows* gRows = nullptr;

int32_t FakeRecordCount(uint8_t, uint16_t* count) {
  *count = static_cast<uint16_t>(gRows->size());
  return 0;
}
int32_t FakeReadByIndex(TRawRecordInfo* info) {
  if (info->RecordIndex >= gRows->size()) return 0x400D;
  TVornPalmFields fields;
  TVornPalmField& id = fields.Add();
  id.SetFieldName("Rec_ID");
  id.SetDataType(pftSmallint);
  id.SetAsInteger(100 + info->RecordIndex);
  const std::vector<std::string>& row = (*gRows)[info->RecordIndex];
  for (int i = 1; i <= 30; ++i) {
    TVornPalmField& f = fields.Add();
    f.SetFieldName("Field" + std::to_string(i));
    f.SetDataType(pftString);
    f.SetSize(31);
    f.SetAsString(i <= static_cast<int>(row.size()) ? row[i - 1] : "");
  }
  info->RecordId = 100 + info->RecordIndex;
  info->RecordSize = PackRecord(info->Buffer, info->BufferSize, fields, false, {});
  return 0;
}

// Lines joined, each followed by CR LF.
std::string Lines(std::initializer_list<std::string> lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\r\n";
  return out;
}

void DefineField(TKLVPDASession& s, int no, const char* name, bool exported, int16_t width) {
  TKLVSessionFieldDef& def = s.Prefs.FieldDefs[no - 1];
  std::memset(def.Name, 0, sizeof def.Name);
  std::memcpy(def.Name, name, std::min(std::strlen(name), sizeof def.Name));
  def.Exported = exported ? 1 : 0;
  def.Width = width;
}

class KLVTextFormatter : public ::testing::Test {
 protected:
  void SetUp() override {
    gRows = &rows_;
    SyncGetDBRecordCount = FakeRecordCount;
    SyncReadRecordByIndex = FakeReadByIndex;
    session_.SessionName = "Inventory";
    session_.Prefs.FieldCount = 30;
    DefineField(session_, 1, "Item", true, 5);
    DefineField(session_, 2, "Secret", false, 4);
    DefineField(session_, 3, "Qty", true, 3);
    rows_ = {{"Apple", "s1", "12"}, {"Blueberry", "s2", ""}};
  }
  void TearDown() override {
    session_.CurrentDb.reset();
    gRows = nullptr;
  }

  void Headers(bool on) { session_.Prefs.FieldNamesAsHeaders = on ? 1 : 0; }

  // The session block as the text-file session writes it: block start, the column headers
  // when Headers is set (new files only), one row per record, block end, file end.
  std::string Block(TKLVPCTextFormatter& f, bool newFile) {
    session_.OpenDataDb();
    std::string out, piece;
    if (newFile) {
      f.FormatStartFile(piece);
      out += piece;
    }
    f.FormatStartSession(piece);
    out += piece;
    if (newFile && session_.Prefs.FieldNamesAsHeaders) {
      f.FormatColumnHeaders(piece);
      out += piece;
    }
    for (session_.CurrentDb->First(); !session_.CurrentDb->Eof(); session_.CurrentDb->Next()) {
      f.FormatDataRow(piece);
      out += piece;
    }
    f.FormatEndSession(piece);
    out += piece;
    f.FormatEndFile(piece);
    out += piece;
    session_.CloseDb();
    return out;
  }
  std::string NewFile(TKLVPCTextFormatter& f) { return Block(f, true); }

  // Appends a block to a file as the text-file session does: the footer lines go first.
  std::string Append(TKLVPCTextFormatter& f, const std::string& existing) {
    qptest::TempDir tmp;
    const std::string file = tmp / "out";
    qptest::WriteFile(file, existing);
    if (f.FooterLineCount > 0) RemoveLastLines(file, f.FooterLineCount);
    return ReadFileBytes(file) + Block(f, false);
  }

  // Runs Body inside a HotSync of user Ann (or User), so that GConduit knows the user.
  template <typename Body>
  void AsUserAnn(Body body, const char* User = "Ann") {
    KLVConduitStartup();
    struct Shutdown {
      ~Shutdown() { KLVConduitShutdown(); }
    } shutdown;
    GConduit->OnOpenConduit = [&](int32_t&) { body(); };
    TSyncProperties props{};
    props.syncType = stFast;
    std::strncpy(props.userName, User, sizeof props.userName - 1);
    GConduit->HandleOpenConduit(props);
  }

  trtest::FakeSyncManager sync_;
  Rows rows_;
  TKLVPDASession session_{0};
};

std::string DateText() {
  return "08/12/26 19:39:02";
}

// ---------------------------------------------------------------------------------------------
// The base and the plain-text layouts

TEST_F(KLVTextFormatter, BaseOperationsRaiseAndLeaveTheTextAlone) {
  TKLVPCTextFormatter f(session_);
  EXPECT_EQ(f.Extension, ".unset");
  EXPECT_EQ(f.FooterLineCount, 0);
  using Op = void (TKLVPCTextFormatter::*)(std::string&);
  const std::pair<Op, const char*> ops[] = {
      {&TKLVPCTextFormatter::FormatStartFile, "FormatStartFile"},
      {&TKLVPCTextFormatter::FormatStartSession, "FormatStartSession"},
      {&TKLVPCTextFormatter::FormatColumnHeaders, "FormatColumnHeaders"},
      {&TKLVPCTextFormatter::FormatDataRow, "FormatDataRow"},
      {&TKLVPCTextFormatter::FormatEndSession, "FormatEndSession"},
      {&TKLVPCTextFormatter::FormatEndFile, "FormatEndFile"}};
  for (const auto& [op, name] : ops) {
    std::string text = "kept";
    try {
      (f.*op)(text);
      ADD_FAILURE() << name << " did not raise";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Text(), std::string("Exception: TKLVPCTextFormatter.") + name +
                              ": base class method not overridden");
    }
    EXPECT_EQ(text, "kept");
  }
}

TEST_F(KLVTextFormatter, TabFileWithAndWithoutHeaders) {
  TKLVPCTextFormatterTab f(session_);
  EXPECT_EQ(f.Extension, ".txt");
  EXPECT_EQ(f.FooterLineCount, 0);
  Headers(true);
  EXPECT_EQ(NewFile(f), "Item\tQty\r\nApple\t12\r\nBlueberry\t\r\n");
  Headers(false);
  EXPECT_EQ(NewFile(f), "Apple\t12\r\nBlueberry\t\r\n");
}

TEST_F(KLVTextFormatter, TabRowsStartAtTheFirstIncludedFieldAndKeepValuesAsTheyAre) {
  DefineField(session_, 1, "Item", false, 5);
  DefineField(session_, 2, "Secret", true, 4);
  rows_ = {{"x", "a\tb", "c"}};
  TKLVPCTextFormatterTab f(session_);
  EXPECT_EQ(NewFile(f), "a\tb\tc\r\n");
}

TEST_F(KLVTextFormatter, NoIncludedFieldGivesEmptyLines) {
  DefineField(session_, 1, "Item", false, 5);
  DefineField(session_, 3, "Qty", false, 3);
  Headers(true);
  TKLVPCTextFormatterTab tab(session_);
  TKLVPCTextFormatterComma comma(session_, true);
  TKLVPCTextFormatterFixed fixed(session_);
  EXPECT_EQ(NewFile(tab), "\r\n\r\n\r\n");
  EXPECT_EQ(NewFile(comma), "\r\n\r\n\r\n");
  EXPECT_EQ(NewFile(fixed), "\r\n\r\n\r\n");
}

TEST_F(KLVTextFormatter, ExportAllFieldsIncludesEveryField) {
  session_.Prefs.ExportAllFields = 1;
  rows_ = {{"A", "B", "C"}};
  TKLVPCTextFormatterComma f(session_, false);
  EXPECT_EQ(NewFile(f), "A,B,C" + std::string(27, ',') + "\r\n");
}

TEST_F(KLVTextFormatter, CommaQuotedFile) {
  TKLVPCTextFormatterComma f(session_, true);
  EXPECT_TRUE(f.QuoteValues);
  EXPECT_EQ(f.Extension, ".txt");
  Headers(true);
  EXPECT_EQ(NewFile(f), "\"Item\",\"Qty\"\r\n\"Apple\",\"12\"\r\n\"Blueberry\",\"\"\r\n");
  Headers(false);
  EXPECT_EQ(NewFile(f), "\"Apple\",\"12\"\r\n\"Blueberry\",\"\"\r\n");
}

TEST_F(KLVTextFormatter, CommaPlainFile) {
  TKLVPCTextFormatterComma f(session_, false);
  EXPECT_FALSE(f.QuoteValues);
  Headers(true);
  EXPECT_EQ(NewFile(f), "Item,Qty\r\nApple,12\r\nBlueberry,\r\n");
}

// Bare values have no escape: a comma or quote in one is written as it is.
TEST_F(KLVTextFormatter, CommaQuotesDoubleInsideQuotedValuesOnly) {
  rows_ = {{"6\" pipe", "", "1,5"}};
  TKLVPCTextFormatterComma quoted(session_, true);
  EXPECT_EQ(quoted.QuoteValue("A"), "\"A\"");
  EXPECT_EQ(quoted.QuoteValue(""), "\"\"");
  EXPECT_EQ(NewFile(quoted), "\"6\"\" pipe\",\"1,5\"\r\n");
  // Every quote of a value is doubled, as a reader of the format reads it back.
  rows_ = {{"a\"b\"c", "", "\"\"\""}};
  EXPECT_EQ(qptest::ReadDelimited(NewFile(quoted)),
            (qptest::DelimitedRecords{{"a\"b\"c", "\"\"\""}}));
  rows_ = {{"6\" pipe", "", "1,5"}};
  TKLVPCTextFormatterComma plain(session_, false);
  EXPECT_EQ(NewFile(plain), "6\" pipe,1,5\r\n");
}

TEST_F(KLVTextFormatter, FixedFileCutsAndPadsEveryFieldToItsWidth) {
  TKLVPCTextFormatterFixed f(session_);
  EXPECT_EQ(f.Extension, ".txt");
  Headers(true);
  EXPECT_EQ(NewFile(f), "Item Qty\r\nApple12 \r\nBlueb   \r\n");
  Headers(false);
  EXPECT_EQ(NewFile(f), "Apple12 \r\nBlueb   \r\n");
}

TEST_F(KLVTextFormatter, FixedWidthOutsideOneToThirtyTakesThirty) {
  TKLVPCTextFormatterFixed f(session_);
  for (int16_t width : {0, -5, 31}) {
    DefineField(session_, 1, "Item", true, width);
    EXPECT_EQ(f.FixedWidthValue(1, "ABC"), "ABC" + std::string(27, ' ')) << width;
  }
  DefineField(session_, 1, "Item", true, 5);
  EXPECT_EQ(f.FixedWidthValue(1, "ABCDEFG"), "ABCDE");
  EXPECT_EQ(f.FixedWidthValue(1, ""), "     ");
  DefineField(session_, 1, "Item", true, 1);
  EXPECT_EQ(f.FixedWidthValue(1, "ABC"), "A");
}

// Values of every length a field holds, around separators of their own lengths, come out
// whole: short pieces are copied in overlapping moves.
TEST_F(KLVTextFormatter, ValuesOfEveryLengthComeOutWhole) {
  DefineField(session_, 2, "Secret", true, 30);
  DefineField(session_, 1, "Item", true, 30);
  DefineField(session_, 3, "Qty", true, 30);
  const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789";
  rows_.clear();
  qptest::DelimitedRecords expected;
  for (size_t n = 0; n <= 30; ++n) {
    const std::string value = letters.substr(n % 5, n);
    rows_.push_back({value, letters.substr(0, 30 - n), "\"" + value.substr(n > 0 ? 1 : 0)});
    expected.push_back(rows_.back());
  }
  TKLVPCTextFormatterComma quoted(session_, true);
  EXPECT_EQ(qptest::ReadDelimited(NewFile(quoted)), expected);
  TKLVPCTextFormatterTab tab(session_);
  EXPECT_EQ(qptest::ReadDelimited(NewFile(tab), '\t', false), expected);
  TKLVPCTextFormatterFixed fixed(session_);
  const std::string file = NewFile(fixed);
  ASSERT_EQ(file.size(), expected.size() * 92);
  for (size_t r = 0; r < expected.size(); ++r)
    for (size_t f = 0; f < 3; ++f)
      EXPECT_EQ(file.substr(r * 92 + f * 30, 30), PadToWidth(expected[r][f], 30)) << r << " " << f;
}

// A count beyond the block's 30 definitions must not read past them.
TEST_F(KLVTextFormatter, FieldCountOutsideTheBlockIsBounded) {
  TKLVPCTextFormatterTab f(session_);
  session_.Prefs.FieldCount = 31;
  rows_ = {{"A", "B", "C"}};
  EXPECT_EQ(NewFile(f), "A\tC\r\n");
  session_.Prefs.FieldCount = -1;
  EXPECT_EQ(NewFile(f), "\r\n");
}

TEST_F(KLVTextFormatter, PlainLayoutsAppendRowsOnly) {
  Headers(true);
  TKLVPCTextFormatterTab f(session_);
  const std::string first = NewFile(f);
  EXPECT_EQ(Append(f, first), first + "Apple\t12\r\nBlueberry\t\r\n");
}

// A row that cannot be read reaches the caller, which marks the session failed.
TEST_F(KLVTextFormatter, RowWithoutCurrentDatabaseRaises) {
  TKLVPCTextFormatterTab f(session_);
  std::string text = "kept";
  EXPECT_THROW(f.FormatDataRow(text), Exception);
}

// ---------------------------------------------------------------------------------------------
// HTML

std::string HtmlStartSession(const std::string& user, const std::string& count,
                             std::initializer_list<std::string> headingCells) {
  std::string t = Lines({
      "<table bgcolor=\"#000000\" width=\"100%\"  border=\"0\" cellspacing=\"1\" "
      "cellpadding=\"1\">",
      " <tr bgcolor=\"#b0b0b0\">",
      "  <td  align=\"right\" width=\"10%\">Transfer Date&nbsp;</td>",
      "  <td bgcolor=\"#FFFFFF\">08/12/26 19:39:02  </td>",
      " </tr>",
      " <tr bgcolor=\"#b0b0b0\">",
      "  <td align=\"right\" width=\"10%\">User&nbsp;</td>",
      "  <td bgcolor=\"#FFFFFF\">" + user + "  </td>",
      " </tr>",
      " <tr bgcolor=\"b0b0b0\">",
      "  <td  align=\"right\" width=\"10%\">Total Records&nbsp;</td>",
      "  <td bgcolor=\"#FFFFFF\">" + count + "  </td>",
      " </tr>",
      "</table>",
      "<table width=\"100%\" bgcolor=\"#000000\" cellspacing=\"1\" cellpadding=\"1\">",
      " <tr>",
  });
  for (const auto& cell : headingCells) t += cell + "\r\n";
  return t + Lines({"", " </tr>"});
}

const std::string kHtmlStartFile =
    Lines({"<html>",
           "<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
           "<title>Marrowind Datafile: QuillorPlus 2.8 ODBC</title></head>",
           "<body bgcolor=\"#FFFFFF\">"});

const std::string kHtmlFooter = Lines(
    {"", "<table width=\"100%\">", " <tr align=\"center\"><td>",
     " <font size=\"-1\">This file created with KLV Quillor+, a PDA barcode enabled data capture "
     "application.</font>",
     " <br><font size=\"-1\"><b>A product of <a href=\"http://www.marrowind.example/\" "
     "target=\"new\">Marrowind</a></b></font>",
     "</td></tr></table>", "</body></html>"});

const std::string kHtmlRows = Lines({
    " <tr>",
    "  <td align=\"center\" bgcolor=\"#FFFFFF\" width=\"50%\">Apple  </td>",
    "  <td align=\"center\" bgcolor=\"#FFFFFF\" width=\"50%\">12  </td>",
    " </tr>",
    " <tr>",
    "  <td align=\"center\" bgcolor=\"#FFFFFF\" width=\"50%\">Blueberry  </td>",
    "  <td align=\"center\" bgcolor=\"#FFFFFF\" width=\"50%\">  </td>",
    " </tr>",
});

TEST_F(KLVTextFormatter, HtmlFileWithFieldNames) {
  Headers(true);
  std::string file;
  AsUserAnn([&] {
    TKLVPCTextFormatterHTML f(session_);
    f.DateTimeText = DateText;
    EXPECT_EQ(f.Extension, ".htm");
    EXPECT_EQ(f.FooterLineCount, 7);
    EXPECT_EQ(f.ColumnPercent, 50);
    file = NewFile(f);
  });
  const std::string heading = "  <td align=\"center\" bgcolor=\"#b0b0b0\" width=\"50%\">";
  EXPECT_EQ(file, kHtmlStartFile +
                      HtmlStartSession("Ann", "2", {heading + "Item</td>", heading + "Qty</td>"}) +
                      kHtmlRows + "</table>\r\n" + kHtmlFooter);
}

TEST_F(KLVTextFormatter, HtmlHeadingsWithoutFieldNamesAreFieldNumbers) {
  Headers(false);
  TKLVPCTextFormatterHTML f(session_);
  f.DateTimeText = DateText;
  std::string text;
  f.FormatColumnHeaders(text);
  EXPECT_EQ(text, "");
  // Without a conduit object there is no user to show.
  const std::string heading = "  <td align=\"center\" bgcolor=\"#b0b0b0\" width=\"50%\">";
  EXPECT_EQ(NewFile(f),
            kHtmlStartFile +
                HtmlStartSession("", "2", {heading + "Field1</td>", heading + "Field3</td>"}) +
                kHtmlRows + "</table>\r\n" + kHtmlFooter);
}

TEST_F(KLVTextFormatter, HtmlColumnPercentFollowsTheExportedFieldCount) {
  const std::pair<int, int> cases[] = {{3, 33}, {7, 14}, {30, 3}, {1, 100}, {0, 100}};
  for (const auto& [exported, percent] : cases) {
    for (int i = 1; i <= 30; ++i) session_.Prefs.FieldDefs[i - 1].Exported = i <= exported;
    TKLVPCTextFormatterHTML f(session_);
    EXPECT_EQ(f.ColumnPercent, percent) << exported;
  }
}

TEST_F(KLVTextFormatter, HtmlWithoutIncludedFieldsWritesNoRows) {
  DefineField(session_, 1, "Item", false, 5);
  DefineField(session_, 3, "Qty", false, 3);
  TKLVPCTextFormatterHTML f(session_);
  f.DateTimeText = DateText;
  EXPECT_EQ(NewFile(f),
            kHtmlStartFile + HtmlStartSession("", "2", {}) + "</table>\r\n" + kHtmlFooter);
}

TEST_F(KLVTextFormatter, HtmlAppendKeepsOnePageWithOneFooter) {
  TKLVPCTextFormatterHTML f(session_);
  f.DateTimeText = DateText;
  const std::string first = NewFile(f);
  const std::string heading = "  <td align=\"center\" bgcolor=\"#b0b0b0\" width=\"50%\">";
  const std::string block =
      HtmlStartSession("", "2", {heading + "Field1</td>", heading + "Field3</td>"}) + kHtmlRows +
      "</table>\r\n";
  EXPECT_EQ(Append(f, first), kHtmlStartFile + block + block + kHtmlFooter);
}

TEST_F(KLVTextFormatter, HtmlEscapesMarkupInValuesNamesAndUser) {
  Headers(true);
  DefineField(session_, 1, "A&B", true, 5);
  rows_ = {{"<b>x</b>", "", "\"q\""}};
  std::string start, row;
  AsUserAnn([&] {
    TKLVPCTextFormatterHTML f(session_);
    session_.OpenDataDb();
    f.FormatStartSession(start);
    f.FormatDataRow(row);
    session_.CloseDb();
  });
  EXPECT_NE(start.find(">A&amp;B</td>"), std::string::npos);
  EXPECT_EQ(row, Lines({" <tr>",
                        "  <td align=\"center\" bgcolor=\"#FFFFFF\" width=\"50%\">"
                        "&lt;b&gt;x&lt;/b&gt;  </td>",
                        "  <td align=\"center\" bgcolor=\"#FFFFFF\" width=\"50%\">"
                        "&quot;q&quot;  </td>",
                        " </tr>"}));
}

// ---------------------------------------------------------------------------------------------
// XML

const std::string kXmlStartFile =
    Lines({"<?xml version=\"1.0\"  encoding=\"UTF-8\" ?>", "<QuillorPlusData>"});
const std::string kXmlFooter = Lines({"", "</QuillorPlusData>"});

std::string XmlBlock(const std::string& user, const std::string& a, const std::string& b) {
  return Lines({"  <Transfer Date=\"08/12/26 19:39:02\">", "  <UserName>" + user + "</UserName>",
                "  <TotalRecords>2</TotalRecords>", " <Record>", "  <ID>1</ID>",
                "  <" + a + ">Apple  </" + a + ">", "  <" + b + ">12  </" + b + ">", " </Record>",
                " <Record>", "  <ID>2</ID>", "  <" + a + ">Blueberry  </" + a + ">",
                "  <" + b + ">  </" + b + ">", " </Record>", "</Transfer>"});
}

TEST_F(KLVTextFormatter, XmlFileWithAndWithoutFieldNames) {
  std::string named, numbered;
  AsUserAnn([&] {
    Headers(true);
    TKLVPCTextFormatterXML f(session_);
    f.DateTimeText = DateText;
    EXPECT_EQ(f.Extension, ".xml");
    EXPECT_EQ(f.FooterLineCount, 2);
    named = NewFile(f);
    Headers(false);
    TKLVPCTextFormatterXML g(session_);
    g.DateTimeText = DateText;
    numbered = NewFile(g);
  });
  EXPECT_EQ(named, kXmlStartFile + XmlBlock("Ann", "Item", "Qty") + kXmlFooter);
  EXPECT_EQ(numbered, kXmlStartFile + XmlBlock("Ann", "Field1", "Field3") + kXmlFooter);
}

// Each download is a new formatter, so the IDs of every Transfer element start at 1.
TEST_F(KLVTextFormatter, XmlAppendKeepsOneDocument) {
  TKLVPCTextFormatterXML first(session_);
  first.DateTimeText = DateText;
  const std::string file = NewFile(first);
  EXPECT_EQ(first.RecordNumber, 2);
  TKLVPCTextFormatterXML second(session_);
  second.DateTimeText = DateText;
  const std::string block = XmlBlock("", "Field1", "Field3");
  EXPECT_EQ(Append(second, file), kXmlStartFile + block + block + kXmlFooter);
}

TEST_F(KLVTextFormatter, XmlRecordWithoutIncludedFieldsKeepsItsId) {
  DefineField(session_, 1, "Item", false, 5);
  DefineField(session_, 3, "Qty", false, 3);
  TKLVPCTextFormatterXML f(session_);
  session_.OpenDataDb();
  std::string row;
  f.FormatDataRow(row);
  f.FormatDataRow(row);
  EXPECT_EQ(row, Lines({" <Record>", "  <ID>2</ID>", " </Record>"}));
}

// Names that are XML names stay as they are; the others keep their readable parts.
TEST_F(KLVTextFormatter, XmlElementNamesAreFieldNamesMadeValid) {
  Headers(true);
  const std::pair<const char*, const char*> names[] = {{"Qty_2.b-c", "Qty_2.b-c"},
                                                       {"\x80Men\xFC", "\xE2\x82\xACMen\xC3\xBC"},
                                                       {"Part No", "Part_No"},
                                                       {"1st count", "_1st_count"},
                                                       {"a&b:c", "a_b_c"},
                                                       {" \x93x\x94", "__x_"},
                                                       {"", "Field1"}};
  rows_ = {{"ABC"}};
  for (const auto& [name, element] : names) {
    DefineField(session_, 1, name, true, 5);
    DefineField(session_, 3, "Qty", false, 3);
    TKLVPCTextFormatterXML f(session_);
    session_.OpenDataDb();
    std::string row;
    f.FormatDataRow(row);
    session_.CloseDb();
    EXPECT_EQ(row, Lines({" <Record>", "  <ID>1</ID>",
                          "  <" + std::string(element) + ">ABC  </" + element + ">", " </Record>"}))
        << name;
  }
}

TEST_F(KLVTextFormatter, XmlTextIsEscapedAndWrittenAsUtf8) {
  DefineField(session_, 3, "Qty", false, 3);
  rows_ = {{"a<b&c>\"d\""}, {"caf\xE9 \x80 \x9D"}, {"01\x1D\x31\x37"}};
  TKLVPCTextFormatterXML f(session_);
  f.DateTimeText = [] { return std::string("1<2"); };
  std::string start, row;
  session_.OpenDataDb();
  f.FormatStartSession(start);
  EXPECT_EQ(start.substr(0, start.find("\r\n")), "  <Transfer Date=\"1&lt;2\">");
  const char* expected[] = {"a&lt;b&amp;c&gt;&quot;d&quot;", "caf\xC3\xA9 \xE2\x82\xAC \xC2\x9D",
                            // GS, as GS1 barcodes carry it, is no XML character at all.
                            "01\xEF\xBF\xBD\x31\x37"};
  for (const char* value : expected) {
    f.FormatDataRow(row);
    EXPECT_NE(row.find("  <Field1>" + std::string(value) + "  </Field1>\r\n"), std::string::npos)
        << row;
    session_.CurrentDb->Next();
  }
}

// ---------------------------------------------------------------------------------------------
// Every layout read back by a reader of its format

// A value as the handheld holds it (Windows-1252) and as characters (UTF-8), written out by hand.
struct Awkward {
  std::string bytes, text;
};
Awkward Same(const std::string& ascii) {
  return {ascii, ascii};
}

// Fields 1-4 are defined (exported, with awkward names), 5-30 are not but go out all the same.
const Awkward kNames[4] = {
    Same("Part No"), Same("1st count"), Same("a&b"), {"Men\xFC", "Men\xC3\xBC"}};
const char* const kElements[4] = {"Part_No", "_1st_count", "a_b", "Men\xC3\xBC"};
const int16_t kWidths[4] = {12, 10, 10, 20};
// Values of fields 1-4 and 30 in three records.
const Awkward kValues[3][5] = {
    {Same("12\" pipe"), Same("a,b"), Same("tab\there"), Same("\""), Same("last")},
    {Same("two\r\nlines"), Same("cr\ronly"), Same("lf\nonly"), Same(""), Same("'")},
    {Same("<b>&amp;</b>"),
     {"caf\xE9", "caf\xC3\xA9"},
     {"\x80 \x93q\x94", "\xE2\x82\xAC \xE2\x80\x9Cq\xE2\x80\x9D"},
     Same(" lead & trail "),
     Same(",")}};

const char* const kUser = "Ann & Zo\xEB <x>";
const char* const kUserText = "Ann & Zo\xC3\xAB <x>";
// As the user's regional settings may write it, in UTF-8.
const char* const kDate = "14 M\xC3\xA4rz 2026 <08:00>";

class KLVTextFormatterReadBack : public KLVTextFormatter {
 protected:
  void SetUp() override {
    KLVTextFormatter::SetUp();
    session_.Prefs.ExportAllFields = 1;
    for (int i = 0; i < 4; ++i)
      DefineField(session_, i + 1, kNames[i].bytes.c_str(), true, kWidths[i]);
    DefineField(session_, 3, kNames[2].bytes.c_str(), false, kWidths[2]);  // exported all the same
    Headers(true);
  }

  // The three records, each value kept only where Keep says the layout can carry it (else empty).
  template <typename Keep>
  std::vector<std::vector<Awkward>> Records(Keep keep) {
    std::vector<std::vector<Awkward>> records;
    rows_.clear();
    for (const auto& values : kValues) {
      std::vector<Awkward> record(30, Same(""));
      for (int k = 0; k < 5; ++k) {
        const int field = k < 4 ? k : 29;
        if (keep(values[k].bytes, field)) record[field] = values[k];
      }
      std::vector<std::string> row;
      for (const Awkward& v : record) row.push_back(v.bytes);
      rows_.push_back(row);
      records.push_back(record);
    }
    return records;
  }

  // A new HTML or XML file of the records, written for kUser on kDate.
  template <typename Formatter>
  std::string MarkupFile() {
    std::string file;
    AsUserAnn(
        [&] {
          Formatter f(session_);
          f.DateTimeText = [] { return std::string(kDate); };
          file = NewFile(f);
        },
        kUser);
    return file;
  }

  static std::vector<std::string> Bytes(const std::vector<Awkward>& record) {
    std::vector<std::string> out;
    for (const Awkward& v : record) out.push_back(v.bytes);
    return out;
  }
  static std::vector<std::string> HeaderNames() {
    std::vector<std::string> names(30);
    for (int i = 0; i < 4; ++i) names[i] = kNames[i].bytes;
    return names;
  }
};

TEST_F(KLVTextFormatterReadBack, CsvReaderReadsEveryQuotedValue) {
  const auto records = Records([](const std::string&, int) { return true; });
  TKLVPCTextFormatterComma f(session_, true);
  const qptest::DelimitedRecords read = qptest::ReadDelimited(NewFile(f));
  ASSERT_EQ(read.size(), 4u);
  EXPECT_EQ(read[0], HeaderNames());
  for (size_t r = 0; r < records.size(); ++r) EXPECT_EQ(read[r + 1], Bytes(records[r])) << r;
}

// The tab layout has no escape for TAB or line ends, the bare comma layout none for commas,
// quotes or line ends; each is read back with every value it can carry.
TEST_F(KLVTextFormatterReadBack, SeparatedReadersReadEveryValueTheLayoutCarries) {
  struct Layout {
    const char* name;
    std::unique_ptr<TKLVPCTextFormatter> formatter;
    char separator;
    bool quotes;
    const char* cannotCarry;
  };
  Layout layouts[] = {
      {"tab", std::make_unique<TKLVPCTextFormatterTab>(session_), '\t', false, "\t\r\n"},
      {"bare comma", std::make_unique<TKLVPCTextFormatterComma>(session_, false), ',', true,
       ",\"\r\n"}};
  for (Layout& l : layouts) {
    const auto records = Records([&](const std::string& v, int) {
      return v.find_first_of(l.cannotCarry) == std::string::npos;
    });
    const qptest::DelimitedRecords read =
        qptest::ReadDelimited(NewFile(*l.formatter), l.separator, l.quotes);
    ASSERT_EQ(read.size(), 4u) << l.name;
    EXPECT_EQ(read[0], HeaderNames()) << l.name;
    for (size_t r = 0; r < records.size(); ++r)
      EXPECT_EQ(read[r + 1], Bytes(records[r])) << l.name << " " << r;
  }
}

// Fixed width cuts to the width and pads with blanks, so values that fit and end in no blank.
TEST_F(KLVTextFormatterReadBack, FixedWidthReadsBackByColumns) {
  auto width = [](int field) { return field < 4 ? kWidths[field] : 30; };
  const auto records = Records([&](const std::string& v, int field) {
    return v.size() <= size_t(width(field)) && v.find_first_of("\r\n") == std::string::npos &&
           (v.empty() || v.back() != ' ');
  });
  TKLVPCTextFormatterFixed f(session_);
  const std::string file = NewFile(f);
  std::vector<std::vector<std::string>> read;
  for (size_t at = 0; at < file.size();) {
    const size_t end = file.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    const std::string line = file.substr(at, end - at);
    at = end + 2;
    std::vector<std::string> fields;
    size_t col = 0;
    for (int i = 0; i < 30; ++i) {
      std::string v = line.substr(col, width(i));
      col += width(i);
      v.erase(v.find_last_not_of(' ') + 1);
      fields.push_back(v);
    }
    EXPECT_EQ(col, line.size());
    read.push_back(fields);
  }
  ASSERT_EQ(read.size(), 4u);
  EXPECT_EQ(read[0], HeaderNames());
  for (size_t r = 0; r < records.size(); ++r) EXPECT_EQ(read[r + 1], Bytes(records[r])) << r;
}

TEST_F(KLVTextFormatterReadBack, XmlParserReadsEveryValueUnderAValidName) {
  const auto records = Records([](const std::string&, int) { return true; });
  const std::string file = MarkupFile<TKLVPCTextFormatterXML>();
  const ParsedDoc parsed = Parse(file, false);
  ASSERT_TRUE(parsed.doc) << file;
  EXPECT_TRUE(parsed.errors.empty()) << parsed.errors.front();
  EXPECT_STREQ(reinterpret_cast<const char*>(parsed.doc->encoding), "UTF-8");
  xmlNode* root = xmlDocGetRootElement(parsed.doc.get());
  ASSERT_EQ(Elements(root, "Transfer").size(), 1u);
  xmlNode* transfer = Elements(root, "Transfer")[0];
  xmlChar* date = xmlGetProp(transfer, reinterpret_cast<const xmlChar*>("Date"));
  EXPECT_STREQ(reinterpret_cast<const char*>(date), kDate);
  xmlFree(date);
  EXPECT_EQ(Content(Elements(transfer, "UserName").at(0)), kUserText);
  const std::vector<xmlNode*> read = Elements(transfer, "Record");
  ASSERT_EQ(read.size(), records.size());
  for (size_t r = 0; r < records.size(); ++r) {
    const std::vector<xmlNode*> fields = Elements(read[r]);
    ASSERT_EQ(fields.size(), 31u);
    EXPECT_EQ(Content(fields[0]), std::to_string(r + 1));
    for (int i = 0; i < 30; ++i) {
      EXPECT_EQ(Name(fields[i + 1]), i < 4 ? kElements[i] : "Field" + std::to_string(i + 1));
      // The layout closes each element two blanks after the value.
      EXPECT_EQ(Content(fields[i + 1]), records[r][i].text + "  ") << r << "," << i;
    }
  }
}

// The page keeps the handheld's code page and says so; a reader that goes by the declaration
// gets the characters back.
TEST_F(KLVTextFormatterReadBack, HtmlParserReadsEveryValueInTheDeclaredCharacterSet) {
  const auto records = Records([](const std::string&, int) { return true; });
  const ParsedDoc parsed = Parse(MarkupFile<TKLVPCTextFormatterHTML>(), true);
  ASSERT_TRUE(parsed.doc);
  EXPECT_TRUE(parsed.errors.empty()) << parsed.errors.front();
  std::vector<xmlNode*> tables;
  Descendants(xmlDocGetRootElement(parsed.doc.get()), "table", tables);
  ASSERT_EQ(tables.size(), 3u);
  auto cells = [](xmlNode* table) {
    std::vector<std::vector<std::string>> rows;
    std::vector<xmlNode*> trs;
    Descendants(table, "tr", trs);
    for (xmlNode* tr : trs) {
      rows.emplace_back();
      for (xmlNode* td : Elements(tr, "td")) rows.back().push_back(Content(td));
    }
    return rows;
  };
  const auto info = cells(tables[0]);
  ASSERT_EQ(info.size(), 3u);
  EXPECT_EQ(info[0].at(1), std::string(kDate) + "  ");
  EXPECT_EQ(info[1].at(1), std::string(kUserText) + "  ");
  const auto data = cells(tables[1]);
  ASSERT_EQ(data.size(), 4u);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(data[0][i], i < 4 ? kNames[i].text : "") << i;
  for (size_t r = 0; r < records.size(); ++r) {
    ASSERT_EQ(data[r + 1].size(), 30u);
    for (int i = 0; i < 30; ++i)
      EXPECT_EQ(data[r + 1][i], records[r][i].text + "  ") << r << "," << i;
  }
}

}  // namespace
