// The custom print format: one file beside the conduit library, sent to the handheld's
// print-format database as its only record.
#include <algorithm>
#include <cstdint>

#include "base/text_file.h"
#include "conduit/framework/conduit_db.h"
#include "conduit/transfer/klv_conduit.h"
#include "conduit/transfer/klv_lib.h"
#include "platform/file_names.h"

namespace {

const char kFormatsDb[] = "QP28-QuillorPlus_Formats";
constexpr int32_t kRawDataSize = 4096;

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

  // Only what the handheld receives is read: the file may be of any size.
  const TReadOnlyFile source(file);
  const uint64_t size = source.Size();
  const std::string head =
      source.ReadAt(0, static_cast<size_t>(std::min<uint64_t>(size, kRawDataSize - 1)));

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
  db.FieldByName("DataLength").SetAsInteger(static_cast<int32_t>(size & 0xFFFF));
  db.FieldByName("FormatName").SetAsString("Custom 1");
  db.FieldByName("RawData").SetAsString(head);
  db.Post(true);
  db.Close();
  LogMessage("KLV custom print format transferred to PDA.");
  return true;
}
