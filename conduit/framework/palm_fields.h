#pragma once
// The typed field model of a handheld record: the layout of a database and the values of
// the record in hand.

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class TVornConduitDb;
class TVornPalmFields;

enum TVornPalmFieldType : uint8_t {
  pftUnknown = 0,
  pftByte = 1,
  pftSmallint = 2,
  pftLongint = 3,
  pftBoolean = 4,
  pftSingle = 5,
  pftDouble = 6,
  pftDate = 7,
  pftTime = 8,
  pftString = 9,
  pftBlob = 10,
};

// Bytes an element of the type takes in a record; 0 for strings and blobs, whose size is
// the field's own.
int32_t DefaultFieldSize(TVornPalmFieldType type);

// A field value: empty, null, one of the integers, a real, a text, a blob or an array of
// values. A blob is a view of bytes in the shared record buffer and is only valid until the
// next record read or write.
class TVornPalmValue {
 public:
  enum class Kind { Empty, Null, Byte, Smallint, Longint, Double, Text, Blob, Array };

  TVornPalmValue() = default;
  static TVornPalmValue Null();
  static TVornPalmValue Byte(uint8_t v);
  static TVornPalmValue Smallint(int16_t v);
  static TVornPalmValue Longint(int32_t v);
  static TVornPalmValue Real(double v);
  static TVornPalmValue Text(std::string v);
  static TVornPalmValue Blob(std::span<const uint8_t> bytes);
  static TVornPalmValue Array(int32_t count);  // count empty elements

  // Becomes the text in place, reusing the storage of an earlier text: the record reader
  // replaces every value of every record this way.
  void AssignText(std::string_view v) {
    kind_ = Kind::Text;
    // Appending to the emptied text copies into its storage; assign would check for overlap.
    text_.clear();
    if (!v.empty()) text_.append(v.data(), v.size());
    elements_.clear();
  }

  // Become the number in place, as Byte, Smallint or Longint (k) and Real make it, keeping
  // the storage of an earlier text: the record reader sets every number of every record.
  void AssignInteger(Kind k, int32_t v) {
    AssignNumber(k);
    int_ = v;
  }
  void AssignReal(double v) {
    AssignNumber(Kind::Double);
    real_ = v;
  }

  Kind kind() const { return kind_; }
  bool IsEmpty() const { return kind() == Kind::Empty; }
  bool IsNull() const { return kind() == Kind::Null; }
  bool IsInteger() const;

  // The integer held, without conversion; 0 for anything but the three integer kinds.
  int32_t RawInteger() const;
  // The blob's bytes; empty for any other kind.
  std::span<const uint8_t> BlobBytes() const;
  // The elements of an array; nullptr for any other kind.
  std::vector<TVornPalmValue>* Elements();
  const std::vector<TVornPalmValue>* Elements() const;

  // Conversions. Empty and null give the empty text; a blob has no text form (empty text).
  std::string ToText() const;
  // Appends what ToText gives.
  void AppendText(std::string& out) const;
  // Empty gives 0; a real is rounded to the nearest integer; text is read as a number.
  // Null, an array, a blob, a text that is no number or a number beyond 32 bits fail with
  // EConvertError.
  int32_t ToInteger() const;
  double ToReal() const;

  bool operator==(const TVornPalmValue& other) const;

 private:
  explicit TVornPalmValue(Kind k) : kind_(k) {}
  void AssignNumber(Kind k) {
    kind_ = k;
    int_ = 0;
    real_ = 0;
    text_.clear();
    blob_ = nullptr;
    blobSize_ = 0;
    elements_.clear();
  }

  Kind kind_ = Kind::Empty;
  int32_t int_ = 0;  // Byte, Smallint, Longint
  double real_ = 0;
  std::string text_;
  const uint8_t* blob_ = nullptr;
  size_t blobSize_ = 0;
  std::vector<TVornPalmValue> elements_;
};

class TVornPalmField {
 public:
  // A field of the collection; TVornPalmFields::Add creates it and takes ownership.
  explicit TVornPalmField(TVornPalmFields* collection = nullptr) : collection_(collection) {}
  TVornPalmField(const TVornPalmField&) = delete;
  TVornPalmField& operator=(const TVornPalmField&) = delete;
  virtual ~TVornPalmField() = default;

  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(const std::string& name);
  TVornPalmFieldType DataType() const { return data_type_; }
  // Also resets Size to the type's default size.
  void SetDataType(TVornPalmFieldType type);
  int32_t Size() const { return size_; }
  // Taken only for pftString (0 = variable length) and pftBlob.
  void SetSize(int32_t size);
  int32_t ArraySize() const { return array_size_; }
  void SetArraySize(int32_t n);

  // The whole value: a single value when ArraySize is 1, otherwise an array.
  const TVornPalmValue& Value() const {
    Settle();
    return value_;
  }
  // One element; null when the index is outside the value.
  TVornPalmValue Values(int32_t index) const;
  // Replaces one element; an index outside the value is ignored.
  void SetValues(int32_t index, TVornPalmValue value);
  // The element SetValues(index, ...) would replace, to be replaced in place; nullptr where
  // it would ignore the index.
  TVornPalmValue* ValueSlot(int32_t index) {
    if (array_size_ != 1) return ElementSlot(index);
    if (index != 0) return nullptr;
    Undefer();
    return &value_;
  }
  // For the record reader: the single value is the text up to the first NUL of the most
  // bytes at offset at of the collection's text bytes (TVornPalmFields::ReadTextsFrom), made
  // only when it is read. Until then the copy must stay as it is; any new value replaces it.
  void DeferText(uint32_t at, uint32_t most) {
    deferred_ = true;
    deferAt_ = at;
    deferMost_ = most;
  }

  // For the integer types (byte, smallint, longint, date, time) the integer held; 0 for any
  // other type, including a blob.
  int32_t AsInteger() const;
  void SetAsInteger(int32_t v);
  std::string AsString() const;
  // Appends what AsString gives.
  void AppendString(std::string& out) const {
    if (deferred_) {
      const std::string_view text = DeferredText();
      out.append(text.data(), text.size());
    } else {
      value_.AppendText(out);
    }
  }
  // What AsString gives, as a view of a text just read from a record where it can be, else
  // of scratch holding it; valid until the next record is read or the field changes.
  std::string_view Text(std::string& scratch) const {
    if (deferred_) return DeferredText();
    scratch.clear();
    value_.AppendText(scratch);
    return scratch;
  }
  void SetAsString(std::string text);
  // The bytes of a pftBlob field just read; empty when there are none.
  std::span<const uint8_t> AsBlob() const { return Values(0).BlobBytes(); }

  std::string NameForDisplay() const;
  // Copies name, type, value and size as they are; ArraySize is not copied.
  virtual void CopyFrom(const TVornPalmField& source);

  TVornPalmFields* Collection() const { return collection_; }
  // Position in the collection; -1 outside one.
  int32_t Index() const;

 private:
  TVornPalmValue* ElementSlot(int32_t index);
  void LayoutChanged();
  std::string_view DeferredText() const;
  // Makes a deferred text the value it stands for.
  void Settle() const {
    if (deferred_) SettleDeferred();
  }
  void SettleDeferred() const;
  // Ends the deferral of the value; the collection counts each end.
  void Undefer() const;

  TVornPalmFields* collection_;
  std::string field_name_;
  TVornPalmFieldType data_type_ = pftString;
  // While deferred_, value_ is stale and the value is the deferred text.
  mutable TVornPalmValue value_;
  mutable bool deferred_ = false;
  uint32_t deferAt_ = 0;
  uint32_t deferMost_ = 0;
  int32_t size_ = 0;
  int32_t array_size_ = 1;
};

// The ordered layout of a record; owns its fields.
class TVornPalmFields {
 public:
  explicit TVornPalmFields(TVornConduitDb* owner = nullptr) : owner_(owner) { NewLayout(); }
  TVornPalmFields(const TVornPalmFields&) = delete;
  TVornPalmFields& operator=(const TVornPalmFields&) = delete;

  TVornPalmField& Add();
  // Fails with EListError outside 0 to Count-1.
  TVornPalmField& Items(int32_t index) const {
    if (index < 0 || index >= Count()) IndexError(index);
    return *items_[static_cast<size_t>(index)];
  }
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  void Clear() {
    items_.clear();
    NewLayout();
  }
  // Changes with every change of the layout (a field added or removed, a field's type, size
  // or array size set), to a number no field list of the process had before.
  uint64_t LayoutVersion() const { return layout_version_; }
  TVornConduitDb* Owner() const { return owner_; }

  // The record reader's copy of the bytes that deferred texts are read from, with room for
  // size bytes; asked for before the reader defers anything, so that a failure to make it
  // changes no value.
  uint8_t* RecordCopy(size_t size);
  // Where deferred texts are read from: the record copy, or (borrowed) the reader's own buffer,
  // which its owner must have the fields copy by KeepTexts before the buffer changes.
  void ReadTextsFrom(const uint8_t* bytes, size_t size, bool borrowed) {
    text_bytes_ = bytes;
    text_bytes_size_ = size;
    borrowed_ = borrowed;
  }
  // Copies borrowed text bytes into the record copy (made by RecordCopy beforehand, so that
  // this cannot fail) and reads the texts from there.
  void KeepTexts() {
    if (!borrowed_) return;
    if (text_bytes_size_ > 0) std::memcpy(record_copy_.get(), text_bytes_, text_bytes_size_);
    ReadTextsFrom(record_copy_.get(), text_bytes_size_, false);
  }
  // How many deferred values have become values of their own so far. While this stays, what
  // the record reader deferred stays deferred; DeferredBy names the reader's plan.
  uint64_t Undeferrals() const { return undeferrals_; }
  const void* DeferredBy() const { return deferred_by_; }
  void SetDeferredBy(const void* plan) { deferred_by_ = plan; }

 private:
  friend class TVornPalmField;
  [[noreturn]] static void IndexError(int32_t index);
  void NewLayout();

  TVornConduitDb* owner_;
  std::vector<std::unique_ptr<TVornPalmField>> items_;
  std::unique_ptr<uint8_t[]> record_copy_;
  size_t record_copy_size_ = 0;
  const uint8_t* text_bytes_ = nullptr;
  size_t text_bytes_size_ = 0;
  bool borrowed_ = false;
  uint64_t layout_version_ = 0;
  uint64_t undeferrals_ = 0;
  const void* deferred_by_ = nullptr;
};

inline void TVornPalmField::Undefer() const {
  if (!deferred_) return;
  deferred_ = false;
  if (collection_) ++collection_->undeferrals_;
}

inline std::string_view TVornPalmField::DeferredText() const {
  if (deferMost_ == 0) return {};
  const char* text = reinterpret_cast<const char*>(collection_->text_bytes_) + deferAt_;
  const void* nul = std::memchr(text, 0, deferMost_);
  return {text, nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : deferMost_};
}
