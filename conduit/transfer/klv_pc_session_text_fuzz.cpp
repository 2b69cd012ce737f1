// Reads random upload files (data, hints and lookup list) into handheld records and checks
// what would be stored. Input: the bytes of one upload file, read as all three kinds.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/format.h"
#include "base/text_file.h"
#include "conduit/framework/conduit_db.h"
#include "conduit/transfer/klv_pc_session_text.h"
#include "conduit/transfer/klv_pda_session.h"
#include "conduit/transfer/testdata/test_support.h"
#include "platform/atomic_file.h"
#include "testsupport/test_support.h"

namespace {

std::vector<std::vector<std::string>> gPosted;

void Check(bool ok) {
  if (!ok) std::abort();
}

std::unique_ptr<TVornConduitDb> UploadDb(const std::vector<std::pair<std::string, int>>& fields) {
  auto db = std::make_unique<TVornConduitDb>();
  db->SetFileName("fuzz");
  db->AddField("Rec_ID", pftSmallint, 2);
  for (const auto& [name, size] : fields) db->AddField(name, pftString, size);
  db->BeforePost = [](TVornConduitDb& d) {
    std::vector<std::string> values;
    for (int i = 1; i < d.Fields.Count(); ++i) values.push_back(d.Fields.Items(i).AsString());
    gPosted.push_back(values);
  };
  db->Open();
  return db;
}

void CheckValues(size_t width) {
  for (const auto& record : gPosted)
    for (const auto& v : record) Check(v.size() <= width && v.find('\0') == std::string::npos);
}

// One folder for the whole run, removed at exit; each input overwrites the three files.
const std::string& Folder() {
  static const qptest::TempDir folder;
  return folder.Path();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const trtest::FakeSyncManager sync;

  TKLVPDASession pda(0);
  pda.Prefs.FieldCount = kSessionFieldCount;
  pda.Prefs.UseCustomPath = 1;
  std::memcpy(pda.Prefs.CustomPath, Folder().data(), Folder().size());
  TKLVPCSessionText session(pda);
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const size_t lines = SplitLines(bytes).size();
  platform::WriteFileAtomically(session.GetDataFileName(), bytes);
  platform::WriteFileAtomically(session.GetHintsFileName(), bytes);
  platform::WriteFileAtomically(session.GetFieldListFileName(1), bytes);

  std::vector<std::pair<std::string, int>> dataFields;
  for (int n = 1; n <= kSessionFieldCount; ++n) dataFields.emplace_back(Format("Field%d", n), 31);

  gPosted.clear();
  Check(session.DataReadOpen());
  pda.CurrentDb = UploadDb(dataFields);
  Check(session.DataReadRecords());
  Check(gPosted.size() <= lines);
  CheckValues(30);

  gPosted.clear();
  Check(session.HintReadOpen());
  pda.CurrentDb = UploadDb({{"Field_ID", 4}, {"Hint", 251}});
  Check(session.HintReadRecords());
  Check(gPosted.size() == static_cast<size_t>(kSessionFieldCount));
  CheckValues(250);

  gPosted.clear();
  Check(session.FieldListReadOpen(1));
  pda.CurrentDb = UploadDb({{"DisplayValue", 31}, {"DBValue", 31}});
  Check(session.FieldListReadRecords(1));
  Check(gPosted.size() <= lines);
  for (const auto& record : gPosted) Check(record.size() == 2 && record[0] == record[1]);
  CheckValues(30);
  return 0;
}
