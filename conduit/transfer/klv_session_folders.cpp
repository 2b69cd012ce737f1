#include "conduit/transfer/klv_session_folders.h"

#include <filesystem>
#include <utility>

#include "base/format.h"
#include "base/strings.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_services.h"
#include "platform/file_names.h"
#include "platform/file_system.h"

namespace fs = std::filesystem;

namespace {

// The longest file or folder name the file system takes.
constexpr size_t kMaxFileNameSize = 255;

// 64-bit FNV-1a: the same on every run and build, so a user keeps the same folder.
uint64_t NameHash(const std::string& Text) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (char c : Text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3ull;
  }
  return hash;
}

}  // namespace

TKLVSessionFolders::TKLVSessionFolders(int32_t Slot, bool UseCustomPath, std::string CustomPath)
    : PathMode(UseCustomPath ? TPathMode::Custom : TPathMode::LibraryData),
      Slot_(Slot),
      CustomPath_(std::move(CustomPath)) {
  SetupFolders();
}

std::string TKLVSessionFolders::GetBaseFolder() {
  std::string candidate;
  switch (PathMode) {
    case TPathMode::HotSyncUser:
      candidate = ConduitPathName();
      break;
    case TPathMode::LibraryData:
      candidate = AddTrailingBackslash(platform::FolderOf(GetModulePath())) + "Data";
      break;
    case TPathMode::Custom:
      candidate = CustomPath_;
      break;
  }
  // A relative custom folder would land wherever the HotSync Manager happens to run.
  bool created = (PathMode != TPathMode::Custom ||
                  (!candidate.empty() && candidate[0] == platform::kPathSeparator)) &&
                 SafeForceDirectories(candidate);
  if (!created) {
    if (PathMode == TPathMode::Custom) {
      LogMessage("Invalid HotSync data path: " + EscapeControls(candidate) + "." + "\n" +
                 " Resetting to Palm default location: " + ConduitPathName());
      PathMode = TPathMode::HotSyncUser;
      candidate = ConduitPathName();
      SafeForceDirectories(candidate);
    }
    std::error_code ec;
    if (candidate.empty() || !fs::is_directory(candidate, ec))
      LogMessage("Unable to create HotSync folder: " + EscapeControls(candidate) + "\n" +
                 "  Data will not be transferred.");
  }
  return AddTrailingBackslash(candidate);
}

bool TKLVSessionFolders::SetupFolders() {
  BaseFolder = GetBaseFolder();
  // A folder of its own for each HotSync user of the Data folder; the custom folder holds
  // the downloads itself.
  const std::string user =
      PathMode == TPathMode::LibraryData
          ? BaseFolder + MakeSafeFileName(ConduitUserName()) + platform::kPathSeparator
          : BaseFolder;
  ToPDAFolder = user + "ToPDA";
  FromPDAFolder = PathMode == TPathMode::Custom ? BaseFolder : user + "FromPDA";
  SafeForceDirectories(FromPDAFolder);
  SafeForceDirectories(ToPDAFolder);
  ToPDAFolder = AddTrailingBackslash(ToPDAFolder);
  FromPDAFolder = AddTrailingBackslash(FromPDAFolder);
  platform::CreateFolders(FromPDAFolder + "Signatures");
  return true;
}

std::string TKLVSessionFolders::GetDataFileName() const {
  return ToPDAFolder + Format("S%.2d_data.txt", Slot_ + 1);
}

std::string TKLVSessionFolders::GetHintsFileName() const {
  return ToPDAFolder + Format("S%.2d_Hints.txt", Slot_ + 1);
}

std::string TKLVSessionFolders::GetFieldListFileName(int FieldNo) const {
  return ToPDAFolder + Format("S%.2dF%.2d.txt", Slot_ + 1, FieldNo);
}

std::string TKLVSessionFolders::SignaturesFolder() const {
  return AddTrailingBackslash(FromPDAFolder + "Signatures");
}

std::string TKLVSessionFolders::UserTag() const {
  if (PathMode != TPathMode::Custom) return std::string();
  // A separator in the user name would put the file into another folder.
  std::string result = "_";
  for (char c : ConduitUserName()) {
    if (c == '/' || c == '\\')
      result += Format("%2X", static_cast<unsigned char>(c));
    else
      result += c;
  }
  return result;
}

bool TKLVSessionFolders::IsFileNameChar(unsigned char Ch) {
  return (Ch >= 'A' && Ch <= 'Z') || (Ch >= 'a' && Ch <= 'z') || (Ch >= '0' && Ch <= '9') ||
         Ch == ' ' || Ch == '#' || Ch == '-' || Ch == '.' || Ch == '_';
}

std::string TKLVSessionFolders::MakeSafeFileName(const std::string& Text) {
  auto escaped = [](char c) { return Format("%2X", static_cast<unsigned char>(c)); };
  std::string result;
  for (char c : Text)
    result += IsFileNameChar(static_cast<unsigned char>(c)) ? std::string(1, c) : escaped(c);
  // "." and ".." name the Data folder itself and the conduit's own folder, and so would the
  // empty name: the user's files must stay in a folder of their own.
  if (result.empty()) return "00";
  if (result.find_first_not_of('.') == std::string::npos) {
    std::string dots;
    for (char c : result) dots += escaped(c);
    result = dots;
  }
  if (result.size() > kMaxFileNameSize) {
    // Cut to what the file system takes; the hash of the whole keeps apart users whose names
    // differ only beyond the cut.
    const std::string tag = Format("-%016llX", static_cast<unsigned long long>(NameHash(result)));
    result = result.substr(0, kMaxFileNameSize - tag.size()) + tag;
  }
  return result;
}
