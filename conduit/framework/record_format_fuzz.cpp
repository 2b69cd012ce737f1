// The handheld record codec over layouts built from the input.
// 1. Any bytes read through the layout: nothing is read outside the record (the sanitizers
//    watch), a blob value points inside it, a text read deferred reads as read at once also
//    after the record's bytes changed, and packing what was read writes nothing past the size
//    it reports.
// 2. A round trip: values built from the input are packed through the layout (string and blob
//    sizes cut below 256, so that everything fits) and read back from a block of exactly the
//    reported size; each element must read back as the record format says it is stored.
// Input: a layout header, then bytes that are the record of 1 and the values of 2.
//   byte 0: bit 0 word alignment, bits 1..3 field count - 1
//   per field 5 bytes: type, size (16 bits, big-endian), size flags (bit 0 negates the size,
//   bit 1 adds 65,536), array size and refusals (low 3 bits: array size - 1, 0xFF asks for 0;
//   bits 3..6 refuse the elements whose index modulo 4 is 0..3)

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/exception.h"
#include "conduit/framework/record_format.h"
#include "conduit/framework/vorn_conduit.h"

namespace {

// The value bytes of the input, read in turn; zeros once they run out.
class ValueSource {
 public:
  ValueSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint64_t Bits(int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | Byte();
    return v;
  }
  int32_t Longint() { return static_cast<int32_t>(static_cast<uint32_t>(Bits(4))); }
  double Real() {
    const uint64_t bits = Bits(8);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  std::string Text(bool withNul) {
    std::string text(Byte(), '\0');
    for (char& c : text) {
      c = static_cast<char>(Byte());
      if (c == 0 && !withNul) c = 'x';
    }
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A value for an element of the field. A variable-length string gets no NUL inside its text:
// the reader would end it there and read the rest as the next element.
TVornPalmValue MakeValue(const TVornPalmField& field, ValueSource& in) {
  const uint8_t pick = in.Byte();
  switch (field.DataType()) {
    case pftSingle:
    case pftDouble:
      if (pick % 3 == 0) return {};
      return pick % 3 == 1 ? TVornPalmValue::Real(in.Real())
                           : TVornPalmValue::Longint(in.Longint());
    case pftString:
    case pftBlob:
    case pftUnknown:
      if (pick % 3 == 0) return {};
      if (pick % 3 == 1) return TVornPalmValue::Text(in.Text(field.Size() != 0));
      return TVornPalmValue::Longint(in.Longint());
    default:
      switch (pick % 4) {
        case 0:
          return {};
        case 1:
          return TVornPalmValue::Longint(in.Longint());
        case 2:
          return TVornPalmValue::Text(std::to_string(in.Longint()));
        default: {
          const auto whole = static_cast<int16_t>(in.Bits(2));
          return TVornPalmValue::Real(whole + in.Byte() / 256.0);
        }
      }
  }
}

double AsSingle(double d) {
  if (d > FLT_MAX) return HUGE_VAL;
  if (d < -FLT_MAX) return -HUGE_VAL;
  return static_cast<float>(d);
}

// What an element holding `written` reads back as; blobs are checked apart.
TVornPalmValue ReadBack(const TVornPalmField& field, const TVornPalmValue& written) {
  switch (field.DataType()) {
    case pftByte:
    case pftBoolean:
      return TVornPalmValue::Byte(static_cast<uint8_t>(written.ToInteger()));
    case pftSmallint:
    case pftDate:
    case pftTime:
      return TVornPalmValue::Smallint(static_cast<int16_t>(written.ToInteger()));
    case pftLongint:
      return TVornPalmValue::Longint(written.ToInteger());
    case pftSingle:
      return TVornPalmValue::Real(AsSingle(written.ToReal()));
    case pftDouble:
      return TVornPalmValue::Real(written.ToReal());
    case pftString: {
      std::string text = written.ToText();
      if (field.Size() != 0) text.resize(std::min<size_t>(text.size(), field.Size() - 1));
      return TVornPalmValue::Text(text.substr(0, text.find('\0')));
    }
    default:
      return {};
  }
}

bool Same(const TVornPalmValue& a, const TVornPalmValue& b) {
  if (a.kind() != TVornPalmValue::Kind::Double || b.kind() != TVornPalmValue::Kind::Double)
    return a == b;
  const double x = a.ToReal(), y = b.ToReal();
  return std::isnan(x) ? std::isnan(y) : std::memcmp(&x, &y, sizeof x) == 0;
}

bool BlobInside(const TVornPalmValue& v, const uint8_t* begin, size_t size) {
  const auto bytes = v.BlobBytes();
  return bytes.empty() || (bytes.data() >= begin && bytes.data() + bytes.size() <= begin + size);
}

// Packs into a zeroed buffer of the largest record size; no byte past the reported size may
// be written.
uint32_t Pack(std::vector<uint8_t>& out, TVornPalmFields& fields, bool align,
              const TVornElementTest& test) {
  out.assign(kMaxRecordSize, 0);
  const uint32_t written = PackRecord(out.data(), kMaxRecordSize, fields, align, test);
  static const std::vector<uint8_t> zeros(kMaxRecordSize, 0);
  if (std::memcmp(out.data() + written, zeros.data(), kMaxRecordSize - written) != 0) std::abort();
  return written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool align = data[0] & 1;
  const int count = ((data[0] >> 1) & 7) + 1;
  size_t pos = 1;
  TVornPalmFields fields, trip, deferred;
  std::vector<uint8_t> refusals;
  for (int i = 0; i < count && pos + 5 <= size; ++i, pos += 5) {
    TVornPalmField& f = fields.Add();
    TVornPalmField& t = trip.Add();
    f.SetDataType(static_cast<TVornPalmFieldType>(data[pos] % 11));
    t.SetDataType(f.DataType());
    int32_t fieldSize = (data[pos + 1] << 8) | data[pos + 2];
    t.SetSize(fieldSize & 0xFF);
    if (data[pos + 3] & 2) fieldSize += 65536;
    if (data[pos + 3] & 1) fieldSize = -fieldSize;
    f.SetSize(fieldSize);
    f.SetArraySize(data[pos + 4] == 0xFF ? 0 : (data[pos + 4] & 7) + 1);
    t.SetArraySize(f.ArraySize());
    TVornPalmField& d = deferred.Add();
    d.SetDataType(f.DataType());
    d.SetSize(f.Size());
    d.SetArraySize(f.ArraySize());
    refusals.push_back(data[pos + 4]);
  }
  auto test = [&](TVornPalmField& f, int32_t i) {
    return !((refusals[static_cast<size_t>(f.Index())] >> (3 + (i & 3))) & 1);
  };

  // 1. The record in a heap block of exactly its size, so that any read past it is caught.
  const size_t recordSize = size - pos;
  std::vector<uint8_t> record(data + pos, data + size);
  const uint32_t limit = static_cast<uint32_t>(std::min<size_t>(recordSize, kMaxRecordSize));
  UnpackRecord(record.data(), limit, fields, align, test);
  UnpackRecord(record.data(), limit, fields, align, {});
  for (int i = 0; i < fields.Count(); ++i)
    for (int e = 0; e < fields.Items(i).ArraySize(); ++e)
      if (!BlobInside(fields.Items(i).Values(e), record.data(), limit)) std::abort();
  // Texts read later read as the reader gives them, whatever became of the record.
  // The plan of another record first, kept when the places in it do not depend on the bytes.
  TVornUnpackPlan plan;
  std::vector<uint8_t> other(record.size(), 0x41);
  UnpackRecordDeferred(other.data(), limit, deferred, align, plan);
  UnpackRecordDeferred(record.data(), limit, deferred, align, plan);
  std::fill(record.begin(), record.end(), 0x5A);
  for (int i = 0; i < fields.Count(); ++i)
    if (fields.Items(i).DataType() == pftString && fields.Items(i).ArraySize() == 1 &&
        deferred.Items(i).AsString() != fields.Items(i).AsString())
      std::abort();
  std::vector<uint8_t> out;
  try {
    Pack(out, fields, align, test);
  } catch (const EVornConduitError&) {
  } catch (const EConvertError&) {
  }

  // 2. The round trip.
  ValueSource in(data + pos, size - pos);
  std::vector<std::vector<TVornPalmValue>> values(static_cast<size_t>(trip.Count()));
  for (int i = 0; i < trip.Count(); ++i)
    for (int e = 0; e < trip.Items(i).ArraySize(); ++e) {
      values[static_cast<size_t>(i)].push_back(MakeValue(trip.Items(i), in));
      trip.Items(i).SetValues(e, values[static_cast<size_t>(i)].back());
    }
  const uint32_t written = Pack(out, trip, align, test);
  if (align && written % 2 != 0) std::abort();
  const std::vector<uint8_t> exact(out.begin(), out.begin() + written);
  UnpackRecord(exact.data(), written, trip, align, test);
  for (int i = 0; i < trip.Count(); ++i) {
    TVornPalmField& f = trip.Items(i);
    for (int e = 0; e < f.ArraySize(); ++e) {
      const TVornPalmValue got = f.Values(e);
      if (!test(f, e)) {
        if (!got.IsEmpty()) std::abort();
      } else if (f.DataType() == pftBlob) {
        const auto bytes = got.BlobBytes();
        if (got.kind() != TVornPalmValue::Kind::Blob || bytes.size() != size_t(f.Size()) ||
            !BlobInside(got, exact.data(), exact.size()))
          std::abort();
        for (uint8_t b : bytes)
          if (b != 0) std::abort();
      } else if (!Same(got, ReadBack(f, values[static_cast<size_t>(i)][static_cast<size_t>(e)]))) {
        std::abort();
      }
    }
  }
  return 0;
}
