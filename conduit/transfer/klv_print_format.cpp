// The custom print format: one file beside the conduit library, sent to the handheld's
// print-format database as its only record.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "base/exception.h"
#include "base/format.h"
#include "conduit/framework/conduit_db.h"
#include "conduit/transfer/klv_conduit.h"
#include "conduit/transfer/klv_lib.h"
#include "platform/file_names.h"

namespace {

const char kFormatsDb[] = "QP28-QuillorPlus_Formats";
constexpr int32_t kRawDataSize = 4096;

struct TFormatFile {
  uint64_t Size = 0;
  // The start of the file, as much as the record holds.
  std::string Head;
};

// Only what the handheld receives is read: the file may be of any size.
TFormatFile ReadFormatFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in)
    throw EInOutError(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(errno)));
  TFormatFile file;
  file.Size = static_cast<uint64_t>(in.tellg());
  file.Head.resize(std::min<uint64_t>(file.Size, kRawDataSize - 1));
  in.seekg(0);
  if (!in.read(file.Head.data(), static_cast<std::streamsize>(file.Head.size())))
    throw EInOutError(Format("Cannot read file \"%s\"", path.c_str()));
  return file;
}

}  // namespace

bool TKLVConduit::TransferPrintFormat() {
  std::string folder =
      AddTrailingBackslash(platform::FolderOf(GetModulePath())) + "Data/PrinterData/";
  if (!SafeForceDirectories(folder)) {
    LogMessage("Error creating Printer Format Folder.");
    return false;
  }
  std::string file = folder + "QuillorP_Format.txt";
  if (!platform::FileExists(file)) return false;

  const TFormatFile content = ReadFormatFile(file);

  TVornConduitDb db;
  db.SetFileName(kFormatsDb);
  db.OpenMode = 0xE0;
  db.Fields.Clear();
  db.AddField("Rec_Id", pftSmallint, 2);
  db.AddField("PrinterId", pftSmallint, 2);
  db.AddField("FormatName", pftString, 21);
  db.AddField("DataLength", pftSmallint, 2);
  db.AddField("RawData", pftString, kRawDataSize);
  try {
    db.Open();
  } catch (const std::exception&) {
    LogMessage(std::string("Unable to open PDA Print Format Database!  Custom Format cannot be "
                           "transferred: ") +
               kFormatsDb);
    return false;
  }
  KeepAlive();
  db.PurgeAllRecords();
  db.ResetRecordIndex();
  db.Append();
  db.FieldByName("PrinterId").SetAsInteger(0);
  // The handheld keeps the low 16 bits of the size.
  db.FieldByName("DataLength").SetAsInteger(static_cast<int32_t>(content.Size & 0xFFFF));
  db.FieldByName("FormatName").SetAsString("Custom 1");
  db.FieldByName("RawData").SetAsString(content.Head);
  db.Post(true);
  db.Close();
  LogMessage("KLV custom print format transferred to PDA.");
  return true;
}
