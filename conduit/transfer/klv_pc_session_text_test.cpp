// The text-file session against an in-process sync manager and HotSync log, with its folders
// in temporary folders.
#include "conduit/transfer/klv_pc_session_text.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/date_time.h"
#include "base/format.h"
#include "base/text_file.h"
#include "conduit/framework/conduit_db.h"
#include "conduit/framework/sync_api.h"
#include "conduit/transfer/klv_bitmap.h"
#include "conduit/transfer/klv_conduit.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pda_session.h"
#include "conduit/transfer/klv_text_formatter.h"
#include "conduit/transfer/testdata/markup_reader.h"
#include "conduit/transfer/testdata/test_support.h"
#include "platform/file_faults.h"
#include "platform/file_names.h"
#include "sdk/hslog.h"
#include "testsupport/test_support.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

// 7 December 2026, 14:05:09 local time.
std::time_t FixedTime() {
  std::tm tm{};
  tm.tm_year = 126;
  tm.tm_mon = 11;
  tm.tm_mday = 7;
  tm.tm_hour = 14;
  tm.tm_min = 5;
  tm.tm_sec = 9;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// A handheld bitmap record: 8 x 2 pixels, 2 bytes a row, header words big-endian.
std::vector<uint8_t> PalmBitmap() {
  std::vector<uint8_t> data(TKLVBitmap::kPalmHeaderSize + 4, 0);
  data[1] = 8;
  data[3] = 2;
  data[5] = 2;
  data[16] = 0xF0;
  data[18] = 0x0F;
  return data;
}

// The text with every Date="..." value replaced by *.
std::string MaskDates(std::string text) {
  const std::string key = "Date=\"";
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    size_t start = at + key.size();
    size_t end = text.find('"', start);
    if (end == std::string::npos) break;
    text.replace(start, end - start, "*");
  }
  return text;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Puts a fault-injecting file table in force while it lives.
class ScopedFileFaults {
 public:
  explicit ScopedFileFaults(const std::string& spec)
      : faults_(spec), previous_(platform::SetFileSystem(&faults_)) {}
  ~ScopedFileFaults() { platform::SetFileSystem(previous_); }

 private:
  platform::FaultInjectingFileSystem faults_;
  platform::FileSystem* previous_;
};

class KLVPCSessionTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KLVConduitStartup();
    GConduit->OnOpenConduit = nullptr;
    StartHotSync("Ann");

    pda_ = std::make_unique<TKLVPDASession>(0);
    pda_->SessionName = "Orders";
    pda_->Prefs.FieldCount = kSessionFieldCount;
    for (int i = 1; i <= kSessionFieldCount; ++i) {
      std::string name = Format("Name%d", i);
      std::memcpy(pda_->Prefs.FieldDefs[i - 1].Name, name.data(), name.size());
    }
  }
  void TearDown() override {
    pda_.reset();
    KLVConduitShutdown();
  }

  // The conduit's HotSync user and user folder, as a HotSync hands them over.
  void StartHotSync(const std::string& user, const std::string& pathName = std::string()) {
    TSyncProperties props{};
    props.syncType = stFast;
    std::string path = pathName.empty() ? temp_ / "hotsync" : pathName;
    std::strncpy(props.pathName, path.c_str(), sizeof(props.pathName) - 1);
    std::strncpy(props.userName, user.c_str(), sizeof(props.userName) - 1);
    GConduit->HandleOpenConduit(props);
    GBannerPending = false;
    log_.Clear();
  }
  void UseCustomPath(const std::string& path) {
    pda_->Prefs.UseCustomPath = 1;
    std::memset(pda_->Prefs.CustomPath, 0, sizeof(pda_->Prefs.CustomPath));
    std::memcpy(pda_->Prefs.CustomPath, path.data(), path.size());
  }
  void Export(std::initializer_list<int> fields) {
    for (int i : fields) pda_->Prefs.FieldDefs[i - 1].Exported = 1;
  }
  void SetName(int field, const std::string& name) {
    char* p = pda_->Prefs.FieldDefs[field - 1].Name;
    std::memset(p, 0, sizeof(TKLVSessionFieldDef::Name));
    std::memcpy(p, name.data(), name.size());
  }
  std::unique_ptr<TKLVPCSessionText> NewSession() {
    auto s = std::make_unique<TKLVPCSessionText>(*pda_);
    s->Clock = FixedTime;
    return s;
  }

  // The data database layout, not opened: the download only reads the record in hand.
  void MakeDataDb() {
    auto db = std::make_unique<TVornConduitDb>();
    db->AddField("Rec_ID", pftSmallint, 2);
    for (int n = 1; n <= kSessionFieldCount; ++n) db->AddField(Format("Field%d", n), pftString, 31);
    pda_->CurrentDb = std::move(db);
  }
  void SetRecord(int recId, const std::vector<std::string>& values) {
    TVornConduitDb& db = *pda_->CurrentDb;
    db.Fields.Items(0).SetAsInteger(recId);
    for (int k = 1; k <= kSessionFieldCount; ++k)
      db.Fields.Items(k).SetAsString(k <= static_cast<int>(values.size()) ? values[k - 1] : "");
  }
  // One download as the handheld session drives it.
  void Download(TKLVPCSession& s, const std::vector<std::vector<std::string>>& records) {
    if (!pda_->CurrentDb) MakeDataDb();
    s.WriteOpen();
    int id = 1;
    for (const auto& r : records) {
      SetRecord(id++, r);
      if (s.Active() && !s.Failed()) s.WriteRecord();
    }
    s.WriteClose();
    s.WriteCommit(!pda_->Prefs.AppendOutput || !s.Failed(), "Another output failed.");
  }
  void AddBitmap(int recId, int field, bool withImage = true) {
    auto b = std::make_unique<TKLVBitmap>();
    if (withImage) b->LoadFromPalmBitmap(PalmBitmap());
    b->SessionRecId = recId;
    b->FieldNo = field;
    pda_->Bitmaps->AddBitmap(b);
  }
  // An appending, clearing session in the test folder, field 2 a signature, with signatures
  // of Rec_ID 1 (downloaded) and 7 (no row holds it).
  void AppendingWithSignatures() {
  UseCustomPath(temp_.Path());
  pda_->Prefs.AppendOutput = 1;
  pda_->Prefs.ClearPDAData = 1;
  pda_->Prefs.FieldDefs[1].FieldType = kFieldTypeBitmap;
  Export({1, 2});
  AddBitmap(1, 2);
  AddBitmap(7, 2);
  }
  // A signature the handheld session set aside: a second one of its record and field, or
  // with handheld bytes one the conversion refused.
  void AddStray(int recId, int field, const std::string& refused = std::string()) {
    TKLVStraySignature stray;
    stray.Bitmap = std::make_unique<TKLVBitmap>();
    if (refused.empty()) stray.Bitmap->LoadFromPalmBitmap(PalmBitmap());
    stray.Bitmap->SessionRecId = recId;
    stray.Bitmap->FieldNo = field;
    stray.HandheldBytes = refused;
    pda_->StraySignatures.push_back(std::move(stray));
  }

  // Opens an upload target with the given text fields after Rec_ID.
  void MakeUploadDb(const std::vector<std::pair<std::string, int>>& textFields) {
    auto db = std::make_unique<TVornConduitDb>();
    db->SetFileName("upload");
    db->AddField("Rec_ID", pftSmallint, 2);
    for (const auto& [name, size] : textFields) db->AddField(name, pftString, size);
    db->BeforePost = [this](TVornConduitDb& d) {
      std::vector<std::string> values;
      for (int i = 1; i < d.Fields.Count(); ++i) values.push_back(d.Fields.Items(i).AsString());
      posted_.push_back(values);
    };
    db->Open();
    pda_->CurrentDb = std::move(db);
  }
  void MakeUploadDataDb() {
    std::vector<std::pair<std::string, int>> fields;
    for (int n = 1; n <= kSessionFieldCount; ++n) fields.emplace_back(Format("Field%d", n), 31);
    MakeUploadDb(fields);
  }
  // Rec_ID as stored: the first two bytes of the record.
  std::vector<std::string> StoredRecIds() const {
    std::vector<std::string> ids;
    for (const auto& r : sync_.written) ids.push_back(Format("%.2X %.2X", r[0], r[1]));
    return ids;
  }

  qptest::TempDir temp_;
  trtest::FakeSyncManager sync_;
  trtest::FakeLog log_;
  // Per posted record, the field texts before the post.
  std::vector<std::vector<std::string>> posted_;
  std::unique_ptr<TKLVPDASession> pda_;
};

using KLVPCSessionTextFolders = KLVPCSessionTextTest;
using KLVPCSessionTextDownload = KLVPCSessionTextTest;
using KLVPCSessionTextUpload = KLVPCSessionTextTest;

// --- folders and names -----------------------------------------------------------------------

TEST_F(KLVPCSessionTextFolders, DefaultLayoutBesideTheConduitLibraryPerUser) {
  const std::string data = platform::FolderOf(GetModulePath()) + "Data";
  for (const auto& [userName, folder] :
       {std::pair<std::string, std::string>{"Ann Lee", "Ann Lee"}, {"..", "2E2E"}}) {
    StartHotSync(userName);
    const std::string user = data + "/" + folder + "/";
    {
      auto s = NewSession();
      EXPECT_EQ(s->PathMode, TPathMode::LibraryData);
      EXPECT_EQ(s->BaseFolder, data + "/");
      EXPECT_EQ(s->FromPDAFolder, user + "FromPDA/");
      EXPECT_EQ(s->ToPDAFolder, user + "ToPDA/");
      EXPECT_EQ(s->GetOutputFileName(), user + "FromPDA/S01_data.txt");
      EXPECT_EQ(s->GetDataFileName(), user + "ToPDA/S01_data.txt");
      EXPECT_EQ(s->GetHintsFileName(), user + "ToPDA/S01_Hints.txt");
      EXPECT_EQ(s->GetFieldListFileName(3), user + "ToPDA/S01F03.txt");
      EXPECT_TRUE(fs::is_directory(user + "FromPDA/Signatures"));
      EXPECT_TRUE(fs::is_directory(user + "ToPDA"));
      EXPECT_THAT(log_.texts, IsEmpty());
    }
    std::error_code ec;
    fs::remove_all(user, ec);
  }
  std::error_code ec;
  fs::remove(data, ec);  // only when no other test uses it
}

TEST_F(KLVPCSessionTextFolders, CustomFolderHoldsOutputAndSignaturesWithUserInNames) {
  const std::string custom = temp_ / "Exchange";
  UseCustomPath(custom);
  pda_->Prefs.OutputFormat = 4;
  auto s = NewSession();
  EXPECT_EQ(s->PathMode, TPathMode::Custom);
  EXPECT_EQ(s->FromPDAFolder, custom + "/");
  EXPECT_EQ(s->GetOutputFileName(), custom + "/S01_data_Ann.htm");
  EXPECT_EQ(s->GetHintsFileName(), custom + "/ToPDA/S01_Hints.txt");
  EXPECT_TRUE(fs::is_directory(custom + "/Signatures"));
  EXPECT_TRUE(fs::is_directory(custom + "/ToPDA"));

  // Bitmaps of field 3 go into the custom Signatures folder, named with the user. Of the
  // slot's earlier ones only this user's go: the folder may be shared.
  pda_->Prefs.FieldDefs[2].FieldType = kFieldTypeBitmap;
  Export({3});
  AddBitmap(1, 3);
  const std::vector<std::string> others = {
      "S01F03_26010100_001_Bob.bmp", "S01F03_26010100_001_Jo_Ann.bmp",
      "S01F03_26010100_001_Ann.bmp.bmp", "S01F03_2601010_001_Ann.bmp",
      "S02F03_26010100_001_Ann.bmp"};
  for (const std::string& name : others) qptest::WriteFile(custom + "/Signatures/" + name, "");
  for (const char* name : {"S01F03_26010100_001_Ann.bmp", "S01F12_26010100_1000_Ann.bmp"})
    qptest::WriteFile(custom + "/Signatures/" + name, "");
  Download(*s, {{"", "", ""}});
  std::vector<std::string> expected = others;
  expected.push_back("S01F03_26120714_001_Ann.bmp");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(FilesIn(custom + "/Signatures"), expected);
}

TEST_F(KLVPCSessionTextFolders, CustomFolderThatCannotBeMadeFallsBackToTheUserFolder) {
  const std::string hotsync = temp_ / "hotsync";
  // A Windows drive path is no folder here; a path below a plain file cannot be created.
  qptest::WriteFile(temp_ / "plain", "x");
  for (const std::string& custom : {std::string("Z:\\Exchange"), temp_ / "plain/Exchange"}) {
    log_.Clear();
    UseCustomPath(custom);
    auto s = NewSession();
    EXPECT_EQ(s->PathMode, TPathMode::HotSyncUser);
    EXPECT_THAT(log_.texts, ElementsAre("Invalid HotSync data path: " + custom + ".\n" +
                                        " Resetting to Palm default location: " + hotsync));
    EXPECT_EQ(s->FromPDAFolder, hotsync + "/FromPDA/");
    EXPECT_EQ(s->ToPDAFolder, hotsync + "/ToPDA/");
    EXPECT_EQ(s->GetOutputFileName(), hotsync + "/FromPDA/S01_data.txt");
    EXPECT_TRUE(fs::is_directory(hotsync + "/FromPDA/Signatures"));
  }
  EXPECT_FALSE(fs::exists("Z:\\Exchange"));
}

TEST_F(KLVPCSessionTextFolders, BaseFolderThatCannotBeMadeIsLoggedAndTheSessionStillBuilt) {
  qptest::WriteFile(temp_ / "plain", "x");
  const std::string hotsync = temp_ / "plain/hotsync";
  StartHotSync("Ann", hotsync);
  UseCustomPath(temp_ / "plain/Exchange");
  auto s = NewSession();
  EXPECT_THAT(log_.texts, ElementsAre(StartsWith("Invalid HotSync data path: "),
                                      "Unable to create HotSync folder: " + hotsync + "\n" +
                                          "  Data will not be transferred."));
  // The download then fails in its own words and keeps the handheld data.
  log_.Clear();
  Download(*s, {{"a"}});
  EXPECT_TRUE(s->Failed());
  EXPECT_THAT(log_.texts,
              ElementsAre(StartsWith("Session01(Orders): Failure opening output text "
                                     "file: \n  " +
                                     hotsync + "/FromPDA/S01_data.txt\n  EInOutError: ")));
}

TEST_F(KLVPCSessionTextFolders, SafeFileNames) {
  EXPECT_EQ(TKLVPCSessionText::MakeSafeFileName("Ann Lee"), "Ann Lee");
  EXPECT_EQ(TKLVPCSessionText::MakeSafeFileName("J/Smith"), "J2FSmith");
  EXPECT_EQ(TKLVPCSessionText::MakeSafeFileName("a/b:c"), "a2Fb3Ac");
  EXPECT_EQ(TKLVPCSessionText::MakeSafeFileName("x\ty"), "x 9y");
  EXPECT_EQ(TKLVPCSessionText::MakeSafeFileName("Ren\xE9#-._"), "RenE9#-._");
  // Names that would leave the user's folder: the empty name, "." and "..".
  EXPECT_EQ(TKLVPCSessionText::MakeSafeFileName(""), "00");
  EXPECT_EQ(TKLVPCSessionText::MakeSafeFileName("."), "2E");
  EXPECT_EQ(TKLVPCSessionText::MakeSafeFileName(".."), "2E2E");
  EXPECT_EQ(TKLVPCSessionText::MakeSafeFileName("..."), "2E2E2E");
  EXPECT_EQ(TKLVPCSessionText::MakeSafeFileName("..a"), "..a");
  // Too long for a file name: cut, and still one folder per user.
  const std::string longest(255, 'a');
  EXPECT_EQ(TKLVPCSessionText::MakeSafeFileName(longest), longest);
  std::vector<std::string> safe;
  for (const std::string& name : {longest + "b", longest + "c", std::string(128, '/') + "x"}) {
    safe.push_back(TKLVPCSessionText::MakeSafeFileName(name));
    EXPECT_EQ(safe.back().size(), 255u);
  }
  // The same folder on every run: the hash is part of where the user's files are.
  EXPECT_EQ(safe[0], longest.substr(0, 238) + "-FD2913200943D30C");
  EXPECT_NE(safe[0], safe[1]);
  std::string escapedSlashes;
  for (int i = 0; i < 100; ++i) escapedSlashes += "2F";
  EXPECT_EQ(safe[2].substr(0, 200), escapedSlashes);
  EXPECT_THAT(safe[2], ::testing::MatchesRegex("(2F)+-[0-9A-F]{16}"));
  EXPECT_FALSE(TKLVPCSessionText::IsFileNameChar(0x80));
  EXPECT_FALSE(TKLVPCSessionText::IsFileNameChar('/'));
  EXPECT_TRUE(TKLVPCSessionText::IsFileNameChar(' '));
}

TEST_F(KLVPCSessionTextFolders, UserNameWithSeparatorsStaysInsideTheFolders) {
  StartHotSync("J/../Smith");
  UseCustomPath(temp_ / "Exchange");
  auto s = NewSession();
  EXPECT_EQ(s->GetOutputFileName(), temp_ / "Exchange/S01_data_J2F..2FSmith.txt");
  Download(*s, {{"a"}});
  EXPECT_FALSE(s->Failed());
  EXPECT_TRUE(fs::exists(temp_ / "Exchange/S01_data_J2F..2FSmith.txt"));
}

TEST_F(KLVPCSessionTextFolders, OutputFormatChoosesTheFormatter) {
  UseCustomPath(temp_.Path());
  auto formatterFor = [&](int16_t format) {
    pda_->Prefs.OutputFormat = format;
    return NewSession();
  };
  EXPECT_NE(dynamic_cast<TKLVPCTextFormatterTab*>(formatterFor(0)->Formatter.get()), nullptr);
  auto quotedSession = formatterFor(1);
  auto quoted = dynamic_cast<TKLVPCTextFormatterComma*>(quotedSession->Formatter.get());
  ASSERT_NE(quoted, nullptr);
  EXPECT_TRUE(quoted->QuoteValues);
  EXPECT_NE(dynamic_cast<TKLVPCTextFormatterFixed*>(formatterFor(2)->Formatter.get()), nullptr);
  EXPECT_NE(dynamic_cast<TKLVPCTextFormatterXML*>(formatterFor(3)->Formatter.get()), nullptr);
  EXPECT_NE(dynamic_cast<TKLVPCTextFormatterHTML*>(formatterFor(4)->Formatter.get()), nullptr);
  auto bareSession = formatterFor(5);
  auto bare = dynamic_cast<TKLVPCTextFormatterComma*>(bareSession->Formatter.get());
  ASSERT_NE(bare, nullptr);
  EXPECT_FALSE(bare->QuoteValues);
  for (int16_t other : {6, 99, -1})
    EXPECT_NE(dynamic_cast<TKLVPCTextFormatterTab*>(formatterFor(other)->Formatter.get()), nullptr)
        << other;
}

TEST_F(KLVPCSessionTextFolders, BitmapNamesTakeTheFirstFreeCounter) {
  UseCustomPath(temp_.Path());
  auto s = NewSession();
  const std::string prefix = temp_ / "Signatures/S01F03_";
  EXPECT_EQ(s->Signatures.MakeFileName(prefix, ".bmp"), prefix + "26120714_001.bmp");
  qptest::WriteFile(prefix + "26120714_001.bmp", "");
  qptest::WriteFile(prefix + "26120714_002.bmp", "");
  EXPECT_EQ(s->Signatures.MakeFileName(prefix, ".bmp"), prefix + "26120714_003.bmp");
  EXPECT_EQ(s->Signatures.MakeFileName(prefix, "_Ann.bmp"), prefix + "26120714_001_Ann.bmp");
}

TEST_F(KLVPCSessionTextFolders, BitmapNamesInAFolderOfEarlierFilesAreThoseOfTheRule) {
  UseCustomPath(temp_.Path());
  auto s = NewSession();
  const std::string folder = temp_ / "Signatures/";
  const std::string head = folder + "S01F03_26120714_";
  for (const char* name :
       {"001.bmp", "002.bmp", "004.bmp", "006.bmp", "0003.bmp", "005_Bob.bmp", "001_Ann.bmp",
        "002_Ann.bmp", "010.bmp.tmp-a1b2c3", "1000.bmp", "01001.bmp"})
    qptest::WriteFile(head + name, "");
  for (int n = 11; n <= 999; ++n) qptest::WriteFile(head + Format("%.3d.bmp", n), "");
  // Other slots, fields and hours; entries that are no files take their names all the same.
  for (const char* name : {"S02F03_26120714_003.bmp", "S01F04_26120714_003.bmp",
                           "S01F03_26120713_003.bmp", "S01F03_26120714_003_Ann.bmp"})
    qptest::WriteFile(folder + name, "");
  fs::create_directory(head + "007.bmp");
  fs::create_symlink(folder + "nowhere", head + "008.bmp");
  fs::create_directory(head + "009_Ann.bmp");

  // The rule itself: the first counter whose name nothing in the folder bears.
  auto byTrial = [&](const std::string& stampHead, const std::string& suffix) {
    for (int n = 1;; ++n) {
      const std::string name = stampHead + Format("%.3d", n) + suffix;
      std::error_code ec;
      if (fs::symlink_status(name, ec).type() == fs::file_type::not_found) return name;
    }
  };
  auto next = [&](const std::string& suffix, const std::string& stampHead) {
    const std::string expected = byTrial(stampHead, suffix);
    const std::string name = s->Signatures.MakeFileName(folder + "S01F03_", suffix);
    EXPECT_EQ(name, expected);
    qptest::WriteFile(name, "BM");  // saved, as WriteRowBitmaps does
    return name.substr(stampHead.size());
  };
  std::vector<std::string> plain, ann;
  for (int k = 0; k < 6; ++k) plain.push_back(next(".bmp", head));
  for (int k = 0; k < 7; ++k) ann.push_back(next("_Ann.bmp", head));
  EXPECT_THAT(plain, ElementsAre("003.bmp", "005.bmp", "009.bmp", "010.bmp", "1001.bmp",
                                 "1002.bmp"));
  EXPECT_THAT(ann, ElementsAre("004_Ann.bmp", "005_Ann.bmp", "006_Ann.bmp", "007_Ann.bmp",
                               "008_Ann.bmp", "010_Ann.bmp", "011_Ann.bmp"));
  // A name that another HotSync takes meanwhile is passed over.
  qptest::WriteFile(head + "1003.bmp", "");
  EXPECT_EQ(next(".bmp", head), "1004.bmp");
  // A new hour starts from its own first free counter.
  s->Clock = [] { return FixedTime() + 3600; };
  qptest::WriteFile(folder + "S01F03_26120715_001.bmp", "");
  EXPECT_EQ(next(".bmp", folder + "S01F03_26120715_"), "002.bmp");
}

// --- download --------------------------------------------------------------------------------

TEST_F(KLVPCSessionTextDownload, TabFileNewWithAndWithoutHeaders) {
  UseCustomPath(temp_.Path());
  SetName(1, "Item");
  SetName(3, "Qty");
  Export({1, 3});
  pda_->Prefs.FieldNamesAsHeaders = 1;
  const std::string out = temp_ / "S01_data_Ann.txt";
  {
    auto s = NewSession();
    Download(*s, {{"A1", "x", "1"}, {"B2", "x", "20"}, {"C3", "x", ""}});
    EXPECT_FALSE(s->Failed());
    EXPECT_EQ(s->OutputFileName, out);
  }
  EXPECT_EQ(ReadFileBytes(out), "Item\tQty\r\nA1\t1\r\nB2\t20\r\nC3\t\r\n");
  EXPECT_THAT(log_.texts, ElementsAre("Session01(Orders): Downloaded 3/3 records to " + out));

  // Without AppendOutput the next download replaces the file.
  pda_->Prefs.FieldNamesAsHeaders = 0;
  {
    auto s = NewSession();
    Download(*s, {{"D4", "x", "5"}});
  }
  EXPECT_EQ(ReadFileBytes(out), "D4\t5\r\n");
  EXPECT_THAT(FilesIn(temp_.Path()), ElementsAre("S01_data_Ann.txt", "Signatures", "ToPDA"));
}

TEST_F(KLVPCSessionTextDownload, AppendToTabFileAddsRowsOnly) {
  UseCustomPath(temp_.Path());
  Export({1});
  pda_->Prefs.AppendOutput = 1;
  pda_->Prefs.FieldNamesAsHeaders = 1;
  const std::string out = temp_ / "S01_data_Ann.txt";
  // No file yet: created as a new one, header included.
  Download(*NewSession(), {{"A"}});
  EXPECT_EQ(ReadFileBytes(out), "Name1\r\nA\r\n");
  // Present: kept byte for byte, even a last line without its end.
  qptest::WriteFile(out, "old\nlast");
  Download(*NewSession(), {{"B"}, {"C"}});
  EXPECT_EQ(ReadFileBytes(out), "old\nlastB\r\nC\r\n");
}

TEST_F(KLVPCSessionTextDownload, AppendToXmlFileReplacesTheFooter) {
  UseCustomPath(temp_.Path());
  pda_->Prefs.OutputFormat = 3;
  pda_->Prefs.AppendOutput = 1;
  SetName(2, "Qty");
  Export({2});
  const std::string out = temp_ / "S01_data_Ann.xml";
  Download(*NewSession(), {{"x", "7"}});
  Download(*NewSession(), {{"x", "8"}, {"x", "9"}});
  const std::string doc = MaskDates(ReadFileBytes(out));
  EXPECT_EQ(doc,
            "<?xml version=\"1.0\"  encoding=\"UTF-8\" ?>\r\n"
            "<QuillorPlusData>\r\n"
            "  <Transfer Date=\"*\">\r\n"
            "  <UserName>Ann</UserName>\r\n"
            "  <TotalRecords>0</TotalRecords>\r\n"
            " <Record>\r\n"
            "  <ID>1</ID>\r\n"
            "  <Field2>7  </Field2>\r\n"
            " </Record>\r\n"
            "</Transfer>\r\n"
            "  <Transfer Date=\"*\">\r\n"
            "  <UserName>Ann</UserName>\r\n"
            "  <TotalRecords>0</TotalRecords>\r\n"
            " <Record>\r\n"
            "  <ID>1</ID>\r\n"
            "  <Field2>8  </Field2>\r\n"
            " </Record>\r\n"
            " <Record>\r\n"
            "  <ID>2</ID>\r\n"
            "  <Field2>9  </Field2>\r\n"
            " </Record>\r\n"
            "</Transfer>\r\n"
            "\r\n"
            "</QuillorPlusData>\r\n");
}

TEST_F(KLVPCSessionTextDownload, AppendRemovesOnlyClosingLinesThisLayoutWrote) {
  UseCustomPath(temp_.Path());
  pda_->Prefs.AppendOutput = 1;
  Export({1});
  auto without = [](std::string text, const std::string& drop) {
    for (size_t at = text.find(drop); at != std::string::npos; at = text.find(drop, at))
      text.erase(at, drop.size());
    return text;
  };
  for (int16_t format : {3, 4}) {
    pda_->Prefs.OutputFormat = format;
    const std::string out = temp_ / (format == 3 ? "S01_data_Ann.xml" : "S01_data_Ann.htm");
    const std::string lastLine = format == 3 ? "</QuillorPlusData>" : "</body></html>";
    Download(*NewSession(), {{"first"}});
    const std::string written = ReadFileBytes(out);

    // Re-saved on one line, with a note after its end: every byte stays and the new block
    // follows.
    for (const std::string& edited : {without(written, "\r\n"), written + "<!-- checked -->\r\n"}) {
      qptest::WriteFile(out, edited);
      log_.Clear();
      Download(*NewSession(), {{"second"}});
      const std::string after = ReadFileBytes(out);
      EXPECT_EQ(after.substr(0, edited.size()), edited);
      EXPECT_NE(after.find("second", edited.size()), std::string::npos);
      EXPECT_THAT(log_.texts,
                  ElementsAre("Session01(Orders): Output text file does not end with the closing "
                              "lines of its layout, appending after its end without removing "
                              "anything: " +
                                  out,
                              "Session01(Orders): Downloaded 1/1 records to " + out));
    }

    // Saved with other line ends, the closing lines are still the layout's own: replaced.
    const std::string lf = without(written, "\r");
    qptest::WriteFile(out, lf);
    log_.Clear();
    Download(*NewSession(), {{"second"}});
    const std::string after = ReadFileBytes(out);
    const size_t footerStart = lf.rfind(format == 3 ? "\n\n" : "\n\n<table") + 1;
    EXPECT_EQ(after.substr(0, footerStart), lf.substr(0, footerStart));
    EXPECT_NE(after.find("second", footerStart), std::string::npos);
    EXPECT_EQ(after.find(lastLine), after.size() - lastLine.size() - 2);
    EXPECT_THAT(log_.texts, ElementsAre("Session01(Orders): Downloaded 1/1 records to " + out));

    // Blank lines after them, as an editor or a copy may add: still the closing lines, which
    // go with the blanks, and the file stays one document.
    for (const std::string blanks : {"\r\n", "\r\n \r\n\t\n\n"}) {
      qptest::WriteFile(out, written + blanks);
      log_.Clear();
      Download(*NewSession(), {{"second"}});
      const std::string after = ReadFileBytes(out);
      const size_t footerStart = written.rfind(format == 3 ? "\r\n\r\n" : "\r\n\r\n<table") + 2;
      EXPECT_EQ(after.substr(0, footerStart), written.substr(0, footerStart));
      EXPECT_EQ(after.find(lastLine), after.size() - lastLine.size() - 2);
      const trtest::ParsedDoc parsed = trtest::Parse(after, format == 4);
      EXPECT_THAT(parsed.errors, IsEmpty());
      EXPECT_THAT(log_.texts, ElementsAre("Session01(Orders): Downloaded 1/1 records to " + out));
    }
  }
}

TEST_F(KLVPCSessionTextDownload, BitmapsAreSavedForExportedFieldsAndNamedInTheRow) {
  // In the HotSync user folder (a custom folder that is no folder here falls back to it), the
  // bitmap names carry no user name.
  UseCustomPath("Z:\\nowhere");
  pda_->Prefs.FieldDefs[2].FieldType = kFieldTypeBitmap;  // exported
  pda_->Prefs.FieldDefs[3].FieldType = kFieldTypeBitmap;  // not exported
  Export({1, 3});
  AddBitmap(1, 3);
  AddBitmap(1, 4);
  AddBitmap(3, 3);
  const std::string sig = temp_ / "hotsync/FromPDA/Signatures/";
  auto s = NewSession();
  ASSERT_EQ(s->PathMode, TPathMode::HotSyncUser);
  log_.Clear();
  // Bitmaps of earlier downloads of this slot go; another slot's stay.
  qptest::WriteFile(sig + "S01F03_26010100_001.bmp", "old");
  qptest::WriteFile(sig + "S02F03_26010100_001.bmp", "other slot");
  Download(*s, {{"r1"}, {"r2"}, {"r3"}});
  EXPECT_EQ(ReadFileBytes(temp_ / "hotsync/FromPDA/S01_data.txt"),
            "r1\tS01F03_26120714_001.bmp\r\nr2\t\r\nr3\tS01F03_26120714_002.bmp\r\n");
  EXPECT_THAT(FilesIn(sig), ElementsAre("S01F03_26120714_001.bmp", "S01F03_26120714_002.bmp",
                                        "S02F03_26010100_001.bmp"));
  EXPECT_EQ(ReadFileBytes(sig + "S01F03_26120714_001.bmp"),
            pda_->Bitmaps->FindBitmap(1, 3)->Image());

  // With AppendOutput the earlier bitmaps stay and the counter goes on.
  pda_->Prefs.AppendOutput = 1;
  Download(*NewSession(), {{"r1"}});
  EXPECT_THAT(FilesIn(sig), ElementsAre("S01F03_26120714_001.bmp", "S01F03_26120714_002.bmp",
                                        "S01F03_26120714_003.bmp", "S02F03_26010100_001.bmp"));

  // When the handheld is to be cleared, the signatures no row named get files too, under
  // their own field numbers: of a record not downloaded, of a text field, of fields 0 and
  // 31. The one of a signature field that is not exported stays out.
  pda_->Prefs.ClearPDAData = 1;
  AddBitmap(9, 3);
  AddBitmap(1, 1);
  AddBitmap(1, 0);
  AddBitmap(3, 31);
  auto clearing = NewSession();
  log_.Clear();
  Download(*clearing, {{"r1"}});
  EXPECT_THAT(
      FilesIn(sig),
      ElementsAre("S01F00_26120714_001.bmp", "S01F01_26120714_001.bmp", "S01F03_26120714_001.bmp",
                  "S01F03_26120714_002.bmp", "S01F03_26120714_003.bmp", "S01F03_26120714_004.bmp",
                  "S01F03_26120714_005.bmp", "S01F31_26120714_001.bmp", "S02F03_26010100_001.bmp"));
  EXPECT_EQ(pda_->Bitmaps->FindBitmap(1, 4)->FileName, "");
  const std::string out = temp_ / "hotsync/FromPDA/S01_data.txt";
  auto named = [&](int recId, int field, const std::string& file) {
    return Format(
               "Session01(Orders): Signature of Rec_ID %d, field %d, which no downloaded "
               "record holds, saved as ",
               recId, field) +
           sig + file;
  };
  EXPECT_THAT(
      log_.texts,
      ElementsAre("Session01(Orders): Downloaded 1/1 records to " + out,
                  named(1, 0, "S01F00_26120714_001.bmp"), named(1, 1, "S01F01_26120714_001.bmp"),
                  named(3, 31, "S01F31_26120714_001.bmp"), named(9, 3, "S01F03_26120714_005.bmp")));
  EXPECT_EQ(ReadFileBytes(sig + "S01F31_26120714_001.bmp"),
            pda_->Bitmaps->FindBitmap(3, 31)->Image());
}

// When the handheld is to be cleared, a second signature of a record and field is saved as a
// bitmap file of its own, one the conversion refused as the handheld's bytes under the name
// of its field's bitmaps with ".raw" in place of ".bmp"; each is named in the log. One of a
// signature field that is not exported stays out.
TEST_F(KLVPCSessionTextDownload, SignaturesSetAsideAreSavedAndNamed) {
  UseCustomPath(temp_.Path());
  pda_->Prefs.ClearPDAData = 1;
  pda_->Prefs.FieldDefs[1].FieldType = kFieldTypeBitmap;
  pda_->Prefs.FieldDefs[3].FieldType = kFieldTypeBitmap;  // not exported
  Export({1, 2});
  AddBitmap(1, 2);
  AddStray(1, 2);
  const std::string refused = "\x00\x00\x00\x32" + std::string(1012, '\x5A');
  AddStray(4, 2, refused);
  AddStray(5, 4, refused);
  Download(*NewSession(), {{"r1"}});
  const std::string sig = temp_ / "Signatures/";
  EXPECT_THAT(FilesIn(sig),
              ElementsAre("S01F02_26120714_001_Ann.bmp", "S01F02_26120714_001_Ann.raw",
                          "S01F02_26120714_002_Ann.bmp"));
  EXPECT_EQ(ReadFileBytes(sig + "S01F02_26120714_002_Ann.bmp"),
            pda_->StraySignatures[0].Bitmap->Image());
  EXPECT_EQ(ReadFileBytes(sig + "S01F02_26120714_001_Ann.raw"), refused);
  EXPECT_EQ(pda_->StraySignatures[0].FileName, sig + "S01F02_26120714_002_Ann.bmp");
  EXPECT_EQ(pda_->StraySignatures[1].FileName, sig + "S01F02_26120714_001_Ann.raw");
  EXPECT_EQ(pda_->StraySignatures[2].FileName, "");
  EXPECT_THAT(
      log_.texts,
      ElementsAre("Session01(Orders): Downloaded 1/1 records to " + temp_ / "S01_data_Ann.txt",
                  "Session01(Orders): Signature of Rec_ID 1, field 2, a second one of that "
                  "record and field, saved as " +
                      sig + "S01F02_26120714_002_Ann.bmp",
                  "Session01(Orders): Signature of Rec_ID 4, field 2, which cannot be converted "
                  "to a bitmap, saved unconverted as " +
                      sig + "S01F02_26120714_001_Ann.raw"));
}

// With AppendOutput a download that another output could not take is dropped whole: the
// file keeps what it had and the bitmap files it saved go, for the next HotSync saves them
// again.
TEST_F(KLVPCSessionTextDownload, ADroppedDownloadLeavesNoFileOrBitmapBehind) {
  AppendingWithSignatures();
  AddStray(7, 2, "not a bitmap");
  const std::string out = temp_ / "S01_data_Ann.txt";
  qptest::WriteFile(out, "earlier\r\n");
  auto s = NewSession();
  MakeDataDb();
  s->WriteOpen();
  SetRecord(1, {"a"});
  s->WriteRecord();
  s->WriteClose();
  EXPECT_THAT(FilesIn(temp_ / "Signatures"), ::testing::SizeIs(3));
  log_.Clear();
  s->WriteCommit(false, "Another output of the session failed.");
  EXPECT_FALSE(s->Failed());
  EXPECT_THAT(log_.texts, ElementsAre("Session01(Orders): Download not written to " + out +
                                      "\n  Another output of the session failed."));
  EXPECT_EQ(ReadFileBytes(out), "earlier\r\n");
  EXPECT_THAT(FilesIn(temp_ / "Signatures"), IsEmpty());
  EXPECT_THAT(FilesIn(temp_.Path()), ElementsAre("S01_data_Ann.txt", "Signatures", "ToPDA"));
}

// A download made visible is taken back whole when another output then fails, or when its own
// folder sync fails: the file is the earlier one again, byte for byte, and the bitmap files of
// the download are gone. Only a download kept names its bitmap files in the log.
TEST_F(KLVPCSessionTextDownload, APublishedDownloadIsTakenBackWhole) {
  AppendingWithSignatures();
  const std::string out = temp_ / "S01_data_Ann.txt";
  const std::string earlier = "earlier\r\n\r\n";
  struct Case {
    std::string faults;  // while publishing
    bool publishes;
    bool settled;        // kept by WriteSettle
  };
  for (const Case& c : {Case{"", true, false}, Case{"syncfolder@2=EIO", false, false},
                        Case{"syncfolder@1=EIO", false, false}, Case{"rename@3=EIO", false, false},
                        Case{"", true, true}}) {
    SCOPED_TRACE(c.faults + (c.settled ? " kept" : " dropped"));
    for (const std::string& name : FilesIn(temp_ / "Signatures"))
      fs::remove(temp_ / "Signatures/" + name);
    qptest::WriteFile(out, earlier);
    for (int k = 0; k < pda_->Bitmaps->Count(); ++k) pda_->Bitmaps->Bitmap(k)->FileName.clear();
    auto s = NewSession();
    MakeDataDb();
    s->WriteOpen();
    SetRecord(1, {"a"});
    s->WriteRecord();
    s->WriteClose();
    log_.Clear();
    bool published;
    {
      std::optional<ScopedFileFaults> faults;
      if (!c.faults.empty()) faults.emplace(c.faults);
      published = s->WritePublish();
    }
    EXPECT_EQ(published, c.publishes);
    EXPECT_EQ(s->Failed(), !c.publishes);
    if (c.publishes) {
      EXPECT_EQ(ReadFileBytes(out), earlier + "a\t" + FilesIn(temp_ / "Signatures")[0] + "\r\n");
      EXPECT_THAT(FilesIn(temp_ / "Signatures"), ::testing::SizeIs(2));
    }
    s->WriteSettle(c.settled, "Another output of the session failed.");
    if (c.settled) {
      EXPECT_NE(ReadFileBytes(out), earlier);
      EXPECT_THAT(FilesIn(temp_ / "Signatures"), ::testing::SizeIs(2));
      EXPECT_THAT(log_.texts, ElementsAre("Session01(Orders): Downloaded 1/1 records to " + out,
                                          StartsWith("Session01(Orders): Signature of Rec_ID 7")));
    } else {
      EXPECT_EQ(ReadFileBytes(out), earlier);
      EXPECT_THAT(FilesIn(temp_ / "Signatures"), IsEmpty());
      const std::string first = c.publishes ? "Session01(Orders): Download not written to " + out +
                                                  "\n  Another output of the session failed."
                                            : "Session01(Orders): Failure closing output text "
                                              "file: " + out + "\n  EInOutError: ";
      EXPECT_THAT(log_.texts, ElementsAre(StartsWith(first)));
    }
    // Nothing else is left beside the file: no temporary, no kept copy, no lock.
    EXPECT_THAT(FilesIn(temp_.Path()), ElementsAre("S01_data_Ann.txt", "Signatures", "ToPDA"));
  }
}

TEST_F(KLVPCSessionTextDownload, BitmapFailureStopsTheRowsAndTheFileIsStillFinished) {
  UseCustomPath(temp_.Path());
  pda_->Prefs.FieldDefs[0].FieldType = kFieldTypeBitmap;
  Export({1, 2});
  AddBitmap(2, 1, /*withImage=*/false);  // cannot be saved
  auto s = NewSession();
  Download(*s, {{"", "a"}, {"", "b"}, {"", "c"}, {"", "d"}, {"", "e"}});
  EXPECT_TRUE(s->Failed());
  EXPECT_EQ(s->SeenCount, 1);
  EXPECT_EQ(s->WrittenCount, 1);
  const std::string out = temp_ / "S01_data_Ann.txt";
  EXPECT_EQ(ReadFileBytes(out), "\ta\r\n");
  EXPECT_THAT(log_.texts, ElementsAre("Session01(Orders): Failure writing bitmaps for row\n"
                                      "  Exception: TKLVBitmap.SaveToFile: no bitmap assigned",
                                      "Session01(Orders): Downloaded 1/1 records to " + out));
}

TEST_F(KLVPCSessionTextDownload, RowFailureIsCountedAsSeenOnly) {
  UseCustomPath(temp_.Path());
  Export({1});
  auto s = NewSession();
  // A data database without the field the row needs.
  auto db = std::make_unique<TVornConduitDb>();
  db->AddField("Rec_ID", pftSmallint, 2);
  pda_->CurrentDb = std::move(db);
  s->WriteOpen();
  s->WriteRecord();
  s->WriteRecord();  // ignored: failed already
  s->WriteClose();
  s->WriteCommit(true, "");
  EXPECT_TRUE(s->Failed());
  EXPECT_EQ(s->SeenCount, 1);
  EXPECT_EQ(s->WrittenCount, 0);
  const std::string out = temp_ / "S01_data_Ann.txt";
  EXPECT_THAT(log_.texts, ElementsAre(StartsWith("Session01(Orders): Failure writing output text "
                                                 "file: " +
                                                 out + "\n  EListError: "),
                                      "Session01(Orders): Downloaded 0/1 records to " + out));
  EXPECT_EQ(ReadFileBytes(out), "");
}

TEST_F(KLVPCSessionTextDownload, MissingOutputFolderFailsOnceAndWritesNothing) {
  UseCustomPath(temp_.Path());
  auto s = NewSession();
  s->FromPDAFolder = temp_ / "gone/";
  Download(*s, {{"a"}, {"b"}});
  EXPECT_TRUE(s->Failed());
  EXPECT_EQ(s->SeenCount, 0);
  EXPECT_THAT(log_.texts, ElementsAre(StartsWith("Session01(Orders): Failure opening output text "
                                                 "file: \n  " +
                                                 temp_ / "gone/S01_data_Ann.txt" +
                                                 "\n  EInOutError: Cannot create file ")));
  EXPECT_FALSE(fs::exists(temp_ / "gone"));
}

TEST_F(KLVPCSessionTextDownload, BrokenOffDownloadLeavesTheEarlierFileWhole) {
  UseCustomPath(temp_.Path());
  pda_->Prefs.OutputFormat = 4;
  pda_->Prefs.AppendOutput = 1;
  Export({1});
  const std::string out = temp_ / "S01_data_Ann.htm";
  Download(*NewSession(), {{"first"}});
  const std::string before = ReadFileBytes(out);
  {
    auto s = NewSession();
    MakeDataDb();
    s->WriteOpen();
    SetRecord(1, {"second"});
    s->WriteRecord();
    // The fetch of the next handheld record fails: no WriteClose comes.
  }
  EXPECT_EQ(ReadFileBytes(out), before);
  EXPECT_THAT(FilesIn(temp_.Path()), ElementsAre("S01_data_Ann.htm", "Signatures", "ToPDA"));
  // So the next download appends to a whole document: one footer at the end.
  Download(*NewSession(), {{"third"}});
  const std::string after = ReadFileBytes(out);
  EXPECT_EQ(after.find("first"), before.find("first"));
  EXPECT_EQ(after.find("second"), std::string::npos);
  EXPECT_NE(after.find("third"), std::string::npos);
  EXPECT_EQ(after.substr(after.size() - 16), "</body></html>\r\n");
  EXPECT_EQ(after.find("</body></html>"), after.size() - 16);
}

TEST_F(KLVPCSessionTextDownload, FailureToFinishKeepsTheEarlierFile) {
  UseCustomPath(temp_.Path());
  pda_->Prefs.AppendOutput = 1;
  Export({1});
  const std::string out = temp_ / "S01_data_Ann.txt";
  qptest::WriteFile(out, "kept\r\n");
  auto s = NewSession();
  MakeDataDb();
  s->WriteOpen();
  SetRecord(1, {"new"});
  s->WriteRecord();
  // Something takes the file's place before the download ends.
  fs::remove(out);
  fs::create_directory(out);
  s->WriteClose();
  s->WriteCommit(true, "");
  EXPECT_TRUE(s->Failed());
  EXPECT_THAT(log_.texts, ElementsAre(StartsWith("Session01(Orders): Failure closing output text "
                                                 "file: " +
                                                 out + "\n  EInOutError: Cannot write file ")));
  EXPECT_THAT(FilesIn(temp_.Path()), ElementsAre("S01_data_Ann.txt", "Signatures", "ToPDA"));
  EXPECT_TRUE(fs::is_directory(out));
}

TEST_F(KLVPCSessionTextDownload, BufferedWritesKeepTheBytesAndAFailedOneKeepsTheEarlierFile) {
  // A file-size limit makes writes fail as a full disk does.
  struct SizeLimit {
    explicit SizeLimit(rlim_t bytes) {
      oldHandler = std::signal(SIGXFSZ, SIG_IGN);
      getrlimit(RLIMIT_FSIZE, &old);
      rlimit limit = old;
      limit.rlim_cur = bytes;
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~SizeLimit() {
      setrlimit(RLIMIT_FSIZE, &old);
      std::signal(SIGXFSZ, oldHandler);
    }
    rlimit old{};
    void (*oldHandler)(int);
  };
  UseCustomPath(temp_.Path());
  Export({1});
  const std::string out = temp_ / "S01_data_Ann.txt";
  const std::string cannotWrite = out + "\n  EInOutError: Cannot write file \"" + out + "\". ";
  // 31 bytes a row.
  std::vector<std::vector<std::string>> rows;
  for (int i = 0; i < 6000; ++i) rows.push_back({Format("%029d", i)});
  for (bool appending : {false, true}) {
    SCOPED_TRACE(appending);
    pda_->Prefs.AppendOutput = appending;
    qptest::WriteFile(out, "earlier\r\n");
    log_.Clear();
    {
      // Past the first buffers: a row's write fails.
      SizeLimit limit(100 * 1024);
      auto s = NewSession();
      Download(*s, rows);
      EXPECT_TRUE(s->Failed());
    }
    EXPECT_THAT(log_.texts,
                ElementsAre(StartsWith("Session01(Orders): Failure writing output text file: " +
                                       cannotWrite)));
    {
      // Within the first buffer: finishing the file fails.
      SizeLimit limit(1000);
      log_.Clear();
      auto s = NewSession();
      Download(*s, {rows.begin(), rows.begin() + 100});
      EXPECT_TRUE(s->Failed());
    }
    EXPECT_THAT(log_.texts,
                ElementsAre(StartsWith("Session01(Orders): Failure closing output text file: " +
                                       cannotWrite)));
    EXPECT_EQ(ReadFileBytes(out), "earlier\r\n");
    EXPECT_THAT(FilesIn(temp_.Path()), ElementsAre("S01_data_Ann.txt", "Signatures", "ToPDA"));
  }
  // Without the limit the rows span several buffers, and the next append copies the file in
  // pieces: the bytes are still the rows as they came.
  std::string text;
  for (const auto& row : rows) text += row[0] + "\r\n";
  Download(*NewSession(), rows);
  EXPECT_EQ(ReadFileBytes(out), "earlier\r\n" + text);
  Download(*NewSession(), rows);
  EXPECT_EQ(ReadFileBytes(out), "earlier\r\n" + text + text);
}

// What a commit that keeps the previous content leaves: the target restored as it was (or
// gone when there was none), or the new one with nothing kept beside it; a failing step raises
// and leaves the target as it was before the rename.
TEST(KLVTextOutputFile, ACommitThatKeepsThePreviousContentIsRestoredOrReleased) {
  const qptest::TempDir tmp;
  const std::string out = tmp / "S01_data.txt";
  auto write = [&](TKLVTextOutputFile& file, const std::string& text, const char* faults = "") {
    file.Lock(out);
    file.Create(out);
    file.Write(text);
    file.Finish();
    ScopedFileFaults scoped(faults);
    file.Commit(true);
  };
  for (bool previous : {true, false}) {
    for (bool restore : {true, false}) {
      SCOPED_TRACE(::testing::Message() << previous << restore);
      fs::remove(out);
      if (previous) qptest::WriteFile(out, "old\r\n");
      {
        TKLVTextOutputFile file;
        file.Lock(out);
        file.Create(out);
        file.Write("new\r\n");
        file.Finish();
        file.Commit(true);
        EXPECT_TRUE(file.IsRestorable());
        EXPECT_EQ(ReadFileBytes(out), "new\r\n");
        if (restore)
          file.Restore();
        else
          EXPECT_EQ(file.Release(), 0);
        EXPECT_FALSE(file.IsRestorable());
      }
      if (restore && previous)
        EXPECT_EQ(ReadFileBytes(out), "old\r\n");
      else if (restore)
        EXPECT_FALSE(fs::exists(out));
      else
        EXPECT_EQ(ReadFileBytes(out), "new\r\n");
      EXPECT_THAT(FilesIn(tmp.Path()), ::testing::SizeIs(previous || !restore ? 1 : 0));
    }
  }
  // A failed link or rename leaves the old content and nothing beside it; a failed folder
  // sync after the rename still lets it be restored.
  for (const char* faults : {"link@1=EIO", "rename@1=EIO"}) {
    SCOPED_TRACE(faults);
    qptest::WriteFile(out, "old\r\n");
    try {
      TKLVTextOutputFile file;
      write(file, "new\r\n", faults);
      ADD_FAILURE() << "no exception";
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.Text(), "EInOutError: Cannot write file \"" + out + "\". Input/output error");
    }
    EXPECT_EQ(ReadFileBytes(out), "old\r\n");
    EXPECT_THAT(FilesIn(tmp.Path()), ElementsAre("S01_data.txt"));
  }
  {
    TKLVTextOutputFile file;
    file.Lock(out);
    file.Create(out);
    file.Write("new\r\n");
    file.Finish();
    {
      ScopedFileFaults faults("syncfolder@1=EIO");
      EXPECT_THROW(file.Commit(true), EInOutError);
    }
    ASSERT_TRUE(file.IsRestorable());
    {
      ScopedFileFaults faults("rename@1=EIO");
      EXPECT_THROW(file.Restore(), EInOutError);
    }
    file.Restore();
    EXPECT_EQ(ReadFileBytes(out), "old\r\n");
  }
  // Kept by a HotSync killed before it restored or released: the next one's lock sweeps it.
  const pid_t child = ::fork();
  if (child == 0) {
    write(*new TKLVTextOutputFile, "newer\r\n");
    ::_exit(0);
  }
  ::waitpid(child, nullptr, 0);
  EXPECT_THAT(FilesIn(tmp.Path()), ::testing::SizeIs(3));
  TKLVTextOutputFile next;
  next.Lock(out);
  EXPECT_THAT(FilesIn(tmp.Path()), ElementsAre(".S01_data.txt.lock", "S01_data.txt"));
  EXPECT_EQ(ReadFileBytes(out), "newer\r\n");
}

// --- upload ----------------------------------------------------------------------------------

TEST_F(KLVPCSessionTextUpload, DataFileFillsFieldsByTabs) {
  UseCustomPath(temp_.Path());
  auto s = NewSession();
  EXPECT_FALSE(s->DataReadOpen());
  EXPECT_EQ(s->DataFileName, temp_ / "ToPDA/S01_data.txt");
  std::string longValue(40, 'L');
  std::string many;
  for (int i = 1; i <= 35; ++i) many += Format("%sv%d", i > 1 ? "\t" : "", i);
  qptest::WriteFile(s->DataFileName, "A1\tB1\r\n\r\nA3\t\tC3\r" + longValue + "\n" + many);
  ASSERT_TRUE(s->DataReadOpen());
  MakeUploadDataDb();
  EXPECT_TRUE(s->DataReadRecords());
  EXPECT_TRUE(s->DataReadClose(true));

  ASSERT_EQ(posted_.size(), 4u);
  auto expectValues = [&](size_t record, std::map<int, std::string> values) {
    for (int k = 1; k <= kSessionFieldCount; ++k)
      EXPECT_EQ(posted_[record][k - 1], values.count(k) ? values[k] : "")
          << "record " << record << " field " << k;
  };
  expectValues(0, {{1, "A1"}, {2, "B1"}});
  expectValues(1, {{1, "A3"}, {3, "C3"}});
  expectValues(2, {{1, std::string(30, 'L')}});
  std::map<int, std::string> thirty;
  for (int k = 1; k <= 30; ++k) thirty[k] = Format("v%d", k);
  expectValues(3, thirty);
  // Line numbers, low byte first; the empty line 2 keeps its number.
  EXPECT_THAT(StoredRecIds(), ElementsAre("01 00", "03 00", "04 00", "05 00"));
  EXPECT_THAT(log_.texts,
              ElementsAre("Session01(Orders): Uploaded 5 records from " + s->DataFileName));
  EXPECT_TRUE(fs::exists(s->DataFileName));  // no backup asked for
}

TEST_F(KLVPCSessionTextUpload, HintsFileGivesOneRecordPerField) {
  UseCustomPath(temp_.Path());
  auto s = NewSession();
  qptest::WriteFile(
      s->GetHintsFileName(),
      "3\tScan the lot number\n3\tScan the batch\n0\tnothing\n31\tnothing\nabc\tnothing\n"
      "no tab\n5\tcol\twith tab\n7\t" +
          std::string(300, 'h') + "\n");
  ASSERT_TRUE(s->HintReadOpen());
  MakeUploadDb({{"Field_ID", 4}, {"Hint", 251}});
  EXPECT_TRUE(s->HintReadRecords());
  ASSERT_EQ(posted_.size(), 30u);
  for (int k = 1; k <= 30; ++k) {
    std::string hint = k == 3 ? "Scan the batch" : k == 5 ? "col\twith tab" : "";
    if (k == 7) hint = std::string(250, 'h');
    EXPECT_THAT(posted_[k - 1], ElementsAre(std::to_string(k), hint)) << k;
  }
  EXPECT_EQ(StoredRecIds()[0], "01 00");
  EXPECT_EQ(StoredRecIds()[29], "1E 00");
  EXPECT_THAT(log_.texts,
              ElementsAre("Session01(Orders): Uploaded 8 records from " + s->HintsFileName));
}

TEST_F(KLVPCSessionTextUpload, ListFileEntriesAreDisplayAndStoredValue) {
  UseCustomPath(temp_.Path());
  auto s = NewSession();
  EXPECT_FALSE(s->FieldListReadOpen(7));
  std::string lines;
  for (int i = 1; i <= 300; ++i) lines += i == 2 ? "\r\n" : Format("E%d\tx\r\n", i);
  qptest::WriteFile(temp_ / "ToPDA/S01F07.txt", lines);
  ASSERT_TRUE(s->FieldListReadOpen(7));
  EXPECT_EQ(s->FieldListFileName, temp_ / "ToPDA/S01F07.txt");
  MakeUploadDb({{"DisplayValue", 31}, {"DBValue", 31}});
  EXPECT_TRUE(s->FieldListReadRecords(7));
  ASSERT_EQ(posted_.size(), 299u);
  EXPECT_THAT(posted_[0], ElementsAre("E1\tx", "E1\tx"));
  EXPECT_THAT(posted_[1], ElementsAre("E3\tx", "E3\tx"));
  EXPECT_EQ(StoredRecIds()[0], "01 00");
  EXPECT_EQ(StoredRecIds()[298], "2C 01");  // line 300
  EXPECT_THAT(log_.texts,
              ElementsAre("Session01(Orders): Uploaded 300 records from " + s->FieldListFileName));
}

TEST_F(KLVPCSessionTextUpload, BackupMovesEachFileAsideUnderATimeStampedName) {
  UseCustomPath(temp_.Path());
  pda_->Prefs.BackupUploadFiles = 1;
  auto s = NewSession();
  const std::string folder = temp_ / "ToPDA/";
  qptest::WriteFile(folder + "S01_data.txt", "a\n");
  qptest::WriteFile(folder + "S01_Hints.txt", "1\th\n");
  qptest::WriteFile(folder + "S01F02.txt", "e\n");
  ASSERT_TRUE(s->DataReadOpen());
  EXPECT_TRUE(s->DataReadClose(true));
  ASSERT_TRUE(s->HintReadOpen());
  EXPECT_TRUE(s->HintReadClose(true));
  ASSERT_TRUE(s->FieldListReadOpen(2));
  EXPECT_TRUE(s->FieldListReadClose(2, true));
  EXPECT_THAT(FilesIn(folder),
              ElementsAre("old_261207140509_S01F02.txt", "old_261207140509_S01_Hints.txt",
                          "old_261207140509_S01_data.txt"));
  // A second backup within the same second replaces the first.
  qptest::WriteFile(folder + "S01_data.txt", "b\n");
  ASSERT_TRUE(s->DataReadOpen());
  EXPECT_TRUE(s->DataReadClose(true));
  EXPECT_EQ(ReadFileBytes(folder + "old_261207140509_S01_data.txt"), "b\n");
  EXPECT_FALSE(fs::exists(folder + "S01_data.txt"));
  // A file that cannot be moved aside would be uploaded again at every HotSync: it is said.
  qptest::WriteFile(folder + "S01_data.txt", "c\n");
  log_.Clear();
  ASSERT_TRUE(s->DataReadOpen());
  {
    ScopedFileFaults faults("rename@1=EACCES");
    EXPECT_FALSE(s->DataReadClose(true));
  }
  EXPECT_THAT(log_.texts,
              ElementsAre("Session01(Orders): Failure moving input text file aside: " + folder +
                          "S01_data.txt\n  EInOutError: Cannot write file \"" + folder +
                          "old_261207140509_S01_data.txt\". Permission denied"));
  EXPECT_EQ(ReadFileBytes(folder + "S01_data.txt"), "c\n");
}

TEST_F(KLVPCSessionTextUpload, FailuresAreLoggedAndAnsweredFalseAndKeepTheFile) {
  UseCustomPath(temp_.Path());
  pda_->Prefs.BackupUploadFiles = 1;
  auto s = NewSession();
  // The file goes between the open and the read.
  qptest::WriteFile(s->GetDataFileName(), "a\n");
  ASSERT_TRUE(s->DataReadOpen());
  fs::remove(s->DataFileName);
  MakeUploadDataDb();
  EXPECT_FALSE(s->DataReadRecords());
  EXPECT_TRUE(sync_.written.empty());
  EXPECT_THAT(log_.texts,
              ElementsAre(StartsWith("Session01(Orders): Failure reading input text "
                                     "file: " +
                                     s->DataFileName + "\n  EInOutError: Cannot open file ")));
  EXPECT_TRUE(s->DataReadClose(false));  // nothing to move; not reported

  // A handheld record that cannot be written ends the read; earlier records stay, and so does
  // the file, for the next HotSync.
  log_.Clear();
  qptest::WriteFile(s->GetFieldListFileName(1), "one\ntwo\nthree\n");
  ASSERT_TRUE(s->FieldListReadOpen(1));
  MakeUploadDb({{"DisplayValue", 31}, {"DBValue", 31}});
  sync_.failWriteAt = 2;
  EXPECT_FALSE(s->FieldListReadRecords(1));
  EXPECT_EQ(sync_.written.size(), 1u);
  EXPECT_THAT(log_.texts, ElementsAre(StartsWith(
                              "Session01(Orders): Failure writing PDA database: upload\n"
                              "  Not every line of " +
                              s->FieldListFileName +
                              " was written; the file is kept for the next HotSync.\n"
                              "  EVornConduitError: SyncWriteRec failed")));
  EXPECT_TRUE(s->FieldListReadClose(1, false));
  EXPECT_TRUE(fs::exists(s->FieldListFileName));
  // Once it is on the handheld whole, it is moved aside.
  sync_.failWriteAt = 0;
  ASSERT_TRUE(s->FieldListReadOpen(1));
  EXPECT_TRUE(s->FieldListReadRecords(1));
  EXPECT_TRUE(s->FieldListReadClose(1, true));
  EXPECT_FALSE(fs::exists(s->FieldListFileName));

  // A handheld database without room: the lines with data that did not get there are counted.
  log_.Clear();
  sync_.written.clear();
  qptest::WriteFile(s->GetDataFileName(), "a\n\nb\r\nc\n\nd");
  ASSERT_TRUE(s->DataReadOpen());
  MakeUploadDataDb();
  sync_.failWriteAt = 2;
  sync_.failWriteCode = QP_SYNCERR_NO_MEMORY;
  EXPECT_FALSE(s->DataReadRecords());
  EXPECT_EQ(sync_.written.size(), 1u);
  EXPECT_THAT(log_.texts, ElementsAre(StartsWith(
                              "Session01(Orders): Failure writing PDA database: upload\n"
                              "  The PDA database is full: 3 lines of " +
                              s->DataFileName +
                              " were left out; the file is kept for the next HotSync.\n"
                              "  EVornConduitError: SyncWriteRec failed")));
  EXPECT_TRUE(s->DataReadClose(false));
  EXPECT_TRUE(fs::exists(s->DataFileName));
  EXPECT_FALSE(s->Failed());
}

}  // namespace
