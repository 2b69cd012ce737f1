#include "conduit/transfer/klv_signature_folder.h"

#include <charconv>
#include <filesystem>
#include <vector>

#include "base/date_time.h"
#include "base/format.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_session_folders.h"
#include "platform/atomic_file.h"
#include "platform/file_names.h"
#include "platform/file_system.h"

namespace fs = std::filesystem;

namespace {

bool EntryExists(const std::string& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

size_t SkipDigits(const std::string& Text, size_t At) {
  while (At < Text.size() && Text[At] >= '0' && Text[At] <= '9') ++At;
  return At;
}

// Whether Name is Prefix + field "nn" + "_" + stamp "yymmddhh" + "_" + counter + Suffix, as
// MakeFileName forms it. The counter is all digits and Suffix starts with none, so the
// name splits in one way only.
bool IsBitmapName(const std::string& Name, const std::string& Prefix, const std::string& Suffix) {
  if (Name.compare(0, Prefix.size(), Prefix) != 0) return false;
  size_t at = Prefix.size();
  for (size_t digits : {2, 8}) {
    if (SkipDigits(Name, at) != at + digits || Name.compare(at + digits, 1, "_") != 0) return false;
    at += digits + 1;
  }
  const size_t counterEnd = SkipDigits(Name, at);
  return counterEnd >= at + 3 && Name.compare(counterEnd, std::string::npos, Suffix) == 0;
}

// The counters of the names Head + counter + Suffix in Head's folder, each counter written as
// MakeFileName writes it ("%.3d"), whatever kind of entry bears the name.
std::unordered_set<int> CountersInUse(const std::string& Head, const std::string& Suffix) {
  std::unordered_set<int> used;
  const std::string folder = platform::FolderOf(Head);
  const std::string start = Head.substr(folder.size());
  std::error_code ec;
  fs::directory_iterator it(folder.empty() ? fs::path(".") : fs::path(folder), ec);
  for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= start.size() + Suffix.size() || name.compare(0, start.size(), start) != 0)
      continue;
    const size_t counterEnd = name.size() - Suffix.size();
    if (name.compare(counterEnd, std::string::npos, Suffix) != 0) continue;
    const std::string counter = name.substr(start.size(), counterEnd - start.size());
    int n = 0;
    auto [last, error] = std::from_chars(counter.data(), counter.data() + counter.size(), n);
    if (error == std::errc() && last == counter.data() + counter.size() && n > 0 &&
        Format("%.3d", n) == counter)
      used.insert(n);
  }
  return used;
}

}  // namespace

TKLVSignatureFolder::TKLVSignatureFolder(const TKLVSessionFolders& Folders, int32_t Slot,
                                         const TClock& Clock)
    : Folders_(Folders), Slot_(Slot), Clock_(Clock) {}

std::string TKLVSignatureFolder::Suffix(bool Raw) const {
  return Folders_.UserTag() + (Raw ? ".raw" : ".bmp");
}

std::string TKLVSignatureFolder::MakeFileName(const std::string& Prefix,
                                              const std::string& Suffix) {
  const std::string head = Prefix + StampYYMMDDHH(Clock_()) + "_";
  auto [it, added] = Counters_.try_emplace({head, Suffix});
  TCounters& counters = it->second;
  if (added) counters.Used = CountersInUse(head, Suffix);
  for (;; ++counters.Next) {
    if (counters.Used.count(counters.Next) != 0) continue;
    std::string name = head + Format("%.3d", counters.Next) + Suffix;
    // A name taken since the listing, by another HotSync into the same folder, stays taken.
    if (EntryExists(name)) continue;
    ++counters.Next;
    return name;
  }
}

std::string TKLVSignatureFolder::NewFileName(int FieldNo, bool Raw) {
  return MakeFileName(Folders_.SignaturesFolder() + Format("S%.2dF%.2d_", Slot_ + 1, FieldNo),
                      Suffix(Raw));
}

bool TKLVSignatureFolder::IsOwnFileName(const std::string& Name) const {
  const std::string prefix = Format("S%.2dF", Slot_ + 1);
  return IsBitmapName(Name, prefix, Suffix(false)) || IsBitmapName(Name, prefix, Suffix(true));
}

void TKLVSignatureFolder::DeleteOld() {
  const std::string mask = Folders_.SignaturesFolder() + Format("S%.2d*.bmp", Slot_ + 1);
  if (Folders_.PathMode != TPathMode::Custom) {
    DeleteFiles(mask);
    return;
  }
  // A custom folder may be shared by several HotSync users, whose output files still name
  // their own bitmaps: only the files this user's downloads named go.
  std::vector<std::string> files;
  ListFiles(mask, &files);
  const std::string prefix = Format("S%.2dF", Slot_ + 1);
  const std::string suffix = Suffix(false);
  for (const std::string& file : files) {
    const std::string name = file.substr(platform::FolderOf(file).size());
    if (!IsBitmapName(name, prefix, suffix)) continue;
    platform::CurrentFileSystem().Unlink(file.c_str());
  }
}

void TKLVSignatureFolder::RemoveStaleTemporaries() {
  platform::RemoveStaleTemporaries(
      Folders_.FromPDAFolder + "Signatures",
      [&](const std::string& Target) { return IsOwnFileName(Target); });
}
