#pragma once
// A slot's files in the Signatures folder: "S<slot>F<field>_<yymmddhh>_<counter>" with the
// folder's user tag and ".bmp" for a bitmap, ".raw" for the handheld's bytes of a signature
// that could not be converted (which the old-bitmap mask "S<slot>*.bmp" leaves alone).

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>

class TKLVSessionFolders;

class TKLVSignatureFolder {
 public:
  using TClock = std::function<std::time_t()>;
  // Both are read at each use and must outlive the folder.
  TKLVSignatureFolder(const TKLVSessionFolders& Folders, int32_t Slot, const TClock& Clock);

  // Prefix + "yymmddhh" + "_" + counter from 001 + Suffix: the first name not in use. The
  // folder is listed once per prefix, hour and suffix; the counters go on from there.
  std::string MakeFileName(const std::string& Prefix, const std::string& Suffix);
  // A new name for a signature of field FieldNo, a bitmap or its unconverted bytes.
  std::string NewFileName(int FieldNo, bool Raw);
  // Whether Name (without folder) is one this slot and user's files could bear.
  bool IsOwnFileName(const std::string& Name) const;
  // Deletes the slot's bitmap files of earlier downloads; in a custom folder only those of
  // this HotSync user.
  void DeleteOld();
  // Removes the temporaries that killed HotSyncs left of the slot's files.
  void RemoveStaleTemporaries();

 private:
  std::string Suffix(bool Raw) const;
  const TKLVSessionFolders& Folders_;
  const int32_t Slot_;
  const TClock& Clock_;
  // Per name head (prefix and stamp) and suffix: the counters found in use when the folder
  // was listed, and the lowest one not yet looked at (Next only grows).
  struct TCounters {
    std::unordered_set<int> Used;
    int Next = 1;
  };
  std::map<std::pair<std::string, std::string>, TCounters> Counters_;
};
