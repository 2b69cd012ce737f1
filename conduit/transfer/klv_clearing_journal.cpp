#include "conduit/transfer/klv_clearing_journal.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <charconv>

#include "base/exception.h"
#include "base/format.h"
#include "base/text_file.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_services.h"
#include "conduit/transfer/klv_session_folders.h"
#include "platform/atomic_file.h"
#include "platform/file_names.h"
#include "platform/file_system.h"

namespace {

const char kHeader[] = "QP28 clearing journal 1";

bool ParseNumber(const std::string& Text, size_t& Pos, uint64_t& Value, int Base) {
  const char* first = Text.data() + Pos;
  const char* last = Text.data() + Text.size();
  auto [end, ec] = std::from_chars(first, last, Value, Base);
  if (ec != std::errc() || end == first) return false;
  Pos = static_cast<size_t>(end - Text.data());
  if (Pos < Text.size() && Text[Pos] == ' ') ++Pos;
  return true;
}

}  // namespace

uint64_t RecordHash(const uint8_t* Data, size_t Size) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < Size; ++i) {
    hash ^= Data[i];
    hash *= 0x100000001B3ull;
  }
  return hash;
}

std::string TKLVClearingJournal::ToText() const {
  std::string text = std::string(kHeader) + "\r\n";
  auto add = [&](char Kind, const TKLVJournalRecord& R) {
    text += Format("%c %u %016llX %d\r\n", Kind, R.RecordId, static_cast<unsigned long long>(R.Hash),
                   R.RecId);
  };
  for (const TKLVJournalRecord& r : Signatures) add('S', r);
  for (const TKLVJournalRecord& r : DataRecords) add('D', r);
  return text;
}

TKLVClearingJournal TKLVClearingJournal::FromText(const std::string& Text) {
  const std::vector<std::string> lines = SplitLines(Text);
  if (lines.empty() || lines[0] != kHeader) throw Exception("Not a clearing journal");
  TKLVClearingJournal journal;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty()) continue;
    TKLVJournalRecord record;
    uint64_t id = 0, hash = 0, recId = 0;
    size_t pos = 2;
    const bool ok = line.size() > 2 && (line[0] == 'S' || line[0] == 'D') && line[1] == ' ' &&
                    ParseNumber(line, pos, id, 10) && ParseNumber(line, pos, hash, 16) &&
                    ParseNumber(line, pos, recId, 10) && pos == line.size() && id <= UINT32_MAX &&
                    recId <= 0xFFFF;
    if (!ok) throw Exception(Format("Clearing journal line %d is damaged", static_cast<int>(i + 1)));
    record.RecordId = static_cast<uint32_t>(id);
    record.Hash = hash;
    record.RecId = static_cast<int32_t>(recId);
    (line[0] == 'S' ? journal.Signatures : journal.DataRecords).push_back(record);
  }
  return journal;
}

std::string ClearingJournalFileName(const std::string& BitmapDbName) {
  std::string folder = ConduitPathName();
  if (folder.empty()) {
    folder = AddTrailingBackslash(platform::FolderOf(GetModulePath())) + "Data" +
             platform::kPathSeparator + TKLVSessionFolders::MakeSafeFileName(ConduitUserName());
  }
  return AddTrailingBackslash(folder) + BitmapDbName + ".clearing";
}

void WriteClearingJournal(const std::string& FileName, const TKLVClearingJournal& Journal) {
  const std::string folder = platform::FolderOf(FileName);
  SafeForceDirectories(folder);
  // What a HotSync killed while writing it left.
  const std::string name = FileName.substr(folder.size());
  platform::RemoveStaleTemporaries(folder, [&](const std::string& Target) { return Target == name; });
  platform::WriteFileAtomically(FileName, Journal.ToText());
}

std::optional<TKLVClearingJournal> ReadClearingJournal(const std::string& FileName) {
  if (::access(FileName.c_str(), F_OK) != 0 && errno == ENOENT) return std::nullopt;
  return TKLVClearingJournal::FromText(ReadFileBytes(FileName));
}

void RemoveClearingJournal(const std::string& FileName) {
  if (platform::CurrentFileSystem().Unlink(FileName.c_str()) != 0) {
    if (errno == ENOENT) return;
    throw EInOutError("Cannot delete file \"" + FileName + "\". " + ::strerror(errno));
  }
}
