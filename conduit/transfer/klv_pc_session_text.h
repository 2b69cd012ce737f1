#pragma once
// The text-file PC session: downloads a handheld session into one output file (tab, comma,
// fixed width, HTML or XML) plus its signature bitmaps, and uploads the data, hint and
// lookup-list files of the session's ToPDA folder.

#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "conduit/transfer/klv_pc_session.h"
#include "platform/atomic_file.h"
#include "platform/file_lock.h"

class TKLVBitmap;
class TKLVPCTextFormatter;

// The output file while a download writes it. The text goes into a hidden temporary file
// beside the target (platform::AtomicFile), which starts as a copy of the target when
// appending; Commit renames it over the target. Until then the target keeps what it held, so
// a broken or failed download never loses or damages earlier data; a file never committed is
// discarded. Text is collected in a buffer and written a buffer at a time; once a write has
// failed, the file takes no more text and cannot be committed.
class TKLVTextOutputFile {
 public:
  TKLVTextOutputFile() = default;
  // Discards what was not committed; after Commit(true), the commit stands.
  ~TKLVTextOutputFile();
  TKLVTextOutputFile(const TKLVTextOutputFile&) = delete;
  TKLVTextOutputFile& operator=(const TKLVTextOutputFile&) = delete;

  // Takes FileName for this process alone, waiting while another process has it: called
  // before FileName is looked at, the lock lasts until Commit has renamed the file or Discard,
  // so several HotSyncs sharing a folder never append to the same old file and no rename drops
  // another's download. Removes what killed writers left of the file's temporaries (and of
  // the previous contents Commit(true) kept).
  void Lock(const std::string& FileName);
  // A new, empty file for FileName.
  void Create(const std::string& FileName);
  // The existing FileName, to be written on. When its last lines are the lines of Ending
  // (with line ends of any kind), its last RemoveLines lines are left out and the answer is
  // true; otherwise all of it is kept and the answer is false. Failures to read FileName
  // read "<file>: <error text>".
  bool Append(const std::string& FileName, const std::string& Ending, int RemoveLines);
  // Raises EInOutError when the file is not open or the text cannot be written.
  void Write(const std::string& Text);
  // Writes out what is buffered and closes the file, on the disk but not yet the target.
  // Raises EInOutError when it is not open or cannot be finished, and discards it then.
  void Finish();
  // Makes the finished file the target: renames it over the target, then syncs the folder.
  // Raises EInOutError when it is not finished or cannot be made the target; the target then
  // keeps its earlier content unless the rename was done and only the folder's sync failed.
  // With KeepPrevious, what the target held (or that there was none) stays restorable, under
  // a hidden name beside it that the stale sweep of Lock removes when a killed HotSync left it,
  // and the lock is kept, until Restore or Release.
  void Commit(bool KeepPrevious = false);
  // After a Commit(true) whose rename was done: puts the previous content back as the target,
  // or removes the target when there was none, and syncs the folder; then drops the lock.
  // Raises EInOutError "Cannot write file "<target>". <reason>" when it cannot (what was kept
  // stays kept).
  void Restore();
  // After Commit(true): drops what was kept and the lock. Answers 0, or the errno of a kept
  // copy that could not be removed (left to the stale sweep).
  int Release();
  // Drops the written text and the lock; the target stays as it was.
  void Discard();
  bool IsOpen() const { return File_.IsOpen(); }
  // Finished and not yet made the target.
  bool IsFinished() const { return File_.IsFinished(); }
  // The finished file's name until it is made the target.
  const std::string& TemporaryName() const { return File_.TemporaryName(); }
  // Committed with KeepPrevious, neither restored nor released yet.
  bool IsRestorable() const { return Kept_ != TKept::Nothing; }

  static constexpr size_t kBufferSize = platform::AtomicFile::kBufferSize;

 private:
  enum class TKept { Nothing, Previous, NoPrevious };
  std::string Target_;
  platform::AtomicFile File_;
  // What Commit(true) kept, and under which name when it is the previous content.
  TKept Kept_ = TKept::Nothing;
  std::string KeptName_;
  std::optional<platform::FileLock> Lock_;
};

class TKLVPCSessionText : public TKLVPCSession {
 public:
  // Sets up the folders (problems are only logged) and the formatter of OutputFormat.
  explicit TKLVPCSessionText(TKLVPDASession& PDASession);
  ~TKLVPCSessionText() override;

  void WriteOpen() override;
  void WriteRecord() override;
  // Finishes the output file without making it the target yet; when the handheld is to be
  // cleared, first saves every signature no row named or the handheld session set aside (but
  // those of fields not exported).
  void WriteClose() override;
  // Puts the download's bitmap files in place, then makes the finished file the target, the
  // previous content kept until WriteSettle; a failure undoes both.
  bool WritePublish() override;
  // Keeps the published download and logs it; or puts the previous file back (or drops the
  // unpublished one) and removes the download's bitmap files.
  void WriteSettle(bool Keep, const std::string& Why) override;
  bool DataReadOpen() override;
  bool DataReadRecords() override;
  bool DataReadClose() override;
  bool HintReadOpen() override;
  bool HintReadRecords() override;
  bool HintReadClose() override;
  bool FieldListReadOpen(int FieldNo) override;
  bool FieldListReadRecords(int FieldNo) override;
  bool FieldListReadClose(int FieldNo) override;

  // Creates the base folder of PathMode; falls back from a custom folder (2) to the HotSync
  // user folder (0). Returns it with a trailing separator.
  std::string GetBaseFolder();
  bool SetupFolders();
  std::string GetOutputFileName() const;
  std::string GetDataFileName() const;
  std::string GetHintsFileName() const;
  std::string GetFieldListFileName(int FieldNo) const;
  // Prefix + "yymmddhh" + "_" + counter from 001 + Suffix: the first name not in use. The
  // folder is listed once per prefix, hour and suffix; the counters go on from there.
  std::string MakeBitmapFileName(const std::string& Prefix, const std::string& Suffix);
  // Renames the file to "old_yymmddhhnnss_<name>" in its folder; never raises: a failure is
  // logged, naming the file, and answers false.
  bool BackupInputFile(const std::string& FileName);
  // Saves the signature bitmaps of the current record; raises on failure.
  void WriteRowBitmaps();
  // Saves the signatures that no downloaded row named, each under its own field number, and
  // those the handheld session set aside: a second one of a record and field as a bitmap, one
  // the conversion refused as the handheld's bytes in a file ending ".raw" for ".bmp".
  void SaveUnclaimedBitmaps();
  // Deletes the slot's bitmap files of earlier downloads; in a custom folder only those of
  // this HotSync user.
  void DeleteOldBitmaps();

  static bool IsFileNameChar(unsigned char Ch);
  // Every character IsFileNameChar refuses becomes its code as "%2X". A result of dots only
  // has its dots escaped too, the empty one becomes "00", and one longer than a file name may
  // be is cut and ends in a hash of the whole.
  static std::string MakeSafeFileName(const std::string& Text);

  // 0: HotSync user folder, 1: "Data" beside the conduit library, 2: the custom folder.
  uint8_t PathMode = 1;
  std::string BaseFolder;
  std::string ToPDAFolder;
  std::string FromPDAFolder;
  std::string OutputFileName;
  std::string DataFileName;
  std::string HintsFileName;
  std::string FieldListFileName;
  TKLVTextOutputFile OutputFile;
  std::unique_ptr<TKLVPCTextFormatter> Formatter;
  // The local time that file-name stamps are taken from; tests put their own in place.
  std::function<std::time_t()> Clock = [] { return std::time(nullptr); };

 private:
  using TPiece = void (TKLVPCTextFormatter::*)(std::string&);
  std::string PieceText(TPiece Piece);
  void WritePiece(TPiece Piece);
  // The HotSync user name as it goes into file names of the custom folder.
  std::string UserNameInFileName() const;
  // Removes the temporaries that killed HotSyncs left of this session's bitmap files.
  void RemoveStaleBitmapTemporaries();
  // What follows the counter in a bitmap file name.
  std::string BitmapSuffix() const;
  // The same for the handheld's bytes of a signature that could not be converted, which do
  // not claim to be a bitmap.
  std::string RawSignatureSuffix() const;
  // Logs that FileName could not be read.
  void ReadFailure(const std::string& FileName, const std::exception& E);
  // The start of the names of the field's files in the Signatures folder.
  std::string SignatureFilePrefix(int FieldNo) const;
  // Saves the bitmap in the Signatures folder under the name of its field's files.
  void SaveBitmap(TKLVBitmap& Bitmap);
  // Logs that a record from FileName could not be written to the handheld, and with LeftOut
  // that the handheld database is full and how many lines with data were left out.
  void WriteFailure(const std::string& FileName, const std::exception& E,
                    std::optional<size_t> LeftOut);
  // The records operation of an upload file: reads it line by line, handing Line each line
  // and its number from 1, then runs Finish; Line and Finish write to the handheld. Logs
  // "Uploaded ..." and answers true when all of it got there; otherwise logs why, answers
  // false and keeps the file for the next HotSync.
  using TUploadLine = std::function<void(size_t Number, const std::string& Line)>;
  bool UploadFile(const std::string& FileName, const TUploadLine& Line,
                  const std::function<void()>& Finish = nullptr);
  // The open operation of an upload file: sets its file-name field and answers whether the
  // file exists.
  bool OpenUploadFile(std::string& FileNameField, const std::string& FileName);
  // The close operation of an upload file: moves it aside when BackupUploadFiles asks for it
  // and the upload got all of it onto the handheld.
  bool CloseUploadFile(const std::string& FileName);
  // The exported signature fields, once WriteRowBitmaps has looked them up.
  std::optional<std::vector<int>> BitmapFields_;
  // Undoes what WritePublish did or would have done; failures are logged.
  void DropDownload();
  // An appended download's bitmap files are put in place just before its output file: the
  // publication record, a hidden file beside the output, names them and the file that is to
  // become the output, so that after a kill between the two the next download removes the
  // bitmap files no row names (a replacing download removes the slot's earlier ones anyway).
  std::string PublicationRecordName() const;
  void WritePublicationRecord();
  // 0, or the errno of a record that could not be removed.
  int RemovePublicationRecord();
  // Under the output's lock: removes the bitmap files of a download killed before its output
  // file was in place, and the record.
  void ResolvePublicationRecord();
  // The bitmap files this download saved, in place only once the download is published: a
  // killed HotSync leaves temporaries that the next one's stale sweep removes.
  std::optional<platform::StagedFiles> StagedBitmaps_;
  // The log lines of the signatures SaveUnclaimedBitmaps saved, for when the file is kept.
  std::vector<std::string> UnclaimedLines_;
  // Per bitmap name head (prefix and stamp) and suffix: the counters found in use when the
  // folder was listed, and the lowest one not yet looked at (Next only grows).
  struct TBitmapCounters {
    std::unordered_set<int> Used;
    int Next = 1;
  };
  std::map<std::pair<std::string, std::string>, TBitmapCounters> BitmapCounters_;
  // The last upload file read did not get onto the handheld whole.
  bool KeepUploadFile_ = false;
  // The text of the piece WritePiece writes; its storage serves every piece.
  std::string Piece_;
};
