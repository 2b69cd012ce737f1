#pragma once
// The text-file PC session: downloads a handheld session into one output file (tab, comma,
// fixed width, HTML or XML) plus its signature bitmaps, and uploads the data, hint and
// lookup-list files of the session's ToPDA folder.

#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "conduit/transfer/klv_pc_session.h"
#include "conduit/transfer/klv_session_folders.h"
#include "conduit/transfer/klv_signature_folder.h"
#include "conduit/transfer/klv_text_output_file.h"
#include "platform/atomic_file.h"

class TKLVBitmap;
class TKLVPCTextFormatter;

// Its folders and file names are those of TKLVSessionFolders; the upload readers are in
// klv_pc_session_text_upload.cpp.
class TKLVPCSessionText : public TKLVPCSession, public TKLVSessionFolders {
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
  bool DataReadClose(bool Whole) override;
  bool HintReadOpen() override;
  bool HintReadRecords() override;
  bool HintReadClose(bool Whole) override;
  bool FieldListReadOpen(int FieldNo) override;
  bool FieldListReadRecords(int FieldNo) override;
  bool FieldListReadClose(int FieldNo, bool Whole) override;

  std::string GetOutputFileName() const;
  // Renames the file to "old_yymmddhhnnss_<name>" in its folder; never raises: a failure is
  // logged, naming the file, and answers false.
  bool BackupInputFile(const std::string& FileName);
  // Saves the signature bitmaps of the current record; raises on failure.
  void WriteRowBitmaps();
  // Saves the signatures that no downloaded row named, each under its own field number, and
  // those the handheld session set aside: a second one of a record and field as a bitmap, one
  // the conversion refused as the handheld's bytes in a file ending ".raw" for ".bmp".
  void SaveUnclaimedBitmaps();

  std::string OutputFileName;
  std::string DataFileName;
  std::string HintsFileName;
  std::string FieldListFileName;
  TKLVTextOutputFile OutputFile;
  std::unique_ptr<TKLVPCTextFormatter> Formatter;
  // The local time that file-name stamps are taken from; tests put their own in place.
  std::function<std::time_t()> Clock = [] { return std::time(nullptr); };
  TKLVSignatureFolder Signatures;

 private:
  using TPiece = void (TKLVPCTextFormatter::*)(std::string&);
  std::string PieceText(TPiece Piece);
  void WritePiece(TPiece Piece);
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
  bool CloseUploadFile(const std::string& FileName, bool Whole);
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
  // The text of the piece WritePiece writes; its storage serves every piece.
  std::string Piece_;
};
