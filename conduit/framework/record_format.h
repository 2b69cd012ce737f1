#pragma once
// The handheld record layout: the elements of every field packed in field order, numbers
// most significant byte first, optionally each element padded to an even offset. No header,
// no separators; a record is at most 65,535 bytes.

#include <cstdint>
#include <functional>

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

// As UnpackRecord without a test, but each text of a single-valued pftString field is only
// made when it is read: the fields keep a copy of the record's bytes up to the last text's
// end (their RecordCopy) and read the text from there. So a text reads the same, also after
// buffer has changed, until the next record is unpacked into the fields.
void UnpackRecordDeferred(const uint8_t* buffer, uint32_t limit, TVornPalmFields& fields,
                          bool alignOnWord);

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
