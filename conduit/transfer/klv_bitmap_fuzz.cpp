// Converts random handheld bitmap records and checks the bitmap file built from each one
// that is accepted. Input: the record bytes as they come from the bitmap database.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/exception.h"
#include "conduit/framework/sync_api.h"
#include "conduit/transfer/klv_bitmap.h"

namespace {

uint16_t BigEndianToHost(uint16_t value) {
  uint8_t b[2];
  std::memcpy(b, &value, 2);
  return static_cast<uint16_t>((b[0] << 8) | b[1]);
}

uint32_t DWordAt(const std::string& s, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[offset + size_t(i)]);
  return v;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SyncHHToHostWord = &BigEndianToHost;
  // A heap block of exactly the input's size, so that any read past it is caught.
  std::vector<uint8_t> record(data, data + size);
  TKLVBitmap bmp;
  try {
    bmp.LoadFromPalmBitmap(record);
  } catch (const Exception&) {
    Check(!bmp.HasImage());
    return 0;
  }
  const std::string& image = bmp.Image();
  Check(image.size() >= TKLVBitmap::kBmpHeaderSize);
  const uint32_t width = DWordAt(image, 18), height = DWordAt(image, 22);
  const uint32_t rowsSize = DWordAt(image, 34);
  Check(width > 0 && height > 0 && rowsSize % height == 0);
  const uint32_t padded = rowsSize / height;
  Check(padded % 4 == 0 && padded * 8 >= width);
  Check(DWordAt(image, 2) == image.size() && image.size() == 62 + size_t(rowsSize));

  std::string plain, wrapped;
  bmp.SaveToStream(&plain);
  bmp.SaveAsOLE = true;
  bmp.SaveToStream(&wrapped);
  Check(plain == image);
  Check(wrapped.size() == TKLVBitmap::kOleHeaderSize + image.size() + TKLVBitmap::kOleTrailerSize);
  Check(wrapped.compare(TKLVBitmap::kOleHeaderSize, image.size(), image) == 0);
  return 0;
}
