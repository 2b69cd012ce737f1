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

// Characters before the first NUL among the most bytes at p.
size_t TextLength(const uint8_t* p, uint32_t most) {
  // Fields are a few dozen bytes: a plain scan costs less than a call to memchr.
  size_t length = 0;
  while (length < most && p[length] != 0) ++length;
  return length;
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

// Sets value in place, so that a number costs no new value.
void DecodeInto(TVornPalmValue& value, TVornPalmFieldType type, const uint8_t* p, int64_t size) {
  using Kind = TVornPalmValue::Kind;
  switch (type) {
    case pftByte:
    case pftBoolean:
      value.AssignInteger(Kind::Byte, p[0]);
      break;
    case pftSmallint:
    case pftDate:
    case pftTime:
      value.AssignInteger(Kind::Smallint, static_cast<int16_t>(GetBigEndian(p, 2)));
      break;
    case pftLongint:
      value.AssignInteger(Kind::Longint, static_cast<int32_t>(GetBigEndian(p, 4)));
      break;
    case pftSingle: {
      uint32_t bits = static_cast<uint32_t>(GetBigEndian(p, 4));
      float f;
      std::memcpy(&f, &bits, sizeof f);
      value.AssignReal(f);
      break;
    }
    case pftDouble: {
      uint64_t bits = GetBigEndian(p, 8);
      double d;
      std::memcpy(&d, &bits, sizeof d);
      value.AssignReal(d);
      break;
    }
    case pftBlob:
      value = TVornPalmValue::Blob({p, static_cast<size_t>(size)});
      break;
    default:
      value = TVornPalmValue();
      break;
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

// The record reader walks the layout and hands each element to a sink as one step; run at
// once the steps are the values of the elements. Offsets are worked out by the walk alone:
// only a variable-length string makes them depend on the record's bytes.
template <typename Sink>
void Walk(const uint8_t* buffer, uint32_t limit, TVornPalmFields& fields, bool alignOnWord,
          const TVornElementTest& readTest, Sink& sink) {
  using Step = TVornUnpackPlan::Step;
  const int64_t end = limit;
  int64_t offset = 0;
  for (int32_t i = 0; i < fields.Count(); ++i) {
    TVornPalmField& field = fields.Items(i);
    for (int32_t e = 0; e < field.ArraySize(); ++e) {
      if (readTest && !readTest(field, e)) {
        sink(Step{&field, e, Step::kEmpty});
        continue;
      }
      const TVornPalmFieldType type = field.DataType();
      const int64_t size = ElementSize(field);
      if (type == pftString) {
        // The text runs to its NUL, to the field's size or to the limit, whichever comes first.
        const int64_t room = offset < end ? end - offset : 0;
        const int64_t most = size != 0 ? std::min(size, room) : room;
        const uint32_t at = static_cast<uint32_t>(most > 0 ? offset : 0);
        if (size != 0) {
          // A fixed-size string always takes its size, however much of it is text.
          sink(Step{&field, e, Step::kText, type, at, static_cast<uint32_t>(most)});
          Advance(offset, size);
        } else {
          // A variable one its text and NUL.
          const int64_t length = TextLength(buffer + at, static_cast<uint32_t>(most));
          sink(Step{&field, e, Step::kText, type, at, static_cast<uint32_t>(length)});
          sink.FromRecordBytes();
          offset += length + (length < most ? 1 : 0);
        }
      } else {
        if (offset + size > end) {
          sink(Step{&field, e, Step::kEmpty});
          Advance(offset, size);
          continue;
        }
        sink(Step{&field, e, Step::kNumber, type, static_cast<uint32_t>(offset),
                  static_cast<uint32_t>(size)});
        Advance(offset, size);
      }
      Align(offset, alignOnWord);
    }
  }
}

void RunStep(const TVornUnpackPlan::Step& step, const uint8_t* buffer) {
  using Step = TVornUnpackPlan::Step;
  if (step.kind == Step::kDeferredText) {
    step.field->DeferText(step.at, step.size);
    return;
  }
  // Replaced in place, so that a text keeps its storage from one record to the next.
  TVornPalmValue* value = step.field->ValueSlot(step.element);
  if (!value) return;
  switch (step.kind) {
    case Step::kText: {
      const char* text = reinterpret_cast<const char*>(buffer) + step.at;
      value->AssignText(std::string_view(text, TextLength(buffer + step.at, step.size)));
      break;
    }
    case Step::kNumber:
      DecodeInto(*value, step.type, buffer + step.at, step.size);
      break;
    default:
      *value = TVornPalmValue();
      break;
  }
}

// Takes each element's value as the walk comes to it.
struct AtOnce {
  const uint8_t* buffer;
  void operator()(const TVornUnpackPlan::Step& step) const { RunStep(step, buffer); }
  void FromRecordBytes() const {}
};

// Notes the steps, each single-valued text deferred.
struct Planner {
  std::vector<TVornUnpackPlan::Step>& out;
  size_t textsEnd = 0;
  bool fromRecordBytes = false;
  void operator()(TVornUnpackPlan::Step step) {
    if (step.kind == TVornUnpackPlan::Step::kText && step.field->ArraySize() == 1) {
      step.kind = TVornUnpackPlan::Step::kDeferredText;
      textsEnd = std::max<size_t>(textsEnd, size_t{step.at} + step.size);
    }
    out.push_back(step);
  }
  void FromRecordBytes() { fromRecordBytes = true; }
};

}  // namespace

void UnpackRecord(const uint8_t* buffer, uint32_t limit, TVornPalmFields& fields, bool alignOnWord,
                  const TVornElementTest& readTest) {
  AtOnce sink{buffer};
  Walk(buffer, limit, fields, alignOnWord, readTest, sink);
}

void UnpackRecordDeferred(const uint8_t* buffer, uint32_t limit, TVornPalmFields& fields,
                          bool alignOnWord, TVornUnpackPlan& plan, bool borrow) {
  // A layout version names one field list of the process.
  const bool fits = plan.reusable_ && plan.layout_ == fields.LayoutVersion() &&
                    plan.limit_ == limit && plan.align_ == alignOnWord;
  if (!fits) {
    plan.reusable_ = false;
    plan.steps_.clear();
    Planner planner{plan.steps_};
    Walk(buffer, limit, fields, alignOnWord, {}, planner);
    plan.layout_ = fields.LayoutVersion();
    plan.limit_ = limit;
    plan.align_ = alignOnWord;
    plan.textsEnd_ = planner.textsEnd;
    plan.reusable_ = !planner.fromRecordBytes;
    plan.eagerSteps_.clear();
    for (const TVornUnpackPlan::Step& step : plan.steps_)
      if (step.kind != TVornUnpackPlan::Step::kDeferredText) plan.eagerSteps_.push_back(step);
  }
  // Made before any text is deferred: nothing after it can fail.
  uint8_t* copy = fields.RecordCopy(plan.textsEnd_);
  // The texts this plan deferred at the last record are deferred as they were, unless a value
  // has been set or settled since.
  const bool textsStay = fits && fields.DeferredBy() == &plan &&
                         fields.Undeferrals() == plan.undeferrals_;
  for (const TVornUnpackPlan::Step& step : textsStay ? plan.eagerSteps_ : plan.steps_)
    RunStep(step, buffer);
  if (borrow) {
    fields.ReadTextsFrom(buffer, plan.textsEnd_, true);
  } else {
    if (plan.textsEnd_ > 0) std::memcpy(copy, buffer, plan.textsEnd_);
    fields.ReadTextsFrom(copy, plan.textsEnd_, false);
  }
  fields.SetDeferredBy(&plan);
  plan.undeferrals_ = fields.Undeferrals();
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
