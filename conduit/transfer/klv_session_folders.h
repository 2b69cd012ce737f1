#pragma once
// Where a text session's files lie: the base folder, the FromPDA and ToPDA folders below it,
// the upload files' names, and file names made safe from the HotSync user's name.

#include <cstdint>
#include <string>

// The byte the handheld stores says only whether the custom folder is used.
enum class TPathMode : uint8_t {
  HotSyncUser = 0,  // the HotSync user folder
  LibraryData = 1,  // "Data" beside the conduit library, one folder per HotSync user
  Custom = 2,       // the session's custom folder
};

class TKLVSessionFolders {
 public:
  // Picks and creates the folders of slot Slot (0..31); problems are only logged.
  TKLVSessionFolders(int32_t Slot, bool UseCustomPath, std::string CustomPath);

  // Creates the base folder of PathMode; falls back from a custom folder to the HotSync user
  // folder. Returns it with a trailing separator.
  std::string GetBaseFolder();
  bool SetupFolders();
  std::string GetDataFileName() const;
  std::string GetHintsFileName() const;
  std::string GetFieldListFileName(int FieldNo) const;
  // The Signatures folder, with a trailing separator.
  std::string SignaturesFolder() const;
  // What follows a file name's slot part in a custom folder, which users may share:
  // "_<user name>"; elsewhere nothing.
  std::string UserTag() const;

  static bool IsFileNameChar(unsigned char Ch);
  // Every character IsFileNameChar refuses becomes its code as "%2X". A result of dots only
  // has its dots escaped too, the empty one becomes "00", and one longer than a file name may
  // be is cut and ends in a hash of the whole.
  static std::string MakeSafeFileName(const std::string& Text);

  TPathMode PathMode;
  std::string BaseFolder;
  std::string ToPDAFolder;
  std::string FromPDAFolder;

 private:
  int32_t Slot_;
  std::string CustomPath_;
};
