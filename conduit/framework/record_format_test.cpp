#include "conduit/framework/record_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/exception.h"
#include "conduit/framework/vorn_conduit.h"

namespace {

using Bytes = std::vector<uint8_t>;

TVornPalmField& AddField(TVornPalmFields& fields, const char* name, TVornPalmFieldType type,
                         int32_t size = 0, int32_t arraySize = 1) {
  TVornPalmField& f = fields.Add();
  f.SetFieldName(name);
  f.SetDataType(type);
  f.SetSize(size);
  f.SetArraySize(arraySize);
  return f;
}

// Packs into a cleared buffer of the full record size and returns the record's bytes.
Bytes Pack(TVornPalmFields& fields, bool align, const TVornElementTest& test = {}) {
  Bytes buffer(kMaxRecordSize, 0);
  uint32_t size = PackRecord(buffer.data(), kMaxRecordSize, fields, align, test);
  buffer.resize(size);
  return buffer;
}

// Reads from a buffer of exactly the given bytes, so that any read past them is caught by
// the sanitizer build.
void Unpack(const Bytes& record, TVornPalmFields& fields, bool align,
            const TVornElementTest& test = {}) {
  std::vector<uint8_t> exact(record);
  UnpackRecord(exact.data(), static_cast<uint32_t>(exact.size()), fields, align, test);
}

struct Example {
  TVornPalmFields fields;
  TVornPalmField& id = AddField(fields, "Id", pftSmallint);
  TVornPalmField& name = AddField(fields, "Name", pftString, 6);
  TVornPalmField& note = AddField(fields, "Note", pftString, 0);
  TVornPalmField& total = AddField(fields, "Total", pftLongint, 0, 2);

  void Fill() {
    id.SetAsInteger(258);
    name.SetAsString("ABCDEFGH");
    note.SetAsString("xy");
    total.SetValues(0, TVornPalmValue::Longint(1));
    total.SetValues(1, TVornPalmValue::Longint(-2));
  }
  void Clear() {
    for (int i = 0; i < fields.Count(); ++i)
      for (int e = 0; e < fields.Items(i).ArraySize(); ++e)
        fields.Items(i).SetValues(e, TVornPalmValue());
  }
  void ExpectReadBack() {
    EXPECT_EQ(id.AsInteger(), 258);
    EXPECT_EQ(name.AsString(), "ABCDE");
    EXPECT_EQ(note.AsString(), "xy");
    EXPECT_EQ(total.Values(0), TVornPalmValue::Longint(1));
    EXPECT_EQ(total.Values(1), TVornPalmValue::Longint(-2));
  }
};

TEST(RecordFormat, WorkedExampleWithoutAlignment) {
  Example ex;
  ex.Fill();
  const Bytes expected = {0x01, 0x02, 0x41, 0x42, 0x43, 0x44, 0x45, 0x00, 0x78, 0x79,
                          0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE};
  Bytes record = Pack(ex.fields, false);
  EXPECT_EQ(record, expected);
  ex.Clear();
  Unpack(record, ex.fields, false);
  ex.ExpectReadBack();
}

TEST(RecordFormat, WorkedExampleAlignedOnWords) {
  Example ex;
  ex.Fill();
  const Bytes expected = {0x01, 0x02, 0x41, 0x42, 0x43, 0x44, 0x45, 0x00, 0x78, 0x79,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE};
  Bytes record = Pack(ex.fields, true);
  EXPECT_EQ(record, expected);
  ex.Clear();
  Unpack(record, ex.fields, true);
  ex.ExpectReadBack();
}

TEST(RecordFormat, ShortFixedStringIsPaddedWithZeros) {
  Example ex;
  ex.Fill();
  ex.name.SetAsString("AB");
  Bytes record = Pack(ex.fields, false);
  EXPECT_EQ(Bytes(record.begin() + 2, record.begin() + 8),
            (Bytes{0x41, 0x42, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(record.size(), 19u);
}

TEST(RecordFormat, RefusedElementsTakeNoBytes) {
  for (bool align : {false, true}) {
    Example ex;
    ex.Fill();
    std::vector<std::pair<std::string, int>> asked;
    Bytes zeros(kMaxRecordSize, 0);
    Bytes buffer(kMaxRecordSize, 0);
    auto refuseSecondTotal = [&](TVornPalmField& f, int32_t i) {
      // Every element is asked before any byte is written.
      EXPECT_EQ(buffer, zeros);
      asked.emplace_back(f.FieldName(), i);
      return !(f.FieldName() == "Total" && i == 1);
    };
    uint32_t size = PackRecord(buffer.data(), kMaxRecordSize, ex.fields, align, refuseSecondTotal);
    EXPECT_EQ(size, align ? 16u : 15u);
    EXPECT_EQ(asked, (std::vector<std::pair<std::string, int>>{
                         {"Id", 0}, {"Name", 0}, {"Note", 0}, {"Total", 0}, {"Total", 1}}));
    buffer.resize(size);

    // A refused read leaves the element empty and the next element where it would start.
    ex.Fill();
    Unpack(buffer, ex.fields, align,
           [](TVornPalmField& f, int32_t) { return f.FieldName() != "Name"; });
    EXPECT_TRUE(ex.name.Value().IsEmpty());
    EXPECT_EQ(ex.note.AsString(), "ABCDE");
  }
}

TEST(RecordFormat, FixedStringsTakeExactlyTheirSize) {
  TVornPalmFields fields;
  TVornPalmField& s = AddField(fields, "S", pftString, 6);
  TVornPalmField& b = AddField(fields, "B", pftByte);
  Unpack({0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x07}, fields, false);
  EXPECT_EQ(s.AsString(), "ABCDEF");
  EXPECT_EQ(b.AsInteger(), 7);

  // A string that ends at the limit does not make the next element read its bytes again.
  Unpack({0x41, 0x42, 0x43, 0x44, 0x45, 0x46}, fields, false);
  EXPECT_EQ(s.AsString(), "ABCDEF");
  EXPECT_TRUE(b.Value().IsEmpty());

  TVornPalmFields one;
  TVornPalmField& c = AddField(one, "C", pftString, 1);
  TVornPalmField& n = AddField(one, "N", pftByte);
  c.SetAsString("xyz");
  n.SetAsInteger(9);
  EXPECT_EQ(Pack(one, false), (Bytes{0x00, 0x09}));
  Unpack({0x00, 0x09}, one, false);
  EXPECT_EQ(c.AsString(), "");
  EXPECT_EQ(n.AsInteger(), 9);
  Unpack({0x5A, 0x09}, one, false);
  EXPECT_EQ(c.AsString(), "Z");
  EXPECT_EQ(n.AsInteger(), 9);
}

TEST(RecordFormat, NumbersAreBigEndianAndSigned) {
  TVornPalmFields fields;
  TVornPalmField& sm = AddField(fields, "Sm", pftSmallint);
  TVornPalmField& da = AddField(fields, "Da", pftDate);
  TVornPalmField& ti = AddField(fields, "Ti", pftTime);
  TVornPalmField& sg = AddField(fields, "Sg", pftSingle);
  TVornPalmField& db = AddField(fields, "Db", pftDouble);
  TVornPalmField& bo = AddField(fields, "Bo", pftBoolean);
  TVornPalmField& lo = AddField(fields, "Lo", pftLongint);
  const Bytes record = {0xFF, 0xFE, 0x80, 0x00, 0x80, 0x00, 0x3F, 0x80, 0x00, 0x00, 0x3F, 0xF0,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x80, 0x00, 0x00, 0x00};
  Unpack(record, fields, false);
  EXPECT_EQ(sm.AsInteger(), -2);
  EXPECT_EQ(da.AsInteger(), -32768);
  EXPECT_EQ(ti.AsInteger(), -32768);
  EXPECT_EQ(sg.Value(), TVornPalmValue::Real(1.0));
  EXPECT_EQ(db.Value(), TVornPalmValue::Real(1.0));
  EXPECT_EQ(bo.Value(), TVornPalmValue::Byte(255));  // a byte, not a truth value
  EXPECT_EQ(lo.AsInteger(), INT32_MIN);
  EXPECT_EQ(Pack(fields, false), record);

  // Writers keep the low bits, and convert text and reals.
  sm.SetAsString("12");
  da.SetAsInteger(65534);
  ti.SetValues(0, TVornPalmValue::Real(-1.4));
  sg.SetAsString("-2.5");
  db.SetValues(0, TVornPalmValue::Longint(3));
  bo.SetValues(0, TVornPalmValue::Longint(0x1FF));
  lo.SetAsString(" 7 ");
  EXPECT_EQ(Pack(fields, false),
            (Bytes{0x00, 0x0C, 0xFF, 0xFE, 0xFF, 0xFF, 0xC0, 0x20, 0x00, 0x00, 0x40, 0x08,
                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x07}));
}

TEST(RecordFormat, EmptyValuesWriteZerosAndBadTextFails) {
  TVornPalmFields fields;
  AddField(fields, "L", pftLongint);
  AddField(fields, "V", pftString);
  AddField(fields, "F", pftString, 3);
  AddField(fields, "D", pftDouble);
  EXPECT_EQ(Pack(fields, false), Bytes(1 + 4 + 3 + 8, 0));

  fields.Items(0).SetAsString("x");
  EXPECT_THROW(Pack(fields, false), EConvertError);
  fields.Items(0).SetValues(0, TVornPalmValue::Null());
  EXPECT_THROW(Pack(fields, false), EConvertError);
}

TEST(RecordFormat, UnknownAndBlobFields) {
  TVornPalmFields fields;
  AddField(fields, "B", pftByte);
  AddField(fields, "U", pftUnknown);
  TVornPalmField& blob = AddField(fields, "Blob", pftBlob, 4);
  AddField(fields, "Z", pftByte).SetAsInteger(5);
  fields.Items(0).SetAsInteger(1);
  const uint8_t junk[] = {9, 9, 9, 9};
  blob.SetValues(0, TVornPalmValue::Blob(junk));
  // Zero-length elements still align; blobs are written as zeros whatever they hold.
  EXPECT_EQ(Pack(fields, true), (Bytes{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00}));
  EXPECT_EQ(Pack(fields, false), (Bytes{0x01, 0x00, 0x00, 0x00, 0x00, 0x05}));

  Bytes record = {0x01, 0x00, 0xDE, 0xAD, 0xBE, 0xEF, 0x05, 0x00};
  UnpackRecord(record.data(), static_cast<uint32_t>(record.size()), fields, true, {});
  EXPECT_TRUE(fields.Items(1).Value().IsEmpty());
  ASSERT_EQ(blob.AsBlob().size(), 4u);
  EXPECT_EQ(blob.AsBlob().data(), record.data() + 2);  // a view into the buffer
  EXPECT_EQ(blob.AsInteger(), 0);
  EXPECT_EQ(fields.Items(3).AsInteger(), 5);
}

TEST(RecordFormat, ShortRecordsReadEmptyWithoutReadingPastTheEnd) {
  Example ex;
  ex.Fill();
  Bytes record = Pack(ex.fields, false);
  for (size_t cut = 0; cut < record.size(); ++cut) {
    ex.Fill();
    Unpack(Bytes(record.begin(), record.begin() + cut), ex.fields, false);
    if (cut < 2) {
      EXPECT_TRUE(ex.id.Value().IsEmpty()) << cut;
    }
    if (cut < 15) {
      EXPECT_TRUE(ex.total.Values(0).IsEmpty()) << cut;
    }
    EXPECT_TRUE(ex.total.Values(1).IsEmpty()) << cut;
  }
  ex.Fill();
  Unpack({0x00, 0x01, 0x41, 0x42}, ex.fields, false);
  EXPECT_EQ(ex.id.AsInteger(), 1);
  EXPECT_EQ(ex.name.AsString(), "AB");
  EXPECT_EQ(ex.note.AsString(), "");
}

// Deferred, a text reads as the reader gives it, also once the buffer has changed.
TEST(RecordFormat, DeferredTextsReadAsTheReaderGivesThem) {
  for (bool align : {false, true}) {
    Example ex;
    ex.Fill();
    const Bytes record = Pack(ex.fields, align);
    for (size_t cut = 0; cut <= record.size(); ++cut) {
      SCOPED_TRACE(testing::Message() << "align " << align << " cut " << cut);
      Example eager, deferred;
      deferred.Fill();
      Unpack(Bytes(record.begin(), record.begin() + cut), eager.fields, align);
      Bytes bytes(record.begin(), record.begin() + cut);
      TVornUnpackPlan plan;
      UnpackRecordDeferred(bytes.data(), static_cast<uint32_t>(cut), deferred.fields, align, plan);
      std::fill(bytes.begin(), bytes.end(), 'Z');
      std::string appended = "<";
      deferred.name.AppendString(appended);
      deferred.note.AppendString(appended);
      EXPECT_EQ(appended, "<" + eager.name.AsString() + eager.note.AsString());
      EXPECT_EQ(deferred.note.AsString(), eager.note.AsString());
      for (int i = 0; i < eager.fields.Count(); ++i)
        for (int e = 0; e < eager.fields.Items(i).ArraySize(); ++e)
          EXPECT_EQ(deferred.fields.Items(i).Values(e), eager.fields.Items(i).Values(e)) << i;
      EXPECT_EQ(deferred.name.Value(), eager.name.Value());
    }
  }
}

// Values of every element, as text where there is one.
std::vector<TVornPalmValue> AllValues(const TVornPalmFields& fields) {
  std::vector<TVornPalmValue> values;
  for (int i = 0; i < fields.Count(); ++i)
    for (int e = 0; e < fields.Items(i).ArraySize(); ++e) values.push_back(fields.Items(i).Values(e));
  return values;
}

// Without variable-length strings the deferred reader keeps its steps from record to record,
// but only while the layout, limit and alignment stay; with one it works them out each time.
TEST(RecordFormat, DeferredStepsAreKeptOnlyWhileThePlacesStay) {
  TVornPalmFields eager, deferred;
  for (TVornPalmFields* fields : {&eager, &deferred}) {
    AddField(*fields, "Id", pftSmallint);
    AddField(*fields, "Name", pftString, 6);
    AddField(*fields, "Tags", pftString, 3, 2);
    AddField(*fields, "Mark", pftBlob, 2);
  }
  const Bytes first = {0, 1, 'A', 'B', 'C', 0, 0, 0, 'x', 0, 0, 'y', 'z', 0, 7, 8};
  const Bytes second = {0, 2, 'D', 'E', 'F', 'G', 'H', 0, 'u', 'v', 0, 'w', 0, 0, 9, 9};
  TVornUnpackPlan plan;
  auto same = [&](const Bytes& record, bool align, const char* what) {
    Bytes bytes(record);
    UnpackRecord(bytes.data(), static_cast<uint32_t>(bytes.size()), eager, align, {});
    UnpackRecordDeferred(bytes.data(), static_cast<uint32_t>(bytes.size()), deferred, align,
                         plan);
    EXPECT_EQ(AllValues(deferred), AllValues(eager)) << what;
  };
  same(first, false, "first");
  same(second, false, "second, same steps");
  EXPECT_EQ(deferred.Items(1).AsString(), "DEFGH");
  // A value set or settled in between is deferred again by the next record.
  deferred.Items(1).SetAsString("set");
  same(first, false, "after a value was set");
  EXPECT_EQ(deferred.Items(1).AsString(), "ABC");
  (void)deferred.Items(1).Value();
  same(second, false, "after a value was settled");
  EXPECT_EQ(deferred.Items(1).AsString(), "DEFGH");
  // Texts still deferred are left as they are from record to record, but another plan over
  // the same fields defers them its own way. (AsString reads a text without settling it.)
  TVornUnpackPlan other;
  Bytes bytes(first), cut(second.begin(), second.begin() + 5);
  UnpackRecordDeferred(bytes.data(), static_cast<uint32_t>(bytes.size()), deferred, false, plan);
  EXPECT_EQ(deferred.Items(1).AsString(), "ABC");
  bytes = second;
  UnpackRecordDeferred(bytes.data(), static_cast<uint32_t>(bytes.size()), deferred, false, plan);
  EXPECT_EQ(deferred.Items(1).AsString(), "DEFGH");
  UnpackRecordDeferred(cut.data(), 5, deferred, false, other);
  EXPECT_EQ(deferred.Items(1).AsString(), "DEF");
  UnpackRecordDeferred(bytes.data(), static_cast<uint32_t>(bytes.size()), deferred, false, plan);
  EXPECT_EQ(deferred.Items(1).AsString(), "DEFGH");
  for (TVornPalmFields* fields : {&eager, &deferred}) fields->Items(1).SetSize(4);
  same(second, false, "a new size");
  EXPECT_EQ(deferred.Items(1).AsString(), "DEFG");
  same(first, true, "aligned");
  for (TVornPalmFields* fields : {&eager, &deferred}) {
    fields->Items(1).SetSize(0);
    fields->Items(2).SetArraySize(1);
  }
  same(first, false, "a variable-length string");
  same(second, false, "a variable-length string, another record");
  EXPECT_EQ(deferred.Items(1).AsString(), "DEFGH");
  for (TVornPalmFields* fields : {&eager, &deferred}) {
    fields->Clear();
    AddField(*fields, "Skip", pftSmallint);
    AddField(*fields, "Code", pftString, 4);
  }
  same(second, false, "a new layout");
  EXPECT_EQ(deferred.Items(1).AsString(), "DEFG");
}

TEST(RecordFormat, WritingPastTheEndOfTheBuffer) {
  // A long variable string followed by a number that no longer fits.
  TVornPalmFields fields;
  TVornPalmField& s = AddField(fields, "S", pftString);
  TVornPalmField& n = AddField(fields, "N", pftSmallint);
  s.SetAsString(std::string(kMaxRecordSize - 2, 'a'));  // with its NUL ends at 65,534
  n.SetAsInteger(1);
  Bytes buffer(kMaxRecordSize, 0);
  try {
    PackRecord(buffer.data(), kMaxRecordSize, fields, false, {});
    FAIL();
  } catch (const EVornConduitError& e) {
    EXPECT_EQ(e.Message(), "Attempting to write past end of record buffer");
    EXPECT_EQ(e.ErrorCode, 0);
  }
  s.SetAsString(std::string(kMaxRecordSize - 3, 'a'));
  std::fill(buffer.begin(), buffer.end(), 0);
  EXPECT_EQ(PackRecord(buffer.data(), kMaxRecordSize, fields, false, {}), kMaxRecordSize);
  EXPECT_EQ(buffer[kMaxRecordSize - 2], 0x00);
  EXPECT_EQ(buffer[kMaxRecordSize - 1], 0x01);

  // So does a string that does not fit with its NUL, however short, rather than leaving it
  // out and moving the fields after it. With one byte less it fits exactly.
  TVornPalmFields strings;
  AddField(strings, "A", pftString).SetAsString(std::string(kMaxRecordSize - 2, 'a'));
  AddField(strings, "B", pftString).SetAsString("b");
  AddField(strings, "C", pftString, 3).SetAsString("c");
  for (int cut = 0; cut <= 3; ++cut) {
    SCOPED_TRACE(cut);
    strings.Items(0).SetAsString(std::string(kMaxRecordSize - 2 - cut, 'a'));
    std::fill(buffer.begin(), buffer.end(), 0);
    if (cut < 3) {
      EXPECT_THROW(PackRecord(buffer.data(), kMaxRecordSize, strings, false, {}),
                   EVornConduitError);
    } else {
      EXPECT_EQ(PackRecord(buffer.data(), kMaxRecordSize, strings, false, {}), kMaxRecordSize);
      EXPECT_EQ(Bytes(buffer.end() - 5, buffer.end()), (Bytes{0, 'b', 0, 'c', 0}));
    }
  }

  // A fixed-size string or a blob reaching beyond the buffer never makes the record longer
  // than the buffer; nothing after them fits any more.
  TVornPalmFields big;
  AddField(big, "Fixed", pftString, 70000).SetAsString("abc");
  AddField(big, "Blob", pftBlob, 100000);
  Bytes bigRecord = Pack(big, true);
  EXPECT_EQ(bigRecord.size(), kMaxRecordSize);
  EXPECT_EQ(Bytes(bigRecord.begin(), bigRecord.begin() + 4), (Bytes{'a', 'b', 'c', 0}));
  EXPECT_EQ(std::count(bigRecord.begin() + 4, bigRecord.end(), 0),
            static_cast<long>(kMaxRecordSize - 4));
  AddField(big, "After", pftString);
  EXPECT_THROW(Pack(big, false), EVornConduitError);
  big.Items(2).SetDataType(pftByte);
  EXPECT_THROW(Pack(big, false), EVornConduitError);

  // Reading the same layout stays inside the buffer.
  Unpack(bigRecord, big, true);
  EXPECT_EQ(big.Items(0).AsString(), "abc");
  EXPECT_TRUE(big.Items(1).Value().IsEmpty());
  EXPECT_TRUE(big.Items(2).Value().IsEmpty());
}

TEST(RecordFormat, NegativeSizesTakeNoBytes) {
  TVornPalmFields fields;
  AddField(fields, "S", pftString, -5).SetAsString("ab");
  AddField(fields, "B", pftBlob, -5);
  AddField(fields, "N", pftByte).SetAsInteger(3);
  Bytes record = Pack(fields, false);
  EXPECT_EQ(record, (Bytes{'a', 'b', 0x00, 0x03}));
  Unpack(record, fields, false);
  EXPECT_EQ(fields.Items(0).AsString(), "ab");
  EXPECT_EQ(fields.Items(1).AsBlob().size(), 0u);
  EXPECT_EQ(fields.Items(2).AsInteger(), 3);
}

TEST(RecordFormat, TextIsCopiedByteForByte) {
  TVornPalmFields fields;
  TVornPalmField& s = AddField(fields, "S", pftString);
  s.SetAsString(
      std::string("\xE9"
                  "a\0b",
                  4));
  Bytes record = Pack(fields, false);
  EXPECT_EQ(record, (Bytes{0xE9, 'a', 0x00, 'b', 0x00}));  // the writer keeps inner NULs
  Unpack(record, fields, false);
  EXPECT_EQ(s.AsString(),
            "\xE9"
            "a");  // the reader stops at the first
}

TEST(ByteOrder, SwapsAreByteReversalsAndTheirOwnInverse) {
  EXPECT_EQ(SwapSmallint(0x0102), 0x0201);
  EXPECT_EQ(SwapSmallint(static_cast<int16_t>(0xFEFF)), static_cast<int16_t>(0xFFFE));
  EXPECT_EQ(SwapLongint(0x01020304), 0x04030201);
  EXPECT_EQ(SwapLongint(-2), static_cast<int32_t>(0xFEFFFFFF));

  float one = SwapSingle(1.0f);
  uint32_t bits;
  std::memcpy(&bits, &one, 4);
  EXPECT_EQ(bits, 0x0000803Fu);
  EXPECT_EQ(SwapSingle(one), 1.0f);

  double d = SwapDouble(1.0);
  uint64_t dbits;
  std::memcpy(&dbits, &d, 8);
  EXPECT_EQ(dbits, 0x000000000000F03Full);
  EXPECT_EQ(SwapDouble(d), 1.0);
  for (int16_t v : {int16_t(0), int16_t(-1), int16_t(-32768), int16_t(12345)})
    EXPECT_EQ(SwapSmallint(SwapSmallint(v)), v);
}

}  // namespace
