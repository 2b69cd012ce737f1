#pragma once
// The handheld record layout: the elements of every field packed in field order, numbers
// most significant byte first, optionally each element padded to an even offset. No header,
// no separators; a record is at most 65,535 bytes.

#include <cstdint>
#include <functional>
#include <vector>

#include "conduit/framework/palm_fields.h"

// Asked before an element is read or written; false leaves the element out of the record.
// An empty function accepts every element.
using TVornElementTest = std::function<bool(TVornPalmField& field, int32_t arrayIndex)>;

constexpr uint32_t kMaxRecordSize = 0xFFFF;

// Sets the value of every element of every field from the record bytes. Bytes at and beyond
// limit are never read: an element that does not fit reads as empty (a string as the
// characters that were there).
void UnpackRecord(const uint8_t* buffer, uint32_t limit, TVornPalmFields& fields, bool alignOnWord,
                  const TVornElementTest& readTest);

// What UnpackRecordDeferred does with each element of a layout, worked out at a record and
// kept for the next ones while the layout, the limit and the alignment stay as they are and
// no element's place depended on the record's bytes (as after a variable-length string).
class TVornUnpackPlan {
 public:
  struct Step {
    enum Kind : uint8_t { kEmpty, kText, kDeferredText, kNumber };
    TVornPalmField* field;
    int32_t element;
    Kind kind;
    TVornPalmFieldType type = pftUnknown;
    uint32_t at = 0;    // where the element's bytes begin
    uint32_t size = 0;  // how many; of a text, the most it can have
  };

 private:
  friend void UnpackRecordDeferred(const uint8_t* buffer, uint32_t limit,
                                   TVornPalmFields& fields, bool alignOnWord,
                                   TVornUnpackPlan& plan, bool borrow);
  std::vector<Step> steps_;
  // Those that are not deferred texts.
  std::vector<Step> eagerSteps_;
  // The fields' Undeferrals after the last record.
  uint64_t undeferrals_ = 0;
  uint64_t layout_ = 0;
  uint32_t limit_ = 0;
  bool align_ = false;
  bool reusable_ = false;
  size_t textsEnd_ = 0;
};

// As UnpackRecord without a test, but each text of a single-valued pftString field is only
// made when it is read: the fields keep a copy of the record's bytes up to the last text's
// end (their RecordCopy) and read the text from there. So a text reads the same, also after
// buffer has changed, until the next record is unpacked into the fields. From one record to
// the next of the same plan, a text still deferred is not touched: only its bytes change.
// With borrow the texts are read from buffer itself, without the copy, until the caller has
// the fields take it (TVornPalmFields::KeepTexts), which it must before buffer changes.
void UnpackRecordDeferred(const uint8_t* buffer, uint32_t limit, TVornPalmFields& fields,
                          bool alignOnWord, TVornUnpackPlan& plan, bool borrow = false);

// Writes the field values into buffer, which must hold limit zero bytes, and returns the
// record size (at most limit). A numeric element that would end beyond limit, or a string
// that does not fit with its NUL, fails with EVornConduitError "Attempting to write past end
// of record buffer". Values that do not convert fail with EConvertError.
uint32_t PackRecord(uint8_t* buffer, uint32_t limit, TVornPalmFields& fields, bool alignOnWord,
                    const TVornElementTest& writeTest);

// Byte-order reversal between the handheld and the PC; each is its own inverse.
int16_t SwapSmallint(int16_t value);
int32_t SwapLongint(int32_t value);
float SwapSingle(float value);
double SwapDouble(double value);
