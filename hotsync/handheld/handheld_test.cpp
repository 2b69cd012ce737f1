#include "hotsync/handheld/handheld.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "base/text_file.h"
#include "platform/atomic_file.h"
#include "testsupport/run_program.h"
#include "testsupport/test_support.h"

namespace fs = std::filesystem;

namespace {

using qptest::Snapshot;
using qptest::TempDir;

PalmDatabase RecordDb(const std::string& name, int records) {
  PalmDatabase db;
  db.name = name;
  db.type = FourCC("DATA");
  db.creator = FourCC("QP28");
  for (int i = 0; i < records; ++i)
    db.records.push_back(
        {0, static_cast<uint8_t>(i % 16), static_cast<uint32_t>(i + 1), "rec" + std::to_string(i)});
  return db;
}

TEST(Handheld, CreateOpenAndRefuseNonHandhelds) {
  TempDir tmp;
  const std::string dir = tmp / "hh";
  Handheld hh = Handheld::Create(dir, "Ann Smith");
  EXPECT_EQ(hh.UserName(), "Ann Smith");
  EXPECT_TRUE(hh.ListDatabases().empty());
  EXPECT_EQ(ReadFileBytes(tmp / "hh/user-name.txt"), "Ann Smith\r\n");
  EXPECT_EQ(Handheld(dir).UserName(), "Ann Smith");
  EXPECT_THROW(Handheld::Create(dir, "Bob"), EHandheldError);
  EXPECT_THROW(Handheld(tmp.Path()), EHandheldError);
  EXPECT_THROW(Handheld::Create(tmp / "other", "two\nlines"), EHandheldError);
}

TEST(Handheld, DatabasesAreFoundByTheirStoredName) {
  TempDir tmp;
  Handheld hh = Handheld::Create(tmp / "hh", "u");
  const std::string p1 = hh.SaveDatabase(RecordDb("QP28-Data_S01_30", 3));
  const std::string p2 = hh.SaveDatabase(RecordDb("a/b", 1));
  const std::string p3 = hh.SaveDatabase(RecordDb("a_b", 2));
  EXPECT_EQ(fs::path(p1).filename(), "QP28-Data_S01_30.pdb");
  EXPECT_EQ(fs::path(p2).filename(), "a_b.pdb");
  EXPECT_EQ(fs::path(p3).filename(), "a_b-2.pdb");
  // The file name does not matter: rename it and open the folder afresh.
  fs::rename(p1, tmp / "hh/renamed.pdb");
  Handheld again(tmp / "hh");
  EXPECT_EQ(again.FindDatabase("QP28-Data_S01_30"), tmp / "hh/renamed.pdb");
  EXPECT_EQ(again.LoadDatabase("QP28-Data_S01_30").records.size(), 3u);
  EXPECT_EQ(again.LoadDatabase("a/b").records.size(), 1u);
  EXPECT_EQ(again.FindDatabase("qp28-data_s01_30"), "");
  EXPECT_THROW(again.LoadDatabase("missing"), EHandheldError);
  // Saving again replaces the same file.
  EXPECT_EQ(again.SaveDatabase(RecordDb("QP28-Data_S01_30", 5)), tmp / "hh/renamed.pdb");
  EXPECT_EQ(again.LoadDatabase("QP28-Data_S01_30").records.size(), 5u);
  EXPECT_EQ(again.ListDatabases().size(), 3u);
}

TEST(Handheld, InstallFileValidatesAndCopiesBytes) {
  TempDir tmp;
  Handheld hh = Handheld::Create(tmp / "hh", "u");
  const std::string bytes = SerializePalmDatabase(RecordDb("Mine", 2));
  platform::WriteFileAtomically(tmp / "in.pdb", bytes);
  const std::string path = hh.InstallFile(tmp / "in.pdb");
  EXPECT_EQ(ReadFileBytes(path), bytes);

  platform::WriteFileAtomically(tmp / "bad.pdb", bytes.substr(0, 90));
  const auto before = Snapshot(tmp / "hh");
  try {
    hh.InstallFile(tmp / "bad.pdb");
    FAIL();
  } catch (const EPalmFileError& e) {
    EXPECT_NE(e.Message().find("bad.pdb"), std::string::npos);
  }
  EXPECT_EQ(Snapshot(tmp / "hh"), before);
}

TEST(Handheld, MalformedFilesAreReportedAndLeftAlone) {
  TempDir tmp;
  Handheld hh = Handheld::Create(tmp / "hh", "u");
  hh.SaveDatabase(RecordDb("Good", 1));
  platform::WriteFileAtomically(tmp / "hh/broken.pdb", "short");
  Handheld again(tmp / "hh");
  const auto list = again.ListDatabases();
  ASSERT_EQ(list.size(), 2u);
  // Sorted by file name: "Good.pdb" before "broken.pdb".
  EXPECT_EQ(list[0].name, "Good");
  EXPECT_EQ(list[1].path, tmp / "hh/broken.pdb");
  EXPECT_NE(list[1].error.find("truncated header"), std::string::npos);
  EXPECT_EQ(again.LoadDatabase("Good").records.size(), 1u);
  EXPECT_EQ(ReadFileBytes(tmp / "hh/broken.pdb"), "short");
}

TEST(Handheld, PreferencesLiveInThePreferenceDatabases) {
  TempDir tmp;
  Handheld hh = Handheld::Create(tmp / "hh", "u");
  EXPECT_FALSE(hh.ReadPreference(FourCC("QP28"), 0, true));
  hh.WritePreference(FourCC("QP28"), 0, {3, "saved"}, true);
  hh.WritePreference(FourCC("QP28"), 0, {1, "unsaved"}, false);
  hh.WritePreference(FourCC("QP28"), 1, {1, "other id"}, true);
  hh.WritePreference(FourCC("QP28"), 0, {4, "saved again"}, true);

  Handheld again(tmp / "hh");
  auto pref = again.ReadPreference(FourCC("QP28"), 0, true);
  ASSERT_TRUE(pref);
  EXPECT_EQ(pref->version, 4);
  EXPECT_EQ(pref->data, "saved again");
  EXPECT_EQ(again.ReadPreference(FourCC("QP28"), 0, false)->data, "unsaved");
  EXPECT_FALSE(again.ReadPreference(FourCC("XXXX"), 0, true));

  const PalmDatabase saved = again.LoadDatabase("Saved Preferences");
  EXPECT_TRUE(saved.IsResourceDb());
  EXPECT_EQ(FourCCText(saved.type), "sprf");
  EXPECT_EQ(FourCCText(saved.creator), "psys");
  ASSERT_EQ(saved.resources.size(), 2u);
  EXPECT_EQ(saved.resources[0].type, FourCC("QP28"));
  EXPECT_EQ(saved.resources[0].id, 0);
  EXPECT_EQ(saved.resources[0].data, std::string("\0\x04saved again", 13));
  EXPECT_EQ(FourCCText(again.LoadDatabase("Unsaved Preferences").type), "pref");
}

// The handheld program, run from the build's output folder: its exit status, and its standard
// output with standard error (or without, when that goes to `err`).
qptest::ProgramRun RunHandheld(std::vector<std::string> args, std::optional<std::string> err = {}) {
  args.insert(args.begin(), QP_OUT_DIR "/handheld");
  qptest::RunOptions options;
  options.stderrFile = err;
  return qptest::RunProgram(args, options);
}

TEST(HandheldProgram, CommandsAndErrors) {
  TempDir tmp;
  const std::string dir = tmp / "hh";
  EXPECT_EQ(RunHandheld({"new", dir, "--user", "Ann"}).status, 0);
  PalmDatabase demo = RecordDb("Demo DB", 2);
  demo.creationDate = 2082844800u + 86400 + 3661;  // 1904 to 1970, then a day, an hour and more
  demo.modificationDate = 0xFFFFFFFFu;
  platform::WriteFileAtomically(tmp / "db.pdb", SerializePalmDatabase(demo));
  EXPECT_EQ(RunHandheld({"put", dir, tmp / "db.pdb"}).status, 0);
  const qptest::ProgramRun ls = RunHandheld({"ls", dir});
  EXPECT_EQ(ls.status, 0);
  EXPECT_NE(ls.text.find("Demo DB"), std::string::npos) << ls.text;
  EXPECT_NE(ls.text.find("DATA"), std::string::npos) << ls.text;
  EXPECT_NE(ls.text.find("QP28"), std::string::npos) << ls.text;
  const qptest::ProgramRun dump = RunHandheld({"dump", dir, "Demo DB"});
  EXPECT_EQ(dump.status, 0);
  EXPECT_NE(dump.text.find("1  id 2  attributes 0x00  category 1  size 4"), std::string::npos)
      << dump.text;
  EXPECT_NE(dump.text.find("72 65 63 31"), std::string::npos) << dump.text;
  EXPECT_NE(dump.text.find("created: 2082934861 (1970-01-02 01:01:01 UTC)  modified: 4294967295 "
                           "(2040-02-06 06:28:15 UTC)  backed up: 0 (never)  modification number: "),
            std::string::npos)
      << dump.text;

  // Wrong arguments: one line naming the fault, a hint, status 2; help: the usage on stdout.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"ls"},
           {"frobnicate", dir},
           {"--bogus"},
           {"ls", dir, "x"},
           {"new", tmp / "hh2"},
           {"new", tmp / "hh2", "--user"}}) {
    const qptest::ProgramRun run = RunHandheld(args);
    EXPECT_EQ(run.status, 2) << run.text;
    const auto lines = SplitLines(run.text);
    ASSERT_EQ(lines.size(), 2u) << run.text;
    EXPECT_EQ(lines[0].rfind("handheld: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "Try 'handheld --help'.");
  }
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"new", tmp / "hh2", "--user", "Bo", "--help"}}) {
    const qptest::ProgramRun run = RunHandheld(args, "/dev/null");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.text.rfind("usage: handheld new DIR", 0), 0u) << run.text;
  }
  EXPECT_FALSE(fs::exists(tmp / "hh2"));
}

}  // namespace
