#include "conduit/framework/palm_fields.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>

#include "base/exception.h"
#include "base/format.h"
#include "base/strings.h"

int32_t DefaultFieldSize(TVornPalmFieldType type) {
  switch (type) {
    case pftByte:
    case pftBoolean:
      return 1;
    case pftSmallint:
    case pftDate:
    case pftTime:
      return 2;
    case pftLongint:
    case pftSingle:
      return 4;
    case pftDouble:
      return 8;
    default:
      return 0;
  }
}

// ---- TVornPalmValue ----

TVornPalmValue TVornPalmValue::Null() {
  return TVornPalmValue(Kind::Null);
}
TVornPalmValue TVornPalmValue::Byte(uint8_t v) {
  TVornPalmValue r(Kind::Byte);
  r.int_ = v;
  return r;
}
TVornPalmValue TVornPalmValue::Smallint(int16_t v) {
  TVornPalmValue r(Kind::Smallint);
  r.int_ = v;
  return r;
}
TVornPalmValue TVornPalmValue::Longint(int32_t v) {
  TVornPalmValue r(Kind::Longint);
  r.int_ = v;
  return r;
}
TVornPalmValue TVornPalmValue::Real(double v) {
  TVornPalmValue r(Kind::Double);
  r.real_ = v;
  return r;
}
TVornPalmValue TVornPalmValue::Text(std::string v) {
  TVornPalmValue r(Kind::Text);
  r.text_ = std::move(v);
  return r;
}
TVornPalmValue TVornPalmValue::Blob(std::span<const uint8_t> bytes) {
  TVornPalmValue r(Kind::Blob);
  r.blob_ = bytes.data();
  r.blobSize_ = bytes.size();
  return r;
}
TVornPalmValue TVornPalmValue::Array(int32_t count) {
  TVornPalmValue r(Kind::Array);
  r.elements_.resize(count > 0 ? static_cast<size_t>(count) : 0);
  return r;
}

bool TVornPalmValue::IsInteger() const {
  return kind_ == Kind::Byte || kind_ == Kind::Smallint || kind_ == Kind::Longint;
}

int32_t TVornPalmValue::RawInteger() const {
  return IsInteger() ? int_ : 0;
}

std::span<const uint8_t> TVornPalmValue::BlobBytes() const {
  if (kind_ == Kind::Blob) return {blob_, blobSize_};
  return {};
}

std::vector<TVornPalmValue>* TVornPalmValue::Elements() {
  return kind_ == Kind::Array ? &elements_ : nullptr;
}
const std::vector<TVornPalmValue>* TVornPalmValue::Elements() const {
  return kind_ == Kind::Array ? &elements_ : nullptr;
}

bool TVornPalmValue::operator==(const TVornPalmValue& other) const {
  if (kind_ != other.kind_) return false;
  switch (kind_) {
    case Kind::Byte:
    case Kind::Smallint:
    case Kind::Longint:
      return int_ == other.int_;
    case Kind::Double:
      return real_ == other.real_;
    case Kind::Text:
      return text_ == other.text_;
    case Kind::Blob:
      return blob_ == other.blob_ && blobSize_ == other.blobSize_;
    case Kind::Array:
      return elements_ == other.elements_;
    default:
      return true;
  }
}

namespace {

const char* KindName(TVornPalmValue::Kind k) {
  switch (k) {
    case TVornPalmValue::Kind::Empty:
      return "Empty";
    case TVornPalmValue::Kind::Null:
      return "Null";
    case TVornPalmValue::Kind::Byte:
      return "Byte";
    case TVornPalmValue::Kind::Smallint:
      return "Smallint";
    case TVornPalmValue::Kind::Longint:
      return "Integer";
    case TVornPalmValue::Kind::Double:
      return "Double";
    case TVornPalmValue::Kind::Text:
      return "String";
    case TVornPalmValue::Kind::Blob:
      return "Blob";
    case TVornPalmValue::Kind::Array:
      return "Array";
  }
  return "Unknown";
}

[[noreturn]] void CastError(TVornPalmValue::Kind from, const char* to) {
  throw EConvertError(
      Format("Could not convert variant of type (%s) into type (%s)", KindName(from), to));
}

// A finite decimal number with an optional sign; blanks around it are allowed.
bool ParseReal(std::string_view text, double& out) {
  std::string_view s = TrimBlanks(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+') return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size() && std::isfinite(out);
}

bool RealToInteger(double d, int32_t& out) {
  double r = std::nearbyint(d);
  if (!(r >= std::numeric_limits<int32_t>::min() && r <= std::numeric_limits<int32_t>::max()))
    return false;
  out = static_cast<int32_t>(r);
  return true;
}

bool ParseInteger(std::string_view text, int32_t& out) {
  std::string_view s = TrimBlanks(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+') return false;
  int64_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec == std::errc() && p == s.data() + s.size()) {
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
      return false;
    out = static_cast<int32_t>(v);
    return true;
  }
  double d = 0;
  return ParseReal(text, d) && RealToInteger(d, out);
}

}  // namespace

std::string TVornPalmValue::ToText() const {
  std::string text;
  AppendText(text);
  return text;
}

void TVornPalmValue::AppendText(std::string& out) const {
  switch (kind()) {
    case Kind::Empty:
    case Kind::Null:
    case Kind::Blob:
      return;
    case Kind::Byte:
    case Kind::Smallint:
    case Kind::Longint: {
      char buf[16];
      auto [p, ec] = std::to_chars(buf, buf + sizeof buf, RawInteger());
      out.append(buf, p);
      return;
    }
    case Kind::Double: {
      char buf[64];
      auto [p, ec] = std::to_chars(buf, buf + sizeof buf, real_);
      if (ec == std::errc()) out.append(buf, p);
      return;
    }
    case Kind::Text:
      out += text_;
      return;
    case Kind::Array:
      break;
  }
  CastError(kind(), "String");
}

int32_t TVornPalmValue::ToInteger() const {
  switch (kind()) {
    case Kind::Empty:
      return 0;
    case Kind::Byte:
    case Kind::Smallint:
    case Kind::Longint:
      return RawInteger();
    case Kind::Double: {
      int32_t out = 0;
      if (RealToInteger(real_, out)) return out;
      break;
    }
    case Kind::Text: {
      const std::string& t = text_;
      int32_t out = 0;
      if (ParseInteger(t, out)) return out;
      throw EConvertError(Format("'%s' is not a valid integer value", t.c_str()));
    }
    default:
      break;
  }
  CastError(kind(), "Integer");
}

double TVornPalmValue::ToReal() const {
  switch (kind()) {
    case Kind::Empty:
      return 0;
    case Kind::Byte:
    case Kind::Smallint:
    case Kind::Longint:
      return RawInteger();
    case Kind::Double:
      return real_;
    case Kind::Text: {
      const std::string& t = text_;
      double out = 0;
      if (ParseReal(t, out)) return out;
      throw EConvertError(Format("'%s' is not a valid floating point value", t.c_str()));
    }
    default:
      break;
  }
  CastError(kind(), "Double");
}

// ---- TVornPalmField ----

namespace {
bool IsIntegerType(TVornPalmFieldType t) {
  return t == pftByte || t == pftSmallint || t == pftLongint || t == pftDate || t == pftTime;
}
}  // namespace

void TVornPalmField::SetFieldName(const std::string& name) {
  field_name_ = name;
}

void TVornPalmField::SetDataType(TVornPalmFieldType type) {
  data_type_ = type;
  size_ = DefaultFieldSize(type);
  LayoutChanged();
}

void TVornPalmField::SetSize(int32_t size) {
  if (data_type_ == pftString || data_type_ == pftBlob) size_ = size;
  LayoutChanged();
}

void TVornPalmField::SetArraySize(int32_t n) {
  if (n < 1 || n == array_size_) return;
  LayoutChanged();
  Undefer();
  if (n == 1) {
    value_ = TVornPalmValue();
  } else if (array_size_ == 1 || !value_.Elements()) {
    value_ = TVornPalmValue::Array(n);
  } else {
    value_.Elements()->resize(static_cast<size_t>(n));
  }
  array_size_ = n;
}

TVornPalmValue TVornPalmField::Values(int32_t index) const {
  if (array_size_ == 1) return index == 0 ? Value() : TVornPalmValue::Null();
  const auto* elements = value_.Elements();
  if (elements && index >= 0 && static_cast<size_t>(index) < elements->size())
    return (*elements)[static_cast<size_t>(index)];
  return TVornPalmValue::Null();
}

void TVornPalmField::SetValues(int32_t index, TVornPalmValue value) {
  if (TVornPalmValue* slot = ValueSlot(index)) *slot = std::move(value);
}

TVornPalmValue* TVornPalmField::ElementSlot(int32_t index) {
  auto* elements = value_.Elements();
  if (elements && index >= 0 && static_cast<size_t>(index) < elements->size())
    return &(*elements)[static_cast<size_t>(index)];
  return nullptr;
}

int32_t TVornPalmField::AsInteger() const {
  return IsIntegerType(data_type_) ? Value().RawInteger() : 0;
}

void TVornPalmField::SetAsInteger(int32_t v) {
  if (!IsIntegerType(data_type_)) return;
  value_ = TVornPalmValue::Longint(v);
  Undefer();
}

std::string TVornPalmField::AsString() const {
  if (deferred_) return std::string(DeferredText());
  return value_.ToText();
}

void TVornPalmField::SetAsString(std::string text) {
  value_ = TVornPalmValue::Text(std::move(text));
  Undefer();
}

void TVornPalmField::SettleDeferred() const {
  value_.AssignText(DeferredText());
  Undefer();
}

std::string TVornPalmField::NameForDisplay() const {
  return field_name_.empty() ? std::string("TVornPalmField") : field_name_;
}

void TVornPalmField::CopyFrom(const TVornPalmField& source) {
  if (&source == this) return;
  field_name_ = source.field_name_;
  data_type_ = source.data_type_;
  value_ = source.Value();
  Undefer();
  size_ = source.size_;
}

int32_t TVornPalmField::Index() const {
  if (!collection_) return -1;
  const auto& items = collection_->items_;
  for (size_t i = 0; i < items.size(); ++i)
    if (items[i].get() == this) return static_cast<int32_t>(i);
  return -1;
}

// ---- TVornPalmFields ----

TVornPalmField& TVornPalmFields::Add() {
  items_.push_back(std::make_unique<TVornPalmField>(this));
  NewLayout();
  return *items_.back();
}

void TVornPalmFields::NewLayout() {
  static std::atomic<uint64_t> layouts{0};
  layout_version_ = ++layouts;
}

void TVornPalmField::LayoutChanged() {
  if (collection_) collection_->NewLayout();
}

uint8_t* TVornPalmFields::RecordCopy(size_t size) {
  if (size > record_copy_size_) {
    record_copy_ = std::make_unique_for_overwrite<uint8_t[]>(size);
    record_copy_size_ = size;
  }
  return record_copy_.get();
}

void TVornPalmFields::IndexError(int32_t index) {
  throw EListError(Format("List index out of bounds (%d)", static_cast<int>(index)));
}
