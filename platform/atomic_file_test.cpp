#include "platform/atomic_file.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "base/exception.h"
#include "platform/fault_plan.h"
#include "platform/file_faults.h"
#include "testsupport/test_support.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Puts a fault-injecting table in force while it lives.
class ScopedFaults {
 public:
  explicit ScopedFaults(const std::string& spec)
      : faults_(spec), previous_(SetFileSystem(&faults_)) {}
  ~ScopedFaults() { SetFileSystem(previous_); }
  std::string Counts() { return faults_.CallCountsText(); }

 private:
  FaultInjectingFileSystem faults_;
  FileSystem* previous_;
};

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AtomicFile, ReplacesTheFileWholeOrNotAtAll) {
  const qptest::TempDir tmp;
  const fs::path dir = tmp.Path();
  std::string f = (dir / "t.txt").string();
  qptest::WriteFile(f, "old");
  WriteFileAtomically(f, "new");
  EXPECT_EQ(qptest::ReadFile(f), "new");
  size_t entries = 0;
  for (auto& e : fs::directory_iterator(dir)) (void)e, ++entries;
  EXPECT_EQ(entries, 1u);  // no temporary left behind
  EXPECT_THROW(WriteFileAtomically((dir / "no" / "such" / "f").string(), "x"), EInOutError);

  // Written piece by piece: pieces of every size, across the edges of the write buffer.
  std::string whole;
  WriteFileAtomically(f, [&](const ByteSink& sink) {
    for (size_t size : {0, 1, 70000, 3, 65536, 65535, 2, 200000}) {
      const std::string piece(size, static_cast<char>('a' + size % 26));
      sink(piece);
      whole += piece;
    }
  });
  EXPECT_EQ(qptest::ReadFile(f), whole);
  // A producer that fails leaves the file as it was.
  EXPECT_THROW(WriteFileAtomically(f,
                                   [](const ByteSink& sink) {
                                     sink(std::string(100000, 'x'));
                                     throw Exception("refused");
                                   }),
               Exception);
  EXPECT_EQ(qptest::ReadFile(f), whole);
  entries = 0;
  for (auto& e : fs::directory_iterator(dir)) (void)e, ++entries;
  EXPECT_EQ(entries, 1u);
  // So does a rename that fails: a folder in the file's place.
  fs::create_directory(dir / "folder");
  EXPECT_THROW(WriteFileAtomically((dir / "folder").string(), "x"), EInOutError);
  entries = 0;
  for (auto& e : fs::directory_iterator(dir)) (void)e, ++entries;
  EXPECT_EQ(entries, 2u);
}

// A temporary file of an atomic write is removed only once nobody holds it: a writer that
// is still at work keeps it, one that was killed does not.
TEST(AtomicFile, RemovesTheTemporariesOfKilledWritersOnly) {
  const qptest::TempDir tmp;
  std::string live = tmp / "out.txt.tmp-XXXXXX";
  FileDescriptor liveFd = CreateTemporaryFile(live);
  ASSERT_TRUE(liveFd.Valid());
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    std::string name = tmp / "out.txt.tmp-XXXXXX";
    if (CreateTemporaryFile(name).Valid()) (void)!::write(fds[1], "+", 1);
    ::pause();
    ::_exit(0);
  }
  ::close(fds[1]);
  char c = 0;
  ASSERT_EQ(::read(fds[0], &c, 1), 1);
  ::close(fds[0]);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  // Left by a process that ended without removing them, and names that are no temporaries of
  // out.txt.
  for (const char* name : {"out.txt.tmp-a1B2c3", "other.txt.tmp-a1B2c3", "out.txt.tmp-a1B2c",
                           "out.txt.tmp-a1B2c!", "out.txt"})
    qptest::WriteFile(tmp / name, "x");
  auto isOut = [](const std::string& target) { return target == "out.txt"; };

  EXPECT_EQ(RemoveStaleTemporaries(tmp.Path(), isOut), 2u);
  std::vector<std::string> left;
  for (auto& e : fs::directory_iterator(tmp.Path())) left.push_back(e.path().string());
  std::sort(left.begin(), left.end());
  std::vector<std::string> expected = {tmp / "other.txt.tmp-a1B2c3", tmp / "out.txt", live,
                                       tmp / "out.txt.tmp-a1B2c", tmp / "out.txt.tmp-a1B2c!"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
  liveFd.Reset();
  EXPECT_EQ(RemoveStaleTemporaries(tmp.Path(), isOut), 1u);
  EXPECT_FALSE(fs::exists(live));
  EXPECT_EQ(RemoveStaleTemporaries(tmp / "missing", isOut), 0u);
}


// Each step of an atomic write that fails is reported, and the target keeps what it held
// unless only the folder's sync failed after the rename.
TEST(AtomicFile, EveryFailingStepIsReported) {
  const qptest::TempDir tmp;
  const std::string f = tmp / "out.txt";
  struct Row {
    const char* fault;
    const char* message;  // what the error text starts with
    const char* after;    // the file's bytes afterwards
  };
  const std::string cannotWrite = "EInOutError: Cannot write file \"" + f + "\". ";
  for (const Row& row : {
           Row{"open@1=EACCES", "EInOutError: Cannot create file \"", "old"},
           Row{"write@1=ENOSPC", "", "old"},
           Row{"write@2=EIO", "", "old"},
           Row{"fsync@1=EIO", "", "old"},
           Row{"close@1=EIO", "", "old"},
           Row{"rename@1=EROFS", "", "old"},
           Row{"syncfolder@1=EIO", "", "new"},
       }) {
    SCOPED_TRACE(row.fault);
    qptest::WriteFile(f, "old");
    {
      ScopedFaults faults(row.fault);
      try {
        WriteFileAtomically(f, [](const ByteSink& sink) {
          sink(std::string(AtomicFile::kBufferSize, 'a'));
          sink(std::string(AtomicFile::kBufferSize / 2, 'b'));
          sink("new");
        });
        ADD_FAILURE() << "no exception";
      } catch (const EInOutError& e) {
        EXPECT_THAT(e.Text(), StartsWith(*row.message ? row.message : cannotWrite));
      }
    }
    const std::string bytes = qptest::ReadFile(f);
    EXPECT_EQ(std::string(row.after) == "old" ? bytes : bytes.substr(bytes.size() - 3), row.after);
    EXPECT_EQ(Names(tmp.Path()), std::vector<std::string>{"out.txt"}) << "a temporary is left";
  }
  // Every step went through the table.
  ScopedFaults counting("");
  WriteFileAtomically(f, "x");
  EXPECT_EQ(counting.Counts(), "close 1\r\nfsync 1\r\nopen 1\r\nrename 1\r\nsyncfolder 1\r\nwrite 1\r\n");
}

TEST(AtomicFile, FaultPlansNameFileOperationsAndErrnoCodesOrKill) {
  EXPECT_NO_THROW(FaultInjectingFileSystem("write@2+=ENOSPC, rename@1=5, open@3=KILL"));
  for (const char* bad : {"writes@1=EIO", "write@1=EWHAT", "write@0=EIO", "write@1=0",
                          "SyncOpenDB@1=EIO", "write@1"})
    EXPECT_THROW(FaultInjectingFileSystem{bad}, EFaultSpecError) << bad;
  EXPECT_THROW(FaultPlan::Parse("SyncOpenDB@1=EIO", {"SyncOpenDB"}), EFaultSpecError);

  // KILL ends the process at that very call, as SIGKILL does.
  const qptest::TempDir tmp;
  const pid_t child = ::fork();
  if (child == 0) {
    FaultInjectingFileSystem faults("write@2=KILL");
    SetFileSystem(&faults);
    try {
      WriteFileAtomically(tmp / "first", "1");
      WriteFileAtomically(tmp / "second", "2");
    } catch (...) {
    }
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(qptest::ReadFile(tmp / "first"), "1");
  EXPECT_FALSE(fs::exists(tmp / "second"));
}

TEST(StagedFiles, PutsManyFilesInPlaceWithOneSyncPerFolderOrRemovesThem) {
  const qptest::TempDir tmp;
  fs::create_directories(tmp / "a");
  fs::create_directories(tmp / "b");
  const std::vector<std::string> names = {tmp / "a/1.bmp", tmp / "a/2.bmp", tmp / "b/3.bmp"};
  ScopedFaults counting("");
  {
    StagedFiles staged;
    for (const std::string& name : names) staged.Stage(name, name.substr(name.size() - 5));
    EXPECT_EQ(staged.StagedCount(), 3u);
    // Each lasting and closed beside its final name, under a name a sweep of a killed
    // HotSync's temporaries takes.
    EXPECT_THAT(Names(tmp / "a"), ::testing::ElementsAre(StartsWith("1.bmp.tmp-"),
                                                         StartsWith("2.bmp.tmp-")));
    EXPECT_EQ(counting.Counts(),
              "close 3\r\nfsync 3\r\nopen 3\r\nwrite 3\r\n");
    staged.Publish();
    for (const std::string& name : names)
      EXPECT_EQ(qptest::ReadFile(name), name.substr(name.size() - 5));
    EXPECT_THAT(counting.Counts(), HasSubstr("rename 3\r\nsyncfolder 2\r\n"));
    EXPECT_EQ(staged.PublishedCount(), 3u);
    staged.Unpublish();
    EXPECT_TRUE(fs::is_empty(tmp / "a") && fs::is_empty(tmp / "b"));
  }
  {
    // Dropped, or dropped when it goes: no temporary stays.
    StagedFiles staged;
    staged.Stage(names[0], "x");
    staged.Drop();
    staged.Stage(names[1], "y");
  }
  EXPECT_TRUE(fs::is_empty(tmp / "a"));
  auto isBitmap = [](const std::string& target) { return target.ends_with(".bmp"); };
  {
    StagedFiles staged;
    staged.Stage(names[0], "x");
    EXPECT_EQ(RemoveStaleTemporaries(tmp / "a", isBitmap), 1u);
  }
}

TEST(StagedFiles, AFailureRaisesAndLeavesTheRestToDropOrUnpublish) {
  const qptest::TempDir tmp;
  const std::vector<std::string> names = {tmp / "1.bmp", tmp / "2.bmp", tmp / "3.bmp"};
  StagedFiles staged;
  {
    ScopedFaults faults("write@3=ENOSPC");
    staged.Stage(names[0], "1");
    staged.Stage(names[1], "2");
    EXPECT_THROW(staged.Stage(names[2], "3"), EInOutError);
  }
  EXPECT_EQ(staged.StagedCount(), 2u);
  {
    ScopedFaults faults("rename@2=EIO");
    try {
      staged.Publish();
      ADD_FAILURE() << "no exception";
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.Text(), "EInOutError: Cannot write file \"" + names[1] + "\". Input/output error");
    }
  }
  EXPECT_EQ(staged.PublishedCount(), 1u);
  {
    ScopedFaults faults("unlink@1=EACCES");
    EXPECT_THROW(staged.Unpublish(), EInOutError);
  }
  EXPECT_TRUE(fs::exists(names[0]));
  staged.Unpublish();
  staged.Drop();
  EXPECT_TRUE(fs::is_empty(tmp.Path()));
  {
    ScopedFaults faults("syncfolder@1=EIO");
    staged.Stage(names[2], "3");
    EXPECT_THROW(staged.Publish(), EInOutError);
  }
  EXPECT_EQ(qptest::ReadFile(names[2]), "3");
}

}  // namespace
}  // namespace platform
