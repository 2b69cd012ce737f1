#include "conduit/framework/palm_fields.h"

#include <gtest/gtest.h>

#include "base/exception.h"

namespace {

using Kind = TVornPalmValue::Kind;

TEST(TVornPalmField, NewFieldIsVariableLengthStringOfOneElement) {
  TVornPalmFields fields;
  TVornPalmField& f = fields.Add();
  EXPECT_EQ(f.FieldName(), "");
  EXPECT_EQ(f.DataType(), pftString);
  EXPECT_EQ(f.Size(), 0);
  EXPECT_EQ(f.ArraySize(), 1);
  EXPECT_TRUE(f.Value().IsEmpty());
  EXPECT_EQ(f.Collection(), &fields);
  EXPECT_EQ(f.Index(), 0);
  EXPECT_EQ(fields.Add().Index(), 1);
  EXPECT_EQ(fields.Count(), 2);
}

TEST(TVornPalmField, DataTypeResetsSizeAndOnlyStringsAndBlobsTakeASize) {
  TVornPalmField f;
  f.SetSize(20);
  EXPECT_EQ(f.Size(), 20);
  f.SetDataType(pftLongint);
  EXPECT_EQ(f.Size(), 4);
  f.SetSize(20);
  EXPECT_EQ(f.Size(), 4);
  f.SetDataType(pftBlob);
  EXPECT_EQ(f.Size(), 0);
  f.SetSize(1016);
  EXPECT_EQ(f.Size(), 1016);
  f.SetDataType(pftString);
  EXPECT_EQ(f.Size(), 0);

  const std::pair<TVornPalmFieldType, int> defaults[] = {
      {pftUnknown, 0}, {pftByte, 1},   {pftSmallint, 2}, {pftLongint, 4},
      {pftBoolean, 1}, {pftSingle, 4}, {pftDouble, 8},   {pftDate, 2},
      {pftTime, 2},    {pftString, 0}, {pftBlob, 0}};
  for (auto [type, size] : defaults) {
    f.SetSize(99);
    f.SetDataType(type);
    EXPECT_EQ(f.Size(), size) << int(type);
  }
}

TEST(TVornPalmField, ArraySizeResizesKeepingElements) {
  TVornPalmField f;
  f.SetDataType(pftLongint);
  f.SetAsInteger(7);
  f.SetArraySize(0);
  f.SetArraySize(-3);
  EXPECT_EQ(f.ArraySize(), 1);
  EXPECT_EQ(f.AsInteger(), 7);

  f.SetArraySize(3);  // the single value is dropped
  ASSERT_NE(f.Value().Elements(), nullptr);
  ASSERT_EQ(f.Value().Elements()->size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(f.Values(i).IsEmpty());

  for (int i = 0; i < 3; ++i) f.SetValues(i, TVornPalmValue::Longint(10 + i));
  f.SetArraySize(5);
  EXPECT_EQ(f.Values(0), TVornPalmValue::Longint(10));
  EXPECT_EQ(f.Values(2), TVornPalmValue::Longint(12));
  EXPECT_TRUE(f.Values(3).IsEmpty());
  EXPECT_TRUE(f.Values(4).IsEmpty());

  f.SetArraySize(2);
  EXPECT_EQ(f.Value().Elements()->size(), 2u);
  EXPECT_EQ(f.Values(1), TVornPalmValue::Longint(11));
  EXPECT_TRUE(f.Values(2).IsNull());

  f.SetArraySize(1);
  EXPECT_TRUE(f.Value().IsEmpty());
  EXPECT_EQ(f.ArraySize(), 1);
}

TEST(TVornPalmField, ValuesOutsideTheValueReadNullAndIgnoreWrites) {
  TVornPalmField f;
  f.SetAsString("a");
  EXPECT_TRUE(f.Values(1).IsNull());
  EXPECT_TRUE(f.Values(-1).IsNull());
  f.SetValues(1, TVornPalmValue::Text("b"));
  EXPECT_EQ(f.AsString(), "a");
  f.SetValues(0, TVornPalmValue::Text("c"));
  EXPECT_EQ(f.AsString(), "c");

  f.SetArraySize(3);
  f.SetValues(3, TVornPalmValue::Text("x"));
  f.SetValues(-1, TVornPalmValue::Text("x"));
  EXPECT_TRUE(f.Values(3).IsNull());
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(f.Values(i).IsEmpty());
  // An array field whose value was replaced by a text has no elements any more.
  f.SetAsString("t");
  EXPECT_TRUE(f.Values(0).IsNull());
  f.SetValues(0, TVornPalmValue::Text("x"));
  EXPECT_EQ(f.Value(), TVornPalmValue::Text("t"));
}

TEST(TVornPalmField, AsIntegerOnlyForIntegerTypes) {
  TVornPalmField f;
  for (TVornPalmFieldType t : {pftString, pftSingle, pftDouble, pftBoolean, pftBlob, pftUnknown}) {
    f.SetDataType(t);
    f.SetAsInteger(5);
    EXPECT_TRUE(f.Value().IsEmpty()) << int(t);
    f.SetValues(0, TVornPalmValue::Longint(5));
    EXPECT_EQ(f.AsInteger(), 0) << int(t);
    f.SetValues(0, TVornPalmValue());
  }
  for (TVornPalmFieldType t : {pftByte, pftSmallint, pftLongint, pftDate, pftTime}) {
    f.SetDataType(t);
    f.SetValues(0, TVornPalmValue());
    EXPECT_EQ(f.AsInteger(), 0);
    f.SetAsInteger(-100000);
    EXPECT_EQ(f.AsInteger(), -100000) << int(t);
    EXPECT_EQ(f.AsString(), "-100000");
  }
  f.SetDataType(pftByte);
  f.SetValues(0, TVornPalmValue::Byte(255));
  EXPECT_EQ(f.AsInteger(), 255);
  f.SetDataType(pftSmallint);
  f.SetValues(0, TVornPalmValue::Smallint(-2));
  EXPECT_EQ(f.AsInteger(), -2);
}

TEST(TVornPalmField, AsStringStoresTextWhateverTheType) {
  TVornPalmField f;
  f.SetDataType(pftSmallint);
  f.SetAsString("12");
  EXPECT_EQ(f.Value(), TVornPalmValue::Text("12"));
  EXPECT_EQ(f.AsString(), "12");
  std::string withNul("a\0b", 3);
  f.SetAsString(withNul);
  EXPECT_EQ(f.AsString(), withNul);
}

TEST(TVornPalmField, BlobIsReachableAsBytesAndNotAsInteger) {
  const uint8_t bytes[] = {1, 2, 3};
  TVornPalmField f;
  f.SetDataType(pftBlob);
  f.SetSize(3);
  f.SetValues(0, TVornPalmValue::Blob(bytes));
  EXPECT_EQ(f.AsInteger(), 0);
  ASSERT_EQ(f.AsBlob().size(), 3u);
  EXPECT_EQ(f.AsBlob().data(), bytes);
  EXPECT_EQ(f.AsString(), "");
  EXPECT_THROW(f.Values(0).ToInteger(), EConvertError);
}

TEST(TVornPalmField, NameForDisplayAndCopyFrom) {
  TVornPalmFields fields;
  TVornPalmField& a = fields.Add();
  EXPECT_EQ(a.NameForDisplay(), "TVornPalmField");
  a.SetFieldName("Rec_ID");
  EXPECT_EQ(a.NameForDisplay(), "Rec_ID");

  a.SetDataType(pftString);
  a.SetSize(12);
  a.SetArraySize(2);
  a.SetValues(1, TVornPalmValue::Text("x"));
  TVornPalmField& b = fields.Add();
  b.SetDataType(pftLongint);
  b.CopyFrom(a);
  EXPECT_EQ(b.FieldName(), "Rec_ID");
  EXPECT_EQ(b.DataType(), pftString);
  EXPECT_EQ(b.Size(), 12);
  EXPECT_EQ(b.ArraySize(), 1);  // not copied
  EXPECT_EQ(b.Value(), a.Value());
}

TEST(TVornPalmFields, ItemsOutsideTheListFailAndClearEmpties) {
  TVornPalmFields fields;
  EXPECT_THROW(fields.Items(0), EListError);
  fields.Add().SetFieldName("a");
  fields.Add().SetFieldName("b");
  EXPECT_EQ(fields.Items(1).FieldName(), "b");
  try {
    fields.Items(2);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (2)");
  }
  EXPECT_THROW(fields.Items(-1), EListError);
  fields.Clear();
  EXPECT_EQ(fields.Count(), 0);
}

TEST(TVornPalmValue, ConversionsToText) {
  EXPECT_EQ(TVornPalmValue().ToText(), "");
  EXPECT_EQ(TVornPalmValue::Null().ToText(), "");
  EXPECT_EQ(TVornPalmValue::Byte(200).ToText(), "200");
  EXPECT_EQ(TVornPalmValue::Smallint(-32768).ToText(), "-32768");
  EXPECT_EQ(TVornPalmValue::Longint(-2147483647 - 1).ToText(), "-2147483648");
  EXPECT_EQ(TVornPalmValue::Real(1.0).ToText(), "1");
  EXPECT_EQ(TVornPalmValue::Real(2.5).ToText(), "2.5");
  EXPECT_EQ(TVornPalmValue::Text("abc").ToText(), "abc");
  EXPECT_THROW(TVornPalmValue::Array(2).ToText(), EConvertError);
}

TEST(TVornPalmValue, ConversionsToInteger) {
  EXPECT_EQ(TVornPalmValue().ToInteger(), 0);
  EXPECT_EQ(TVornPalmValue::Byte(255).ToInteger(), 255);
  EXPECT_EQ(TVornPalmValue::Smallint(-2).ToInteger(), -2);
  EXPECT_EQ(TVornPalmValue::Real(2.4).ToInteger(), 2);
  EXPECT_EQ(TVornPalmValue::Real(-2.6).ToInteger(), -3);
  EXPECT_EQ(TVornPalmValue::Text("12").ToInteger(), 12);
  EXPECT_EQ(TVornPalmValue::Text(" -7 ").ToInteger(), -7);
  EXPECT_EQ(TVornPalmValue::Text("+7").ToInteger(), 7);
  EXPECT_EQ(TVornPalmValue::Text("2147483647").ToInteger(), 2147483647);
  EXPECT_EQ(TVornPalmValue::Text("3.7").ToInteger(), 4);
  for (const char* bad : {"", "x", "12x", "1 2", "++1", "2147483648", "nan", "inf", "0x10"}) {
    EXPECT_THROW(TVornPalmValue::Text(bad).ToInteger(), EConvertError) << bad;
  }
  try {
    TVornPalmValue::Text("x").ToInteger();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'x' is not a valid integer value");
  }
  EXPECT_THROW(TVornPalmValue::Null().ToInteger(), EConvertError);
  EXPECT_THROW(TVornPalmValue::Real(3e10).ToInteger(), EConvertError);
  EXPECT_THROW(TVornPalmValue::Array(1).ToInteger(), EConvertError);
}

TEST(TVornPalmValue, ConversionsToReal) {
  EXPECT_EQ(TVornPalmValue().ToReal(), 0.0);
  EXPECT_EQ(TVornPalmValue::Longint(-3).ToReal(), -3.0);
  EXPECT_EQ(TVornPalmValue::Text("1.25").ToReal(), 1.25);
  EXPECT_EQ(TVornPalmValue::Text("-1e3").ToReal(), -1000.0);
  EXPECT_THROW(TVornPalmValue::Text("1,5").ToReal(), EConvertError);
  EXPECT_THROW(TVornPalmValue::Null().ToReal(), EConvertError);
}

}  // namespace
