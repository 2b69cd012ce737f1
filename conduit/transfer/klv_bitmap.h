#pragma once
// Signature bitmaps: a 1-bit handheld bitmap converted into a Windows bitmap file image
// (TKLVBitmap), and the per-session store of them keyed by data record and field
// (TKLVBitmapMgr).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <span>
#include <string>

#include "base/string_list.h"

namespace platform {
class StagedFiles;
}

class TKLVBitmap {
 public:
  // The handheld bitmap record: a 16-byte header (width, height, rowBytes as handheld-order
  // 16-bit values, then 10 bytes not read) and the pixel rows, top row first. The Bitmap
  // field of the bitmap database holds 1,016 bytes, so at most 1,000 bytes of rows.
  static constexpr size_t kPalmHeaderSize = 16;
  static constexpr size_t kPalmBitmapSize = 1016;
  // Bitmap file header, information header and the two-entry palette.
  static constexpr size_t kBmpHeaderSize = 62;
  // The object-embedding wrapper that SaveToStream puts around the image when SaveAsOLE is set.
  static constexpr size_t kOleHeaderSize = 78;
  static constexpr size_t kOleTrailerSize = 38;

  TKLVBitmap() = default;
  TKLVBitmap(const TKLVBitmap&) = delete;
  TKLVBitmap& operator=(const TKLVBitmap&) = delete;

  // Builds Image from the handheld bitmap in data (its header words go through the sync
  // manager's SyncHHToHostWord). The previous Image is dropped first. Raises Exception, with
  // Image left empty, for a bitmap of width or height 0, a header shorter than 16 bytes, a
  // rowBytes too small for the width, or rows (rowBytes x height) that do not fit in data.
  // Nothing past data.size() is ever read. SessionRecId and FieldNo are the caller's.
  void LoadFromPalmBitmap(std::span<const uint8_t> data);

  // Writes Image as a bitmap file (atomically, replacing Name) and remembers Name in FileName.
  // FileName is empty while the save runs and after a failed one. Raises Exception
  // "TKLVBitmap.SaveToFile: no bitmap assigned" without Image; file errors propagate.
  void SaveToFile(const std::string& Name);
  // The same, the file staged in Files: it is in place once they are published.
  void SaveToFile(const std::string& Name, platform::StagedFiles& Files);

  // Appends Image to the stream, wrapped as an embedded object when SaveAsOLE is set. Raises
  // Exception "TKLVBitmap.SaveToStream: no bitmap assigned" without Image (checked first),
  // then "TKLVBitmap.SaveToStream: no stream given" for a null stream, and EInOutError when
  // the ostream fails.
  void SaveToStream(std::string* Stream) const;
  void SaveToStream(std::ostream* Stream) const;

  // The complete bitmap file image; empty when none is assigned.
  const std::string& Image() const { return Image_; }
  bool HasImage() const { return !Image_.empty(); }

  // Rec_ID of the data record the signature belongs to.
  int32_t SessionRecId = -1;
  // Number of the session field, counted from 1.
  int32_t FieldNo = -1;
  // Full name of the file of the last successful SaveToFile; empty otherwise.
  std::string FileName;
  // SaveToStream wraps the bitmap as an embedded object.
  bool SaveAsOLE = false;

 private:
  std::string Image_;
};

class TKLVBitmapMgr {
 public:
  TKLVBitmapMgr() = default;
  TKLVBitmapMgr(const TKLVBitmapMgr&) = delete;
  TKLVBitmapMgr& operator=(const TKLVBitmapMgr&) = delete;

  // "<RecId>,<FieldNo>" in decimal: MakeKey(12, 3) is "12,3".
  static std::string MakeKey(int32_t RecId, int32_t FieldNo);

  // The bitmap stored under the key, or nullptr. The store keeps ownership.
  TKLVBitmap* FindBitmap(int32_t RecId, int32_t FieldNo) const;

  // Stores the bitmap under the key of its SessionRecId and FieldNo and takes it (Bitmap is
  // null afterwards). A null Bitmap does nothing. A key already present raises
  // EStringListError "String list does not allow duplicates": the store is unchanged and
  // the bitmap stays in Bitmap, with the caller.
  void AddBitmap(std::unique_ptr<TKLVBitmap>& Bitmap);

  int Count() const { return Bitmaps_.Count(); }
  // The i-th bitmap in key order (0 <= i < Count()).
  TKLVBitmap* Bitmap(int i) const { return Bitmaps_[i].object.get(); }

 private:
  TSortedStringList<TKLVBitmap> Bitmaps_;
};
