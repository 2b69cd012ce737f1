#include "conduit/transfer/klv_bitmap.h"

#include <cstring>

#include "base/exception.h"
#include "base/format.h"
#include "base/text_file.h"
#include "conduit/framework/sync_api.h"
#include "platform/atomic_file.h"

namespace {

void PutWord(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

void PutDWord(std::string& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

// A header word of the handheld bitmap: the two bytes as the host holds them in memory,
// turned into host order by the sync manager.
uint32_t HHWord(std::span<const uint8_t> data, size_t offset) {
  uint16_t raw;
  std::memcpy(&raw, data.data() + offset, sizeof raw);
  return SyncHHToHostWord(raw);
}

constexpr uint32_t kPixelsPerMetre = 2835;
constexpr uint32_t kStreamVersion = 0x00000501;
// The zero bytes that open the trailer count as native data, as the header declares it:
// 1,088 for the handheld's 160 x 50 signature of 1,062 bytes.
constexpr uint32_t kOleNativePadding = 26;

std::string OleHeader(size_t ImageSize) {
  std::string h;
  PutWord(h, 0x1C15);
  PutWord(h, 47);
  PutDWord(h, 2);
  PutWord(h, 13);
  PutWord(h, 14);
  PutWord(h, 20);
  PutWord(h, 33);
  PutDWord(h, 0xFFFFFFFF);
  h.append("Bitmap Image", 13);  // with its NUL
  h.append("Paint.Picture", 14);
  PutDWord(h, kStreamVersion);
  PutDWord(h, 2);
  PutDWord(h, 7);
  h.append("PBrush", 7);
  PutDWord(h, 0);
  PutDWord(h, 0);
  PutDWord(h, static_cast<uint32_t>(ImageSize + kOleNativePadding));
  return h;
}

std::string OleTrailer() {
  std::string t(kOleNativePadding, '\0');
  PutDWord(t, kStreamVersion);
  PutDWord(t, 0);
  t.append("\x15\xAD\x05\xFE", 4);
  return t;
}

}  // namespace

void TKLVBitmap::LoadFromPalmBitmap(std::span<const uint8_t> data) {
  Image_.clear();
  const char* const where = "TKLVBitmap.LoadFromPalmBitmap";
  if (data.size() < kPalmHeaderSize)
    throw Exception(Format("%s: handheld bitmap too short (%u bytes, header needs %u)", where,
                           static_cast<unsigned>(data.size()),
                           static_cast<unsigned>(kPalmHeaderSize)));
  const uint32_t width = HHWord(data, 0);
  const uint32_t height = HHWord(data, 2);
  const uint32_t rowBytes = HHWord(data, 4);
  if (width == 0 || height == 0)
    throw Exception(
        Format("%s: empty handheld bitmap (width %u, height %u)", where, width, height));
  // Rows shorter than the width would make a bitmap file that readers overrun.
  if (rowBytes < (width + 7) / 8)
    throw Exception(Format("%s: row length %u too short for width %u", where, rowBytes, width));
  const uint64_t pixelBytes = static_cast<uint64_t>(rowBytes) * height;
  if (pixelBytes > data.size() - kPalmHeaderSize)
    throw Exception(Format("%s: handheld bitmap claims %u x %u row bytes but holds only %u", where,
                           rowBytes, height, static_cast<unsigned>(data.size() - kPalmHeaderSize)));

  const uint32_t padded = (rowBytes + 3) & ~3u;
  const uint32_t rowsSize = padded * height;
  std::string image;
  image.reserve(kBmpHeaderSize + rowsSize);
  image.append("BM", 2);
  PutDWord(image, static_cast<uint32_t>(kBmpHeaderSize) + rowsSize);
  PutWord(image, 0);
  PutWord(image, 0);
  PutDWord(image, static_cast<uint32_t>(kBmpHeaderSize));
  PutDWord(image, 40);
  PutDWord(image, width);
  PutDWord(image, height);  // positive: rows bottom-up
  PutWord(image, 1);
  PutWord(image, 1);
  PutDWord(image, 0);
  PutDWord(image, rowsSize);
  PutDWord(image, kPixelsPerMetre);
  PutDWord(image, kPixelsPerMetre);
  PutDWord(image, 2);
  PutDWord(image, 0);
  image.append("\xFF\xFF\xFF\x00", 4);  // 0: white
  image.append("\x00\x00\x00\x00", 4);  // 1: black, as on the handheld
  const std::string pad(padded - rowBytes, '\0');
  for (uint32_t r = height; r-- > 0;) {
    const uint8_t* row = data.data() + kPalmHeaderSize + static_cast<size_t>(r) * rowBytes;
    image.append(reinterpret_cast<const char*>(row), rowBytes);
    image.append(pad);
  }
  Image_ = std::move(image);
}

void TKLVBitmap::SaveToFile(const std::string& Name) {
  FileName.clear();
  if (!HasImage()) throw Exception("TKLVBitmap.SaveToFile: no bitmap assigned");
  // Once the handheld is cleared the file is the signature's only copy.
  platform::WriteFileAtomically(Name, Image_);
  FileName = Name;
}

void TKLVBitmap::SaveToFile(const std::string& Name, platform::StagedFiles& Files) {
  FileName.clear();
  if (!HasImage()) throw Exception("TKLVBitmap.SaveToFile: no bitmap assigned");
  Files.Stage(Name, Image_);
  FileName = Name;
}

void TKLVBitmap::SaveToStream(std::string* Stream) const {
  if (!HasImage()) throw Exception("TKLVBitmap.SaveToStream: no bitmap assigned");
  if (Stream == nullptr) throw Exception("TKLVBitmap.SaveToStream: no stream given");
  if (SaveAsOLE) {
    Stream->append(OleHeader(Image_.size()));
    Stream->append(Image_);
    Stream->append(OleTrailer());
  } else {
    Stream->append(Image_);
  }
}

void TKLVBitmap::SaveToStream(std::ostream* Stream) const {
  if (!HasImage()) throw Exception("TKLVBitmap.SaveToStream: no bitmap assigned");
  if (Stream == nullptr) throw Exception("TKLVBitmap.SaveToStream: no stream given");
  std::string bytes;
  SaveToStream(&bytes);
  Stream->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!*Stream) throw EInOutError("TKLVBitmap.SaveToStream: stream write failed");
}

std::string TKLVBitmapMgr::MakeKey(int32_t RecId, int32_t FieldNo) {
  return std::to_string(RecId) + "," + std::to_string(FieldNo);
}

TKLVBitmap* TKLVBitmapMgr::FindBitmap(int32_t RecId, int32_t FieldNo) const {
  return Bitmaps_.Find(MakeKey(RecId, FieldNo));
}

void TKLVBitmapMgr::AddBitmap(std::unique_ptr<TKLVBitmap>& Bitmap) {
  if (!Bitmap) return;
  Bitmaps_.Add(MakeKey(Bitmap->SessionRecId, Bitmap->FieldNo), Bitmap);
}
