#include "conduit/framework/record_format.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "conduit/framework/vorn_conduit.h"

namespace {

// Offsets are kept wide so that they never wrap back over earlier bytes; past this mark
// nothing is read or written any more, so they need not grow further.
constexpr int64_t kFarBeyond = int64_t{1} << 40;

void Advance(int64_t& offset, int64_t by) {
  offset = std::min(offset + by, kFarBeyond);
}

void Align(int64_t& offset, bool alignOnWord) {
  if (alignOnWord && (offset & 1)) ++offset;
}

// Strings and blobs carry their own size; a negative one takes no bytes.
int64_t ElementSize(const TVornPalmField& field) {
  TVornPalmFieldType t = field.DataType();
  if (t == pftString || t == pftBlob) return std::max<int32_t>(field.Size(), 0);
  return DefaultFieldSize(t);
}

uint64_t GetBigEndian(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

void PutBigEndian(uint8_t* p, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

TVornPalmValue Decode(TVornPalmFieldType type, const uint8_t* p, int64_t size) {
  switch (type) {
    case pftByte:
    case pftBoolean:
      return TVornPalmValue::Byte(p[0]);
    case pftSmallint:
    case pftDate:
    case pftTime:
      return TVornPalmValue::Smallint(static_cast<int16_t>(GetBigEndian(p, 2)));
    case pftLongint:
      return TVornPalmValue::Longint(static_cast<int32_t>(GetBigEndian(p, 4)));
    case pftSingle: {
      uint32_t bits = static_cast<uint32_t>(GetBigEndian(p, 4));
      float f;
      std::memcpy(&f, &bits, sizeof f);
      return TVornPalmValue::Real(f);
    }
    case pftDouble: {
      uint64_t bits = GetBigEndian(p, 8);
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return TVornPalmValue::Real(d);
    }
    case pftBlob:
      return TVornPalmValue::Blob({p, static_cast<size_t>(size)});
    default:
      return TVornPalmValue();
  }
}

float ToSingle(double d) {
  if (d > FLT_MAX) return HUGE_VALF;
  if (d < -FLT_MAX) return -HUGE_VALF;
  return static_cast<float>(d);
}

void Encode(TVornPalmFieldType type, const TVornPalmValue& value, uint8_t* p) {
  switch (type) {
    case pftByte:
    case pftBoolean:
      p[0] = static_cast<uint8_t>(value.ToInteger());
      break;
    case pftSmallint:
    case pftDate:
    case pftTime:
      PutBigEndian(p, static_cast<uint16_t>(value.ToInteger()), 2);
      break;
    case pftLongint:
      PutBigEndian(p, static_cast<uint32_t>(value.ToInteger()), 4);
      break;
    case pftSingle: {
      float f = ToSingle(value.ToReal());
      uint32_t bits;
      std::memcpy(&bits, &f, sizeof bits);
      PutBigEndian(p, bits, 4);
      break;
    }
    case pftDouble: {
      double d = value.ToReal();
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      PutBigEndian(p, bits, 8);
      break;
    }
    default:
      break;
  }
}

}  // namespace

namespace {

// The record reader. Deferred, a text of a single-valued field is left to be read from the
// record copy, which must hold the record's bytes up to the returned end once this is done.
template <bool Deferred>
size_t Unpack(const uint8_t* buffer, uint32_t limit, TVornPalmFields& fields, bool alignOnWord,
              const TVornElementTest& readTest) {
  const int64_t end = limit;
  int64_t offset = 0;
  size_t textsEnd = 0;
  for (int32_t i = 0; i < fields.Count(); ++i) {
    TVornPalmField& field = fields.Items(i);
    for (int32_t e = 0; e < field.ArraySize(); ++e) {
      if (readTest && !readTest(field, e)) {
        field.SetValues(e, TVornPalmValue());
        continue;
      }
      const TVornPalmFieldType type = field.DataType();
      const int64_t size = ElementSize(field);
      if (type == pftString) {
        // The text runs to its NUL, to the field's size or to the limit, whichever comes first.
        const int64_t room = offset < end ? end - offset : 0;
        const int64_t most = size != 0 ? std::min(size, room) : room;
        const int64_t at = most > 0 ? offset : 0;
        const char* text = reinterpret_cast<const char*>(buffer) + at;
        if (Deferred && size != 0 && field.ArraySize() == 1) {
          // A fixed-size string takes its size whatever its text: nothing to look at now.
          field.DeferText(static_cast<uint32_t>(at), static_cast<uint32_t>(most));
          textsEnd = std::max(textsEnd, static_cast<size_t>(at + most));
          Advance(offset, size);
        } else {
          // Fields are a few dozen bytes: a plain scan costs less than a call to memchr.
          int64_t length = 0;
          while (length < most && text[length] != 0) ++length;
          const bool nul = length < most;
          if (Deferred && field.ArraySize() == 1) {
            field.DeferText(static_cast<uint32_t>(at), static_cast<uint32_t>(length));
            textsEnd = std::max(textsEnd, static_cast<size_t>(at + length));
          } else if (TVornPalmValue* value = field.ValueSlot(e)) {
            // Replaced in place, so that a text keeps its storage from one record to the next.
            value->AssignText(std::string_view(text, static_cast<size_t>(length)));
          }
          // A fixed-size string always takes its size, however much of it was text; a
          // variable one its text and NUL.
          if (size != 0)
            Advance(offset, size);
          else
            offset += length + (nul ? 1 : 0);
        }
      } else {
        TVornPalmValue* value = field.ValueSlot(e);
        if (offset + size > end) {
          if (value) *value = TVornPalmValue();
          Advance(offset, size);
          continue;
        }
        if (value) *value = Decode(type, buffer + offset, size);
        Advance(offset, size);
      }
      Align(offset, alignOnWord);
    }
  }
  return textsEnd;
}

}  // namespace

void UnpackRecord(const uint8_t* buffer, uint32_t limit, TVornPalmFields& fields, bool alignOnWord,
                  const TVornElementTest& readTest) {
  Unpack<false>(buffer, limit, fields, alignOnWord, readTest);
}

void UnpackRecordDeferred(const uint8_t* buffer, uint32_t limit, TVornPalmFields& fields,
                          bool alignOnWord) {
  // Made before any text is deferred: nothing after it can fail.
  uint8_t* copy = fields.RecordCopy(limit);
  const size_t textsEnd = Unpack<true>(buffer, limit, fields, alignOnWord, {});
  if (textsEnd > 0) std::memcpy(copy, buffer, textsEnd);
}

uint32_t PackRecord(uint8_t* buffer, uint32_t limit, TVornPalmFields& fields, bool alignOnWord,
                    const TVornElementTest& writeTest) {
  // Every element is asked about before the first byte is written.
  std::vector<bool> accepted;
  if (writeTest) {
    for (int32_t i = 0; i < fields.Count(); ++i) {
      TVornPalmField& field = fields.Items(i);
      for (int32_t e = 0; e < field.ArraySize(); ++e) accepted.push_back(writeTest(field, e));
    }
  }

  const int64_t end = limit;
  int64_t offset = 0;
  size_t element = 0;
  for (int32_t i = 0; i < fields.Count(); ++i) {
    TVornPalmField& field = fields.Items(i);
    for (int32_t e = 0; e < field.ArraySize(); ++e, ++element) {
      if (writeTest && !accepted[element]) continue;
      const TVornPalmFieldType type = field.DataType();
      const int64_t size = ElementSize(field);
      if (type == pftString) {
        const std::string text = field.Values(e).ToText();
        int64_t length = static_cast<int64_t>(text.size());
        if (size != 0) length = std::min(size - 1, length);
        // Leaving it out would shift every later field onto the wrong bytes.
        if (offset + length >= end)
          throw EVornConduitError("Attempting to write past end of record buffer", 0);
        std::memcpy(buffer + offset, text.data(), static_cast<size_t>(length));
        buffer[offset + length] = 0;
        Advance(offset, size != 0 ? size : length + 1);
      } else if (type == pftBlob) {
        Advance(offset, size);
      } else {
        if (offset + size > end)
          throw EVornConduitError("Attempting to write past end of record buffer", 0);
        Encode(type, field.Values(e), buffer + offset);
        Advance(offset, size);
      }
      Align(offset, alignOnWord);
    }
  }
  return static_cast<uint32_t>(std::min(offset, end));
}

int16_t SwapSmallint(int16_t value) {
  uint16_t u = static_cast<uint16_t>(value);
  return static_cast<int16_t>(static_cast<uint16_t>((u >> 8) | (u << 8)));
}

int32_t SwapLongint(int32_t value) {
  uint32_t u = static_cast<uint32_t>(value);
  u = ((u & 0x000000FFu) << 24) | ((u & 0x0000FF00u) << 8) | ((u & 0x00FF0000u) >> 8) |
      ((u & 0xFF000000u) >> 24);
  return static_cast<int32_t>(u);
}

float SwapSingle(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  bits = static_cast<uint32_t>(SwapLongint(static_cast<int32_t>(bits)));
  float out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}

double SwapDouble(double value) {
  uint8_t bytes[sizeof(double)];
  std::memcpy(bytes, &value, sizeof bytes);
  std::reverse(bytes, bytes + sizeof bytes);
  double out;
  std::memcpy(&out, bytes, sizeof out);
  return out;
}
