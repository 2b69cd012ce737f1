// Reads random records through random layouts, and writes the values back.
// Input: a layout header, then the record bytes.
//   byte 0: bit 0 word alignment, bits 1..3 field count - 1
//   per field 5 bytes: type, size (16 bits, big-endian), size flags (bit 0 negates the size,
//   bit 1 adds 65,536), array size (low 3 bits + 1; 0xFF asks for 0), refusal mask

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/exception.h"
#include "conduit/framework/record_format.h"
#include "conduit/framework/vorn_conduit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool align = data[0] & 1;
  const int count = ((data[0] >> 1) & 7) + 1;
  size_t pos = 1;
  TVornPalmFields fields;
  std::vector<uint8_t> refusals;
  for (int i = 0; i < count && pos + 5 <= size; ++i, pos += 5) {
    TVornPalmField& f = fields.Add();
    f.SetDataType(static_cast<TVornPalmFieldType>(data[pos] % 11));
    int32_t fieldSize = (data[pos + 1] << 8) | data[pos + 2];
    if (data[pos + 3] & 2) fieldSize += 65536;
    if (data[pos + 3] & 1) fieldSize = -fieldSize;
    f.SetSize(fieldSize);
    f.SetArraySize(data[pos + 4] == 0xFF ? 0 : (data[pos + 4] & 7) + 1);
    refusals.push_back(data[pos + 4]);
  }
  auto test = [&](TVornPalmField& f, int32_t i) {
    return !((refusals[static_cast<size_t>(f.Index())] >> (3 + (i & 3))) & 1);
  };

  // The record in a heap block of exactly its size, so that any read past it is caught.
  const size_t recordSize = size - pos;
  std::vector<uint8_t> record(data + pos, data + size);
  const uint32_t limit = static_cast<uint32_t>(std::min<size_t>(recordSize, kMaxRecordSize));
  UnpackRecord(record.data(), limit, fields, align, test);
  UnpackRecord(record.data(), limit, fields, align, {});
  for (int i = 0; i < fields.Count(); ++i)
    for (int e = 0; e < fields.Items(i).ArraySize(); ++e) {
      const TVornPalmValue v = fields.Items(i).Values(e);
      if (v.kind() == TVornPalmValue::Kind::Text && v.ToText().size() > limit) std::abort();
      // A blob's bytes must all lie inside the record.
      unsigned sum = 0;
      for (uint8_t b : v.BlobBytes()) sum += b;
      if (v.BlobBytes().size() > limit || sum > 255u * limit) std::abort();
    }

  std::vector<uint8_t> out(kMaxRecordSize, 0);
  try {
    uint32_t written = PackRecord(out.data(), kMaxRecordSize, fields, align, test);
    if (written > kMaxRecordSize) std::abort();
    UnpackRecord(out.data(), written, fields, align, test);
  } catch (const EVornConduitError&) {
  } catch (const EConvertError&) {
  }
  return 0;
}
