// The session databases the builder writes, read back through the conduit's own record codec
// with the layouts the conduit declares for them.
#include "examples/session_builder.h"


#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "conduit/framework/record_format.h"
#include "examples/demo_sessions.h"
#include "testsupport/run_program.h"
#include "testsupport/test_support.h"

using namespace qp_demo;

namespace {

class Layout {
 public:
  Layout& Add(const char* name, TVornPalmFieldType type, int32_t size = 0) {
    TVornPalmField& f = fields_.Add();
    f.SetFieldName(name);
    f.SetDataType(type);
    f.SetSize(size);
    return *this;
  }
  // Unpacks from a buffer of exactly the record's bytes; blob values point into it.
  void Read(const std::string& record) {
    bytes_.assign(record.begin(), record.end());
    UnpackRecord(bytes_.data(), static_cast<uint32_t>(bytes_.size()), fields_, false, {});
  }
  TVornPalmField& operator[](int i) { return fields_.Items(i); }
  std::string Blob(int i) {
    auto b = fields_.Items(i).AsBlob();
    return {reinterpret_cast<const char*>(b.data()), b.size()};
  }

 private:
  TVornPalmFields fields_;
  std::vector<uint8_t> bytes_;
};

uint16_t Word(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(bytes.at(at)) << 8) |
                               static_cast<uint8_t>(bytes.at(at + 1)));
}

}  // namespace

TEST(SessionBuilderLayout, PreferenceBlockOffsets) {
  SessionPrefs p;
  p.outputFormat = -2;
  p.clearPDAData = p.appendOutput = p.fieldNamesAsHeaders = true;
  p.useCustomPath = true;
  p.customPath = std::string(300, 'x');  // cut to 253 characters and a NUL
  p.fields.resize(3);
  p.fields[2] = {"Signature", kSignatureFieldType, false, 17, true};
  const std::string b = SessionPrefsBytes(p);
  ASSERT_EQ(b.size(), 3757u);
  EXPECT_EQ(Word(b, 10), 0xFFFE);
  EXPECT_EQ(b.substr(12, 6), std::string("\x01\x00\x01\x00\x01\x01", 6));
  EXPECT_EQ(b.substr(18, 253), std::string(253, 'x'));
  EXPECT_EQ(b[271], '\0');
  EXPECT_EQ(Word(b, 280), 3);
  const size_t field3 = 174 + 114 * 3;
  EXPECT_EQ(field3, 516u);
  EXPECT_EQ(b.substr(field3, 10), std::string("Signature\0", 10));
  EXPECT_EQ(Word(b, field3 + 54), 4);
  EXPECT_EQ(b[field3 + 56], 0);
  EXPECT_EQ(Word(b, field3 + 68), 17);
  EXPECT_EQ(b[field3 + 71], 1);
  // Field 1 is exported by default, field 30 is all zero.
  EXPECT_EQ(b[288 + 56], 1);
  EXPECT_EQ(b.substr(174 + 114 * 30, 114), std::string(114, '\0'));

  p.fields.resize(31);
  EXPECT_THROW(SessionPrefsBytes(p), Exception);
}

TEST(SessionBuilderLayout, RecordsReadBackThroughTheRecordCodec) {
  SessionPrefs p;
  p.outputFormat = kXml;
  p.fields = {{"Order"}, {"Sig", kSignatureFieldType}};
  const std::string block = SessionPrefsBytes(p);
  Layout list;
  list.Add("Rec_ID", pftSmallint)
      .Add("UniqueId", pftSmallint)
      .Add("SessionName", pftString, 21)
      .Add("SessionPrefsData", pftBlob, 3757);
  const std::string listRecord =
      SessionListRecord(7, 31, "A session name longer than twenty", block);
  EXPECT_EQ(listRecord.size(), 3782u);
  list.Read(listRecord);
  EXPECT_EQ(list[0].AsInteger(), 7);
  EXPECT_EQ(list[1].AsInteger(), 31);
  EXPECT_EQ(list[2].AsString(), "A session name longe");
  EXPECT_EQ(list.Blob(3), block);

  Layout data;
  data.Add("Rec_ID", pftSmallint);
  for (int n = 1; n <= 30; ++n) data.Add(("Field" + std::to_string(n)).c_str(), pftString, 31);
  std::vector<std::string> values(32, "v");
  values[0] = std::string(40, 'A');
  values[29] = "last";
  const std::string dataRecord = DataRecord(300, values);
  EXPECT_EQ(dataRecord.size(), 932u);
  data.Read(dataRecord);
  EXPECT_EQ(data[0].AsInteger(), 300);
  EXPECT_EQ(data[1].AsString(), std::string(30, 'A'));
  EXPECT_EQ(data[2].AsString(), "v");
  EXPECT_EQ(data[30].AsString(), "last");

  Layout hint;
  hint.Add("Rec_ID", pftSmallint).Add("Field_ID", pftString, 4).Add("Hint", pftString, 251);
  const std::string hintRecord = HintRecord(12, 12, std::string(260, 'h'));
  EXPECT_EQ(hintRecord.size(), 257u);
  hint.Read(hintRecord);
  EXPECT_EQ(hint[1].AsString(), "12");
  EXPECT_EQ(hint[2].AsString(), std::string(250, 'h'));

  Layout entry;
  entry.Add("Rec_ID", pftSmallint).Add("DisplayValue", pftString, 31).Add("DBValue", pftString, 31);
  const std::string listEntry = ListRecord(2, "Aisle 4", "A4");
  EXPECT_EQ(listEntry.size(), 64u);
  entry.Read(listEntry);
  EXPECT_EQ(entry[0].AsInteger(), 2);
  EXPECT_EQ(entry[1].AsString(), "Aisle 4");
  EXPECT_EQ(entry[2].AsString(), "A4");

  Layout bitmap;
  bitmap.Add("Rec_ID", pftSmallint)
      .Add("Session_Rec_ID", pftSmallint)
      .Add("Field_ID", pftSmallint)
      .Add("Bitmap", pftBlob, 1016);
  const Signature sig = MakeSignature(4);
  const std::string bitmapRecord = BitmapRecord(1, 3, 4, sig);
  EXPECT_EQ(bitmapRecord.size(), 1022u);
  bitmap.Read(bitmapRecord);
  EXPECT_EQ(bitmap[1].AsInteger(), 3);
  EXPECT_EQ(bitmap[2].AsInteger(), 4);
  const std::string palm = bitmap.Blob(3);
  ASSERT_EQ(palm.size(), 1016u);
  EXPECT_EQ(Word(palm, 0), 160);
  EXPECT_EQ(Word(palm, 2), 50);
  EXPECT_EQ(Word(palm, 4), 20);
  EXPECT_EQ(palm.substr(16), sig.rows);
}

TEST(SessionBuilderLayout, SignaturesAreScribblesThatFitTheField) {
  const Signature a = MakeSignature(1), b = MakeSignature(2);
  EXPECT_EQ(a.rows.size(), 1000u);
  EXPECT_NE(a.rows, b.rows);
  EXPECT_NE(a.rows.find_first_not_of('\0'), std::string::npos);
  Signature tooBig;
  tooBig.height = 51;
  EXPECT_THROW(PalmBitmapBytes(tooBig), Exception);
}

TEST(SessionBuilderDemo, DemoHandheldHoldsEverySessionDatabase) {
  qptest::TempDir tmp;
  const std::string folder = tmp.Path() + "/handheld";
  const qptest::ProgramRun made =
      qptest::RunProgram({QP_OUT_DIR "/make_demo_handheld", folder, "--user", "Demo User"});
  ASSERT_EQ(made.status, 0) << made.text;
  Handheld hh(folder);
  std::set<std::string> names;
  for (const HandheldDbInfo& info : hh.ListDatabases()) {
    EXPECT_EQ(info.error, "") << info.path;
    names.insert(info.name);
  }
  const std::vector<SessionSpec> sessions = DemoSessions();
  const PalmDatabase list = hh.LoadDatabase("QP28-QuillorPlus_Sessions");
  ASSERT_EQ(list.records.size(), sessions.size());
  for (size_t i = 0; i < sessions.size(); ++i) {
    const SessionSpec& s = sessions[i];
    SCOPED_TRACE(s.name);
    const std::string& r = list.records[i].data;
    EXPECT_EQ(Word(r, 2), s.slot);
    EXPECT_EQ(r.substr(4, s.name.size() + 1), s.name + '\0');
    EXPECT_EQ(r.substr(25), SessionPrefsBytes(s.prefs));
    const PalmDatabase data = hh.LoadDatabase(DataDbName(s.slot));
    ASSERT_EQ(data.records.size(), s.rows.size());
    for (size_t k = 0; k < s.rows.size(); ++k)
      EXPECT_EQ(data.records[k].data, DataRecord(static_cast<int16_t>(k + 1), s.rows[k]));
    EXPECT_EQ(hh.LoadDatabase(BitmapDbName(s.slot)).records.size(), s.signatures.size());
    EXPECT_EQ(names.count(HintDbName(s.slot)), s.hints.empty() ? 0u : 1u);
    for (const auto& [field, entries] : s.lookupLists)
      EXPECT_EQ(hh.LoadDatabase(ListDbName(s.slot, field)).records.size(), entries.size());
  }
  EXPECT_EQ(hh.LoadDatabase(HintDbName(0)).records.size(), 30u);
  EXPECT_EQ(hh.LoadDatabase(HintDbName(0)).type, 1000u);
  EXPECT_EQ(hh.LoadDatabase(ListDbName(0, 4)).type, 3503u);
  // Deliveries: signatures of records 1 to 3, field 5 (stored as 4).
  const PalmDatabase bitmaps = hh.LoadDatabase(BitmapDbName(1));
  ASSERT_EQ(bitmaps.records.size(), 3u);
  EXPECT_EQ(Word(bitmaps.records[2].data, 2), 3);
  EXPECT_EQ(Word(bitmaps.records[2].data, 4), 4);
}

TEST(SessionBuilderDemo, HelpAndWrongArgumentsBuildNothing) {
  qptest::TempDir tmp;
  // Run in the temporary folder, the arguments split at blanks; standard error into err.txt.
  std::string out;
  auto run = [&](const std::string& args) {
    std::vector<std::string> argv = {QP_OUT_DIR "/make_demo_handheld"};
    std::istringstream words(args);
    for (std::string word; words >> word;) argv.push_back(word);
    qptest::RunOptions options;
    options.folder = tmp.Path();
    options.stderrFile = tmp / "err.txt";
    const qptest::ProgramRun result = qptest::RunProgram(argv, options);
    out = result.text;
    return result.status;
  };
  for (const char* help : {"--help", "-h", "hh --user Ann --help"}) {
    EXPECT_EQ(run(help), 0) << help;
    EXPECT_EQ(out.rfind("usage: make_demo_handheld DIR", 0), 0u);
    EXPECT_EQ(qptest::ReadFile(tmp / "err.txt"), "");
  }
  for (const char* wrong : {"", "hh extra", "--bogus hh", "hh --user", "--show hh --user Ann"}) {
    EXPECT_EQ(run(wrong), 2) << wrong;
    const std::string err = qptest::ReadFile(tmp / "err.txt");
    EXPECT_EQ(err.rfind("make_demo_handheld: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
  }
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(tmp.Path()))
    left.insert(entry.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"err.txt"}));
}
