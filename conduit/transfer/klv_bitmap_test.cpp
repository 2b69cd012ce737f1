#include "conduit/transfer/klv_bitmap.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/exception.h"
#include "base/text_file.h"
#include "conduit/framework/sync_api.h"
#include "platform/atomic_file.h"
#include "testsupport/run_program.h"
#include "testsupport/test_support.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

int gWordCalls = 0;

// The sync manager's conversion on a little-endian host: handheld words are big-endian.
uint16_t FakeHHToHostWord(uint16_t value) {
  ++gWordCalls;
  return static_cast<uint16_t>((value >> 8) | (value << 8));
}

// A handheld bitmap record: big-endian header, 10 bytes the conversion ignores, the rows,
// then zero filling up to total (the record's size; default: no filling).
std::vector<uint8_t> PalmBitmap(uint16_t width, uint16_t height, uint16_t rowBytes,
                                const std::vector<uint8_t>& rows, size_t total = 0) {
  std::vector<uint8_t> b(TKLVBitmap::kPalmHeaderSize + rows.size());
  const uint16_t words[3] = {width, height, rowBytes};
  for (size_t i = 0; i < 3; ++i) {
    b[2 * i] = uint8_t(words[i] >> 8);
    b[2 * i + 1] = uint8_t(words[i]);
  }
  // Garbage where flags and compression would be: it must not matter.
  for (size_t i = 6; i < TKLVBitmap::kPalmHeaderSize; ++i) b[i] = uint8_t(0xA0 + i);
  std::copy(rows.begin(), rows.end(), b.begin() + TKLVBitmap::kPalmHeaderSize);
  if (b.size() < total) b.resize(total, 0);
  return b;
}

// Rows that tell themselves apart: the first byte of row r is r, the others vary.
std::vector<uint8_t> NumberedRows(int height, int rowBytes) {
  std::vector<uint8_t> rows;
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < rowBytes; ++c) rows.push_back(uint8_t(c == 0 ? r : r * 7 + c * 3 + 1));
  return rows;
}

std::string Bytes(std::initializer_list<int> list) {
  std::string s;
  for (int v : list) s.push_back(static_cast<char>(v));
  return s;
}


uint32_t LittleEndian(const std::string& bytes, size_t at, int width) {
  if (bytes.size() < at + width) throw std::out_of_range("embedded object cut short");
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | uint8_t(bytes[at + i]);
  return v;
}

// Reads an embedded object as a reader of that format walks it: the object header of the size
// it gives, the stream's class name, topic and item texts, the native data of its declared
// size, then no presentation (version, format 0) and the four-byte end mark, nothing after.
// Returns the native data; throws on anything that does not fit.
std::string NativeData(const std::string& blob) {
  if (LittleEndian(blob, 0, 2) != 0x1C15) throw std::runtime_error("no object header mark");
  size_t at = LittleEndian(blob, 2, 2);
  auto dword = [&] {
    uint32_t v = LittleEndian(blob, at, 4);
    at += 4;
    return v;
  };
  auto text = [&] {
    const uint32_t length = dword();
    if (blob.size() - at < length) throw std::out_of_range("text beyond the object");
    at += length;
  };
  if (dword() != 0x501 || dword() != 2) throw std::runtime_error("not an embedded object");
  text();
  text();
  text();
  const uint32_t size = dword();
  if (blob.size() - at < size) throw std::out_of_range("native data beyond the object");
  const std::string native = blob.substr(at, size);
  at += size;
  if (dword() != 0x501 || dword() != 0) throw std::runtime_error("unexpected presentation");
  if (blob.size() - at != 4) throw std::runtime_error("bytes after the end mark");
  return native;
}

bool HaveImageMagick() {
  return qptest::RunProgram({"identify", "-version"}).status == 0 &&
         qptest::RunProgram({"convert", "-version"}).status == 0;
}

class KLVBitmapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = SyncHHToHostWord;
    SyncHHToHostWord = &FakeHHToHostWord;
    gWordCalls = 0;
  }
  void TearDown() override { SyncHHToHostWord = saved_; }

  std::string MessageOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const Exception& e) {
      return e.Text();
    }
    return "(no error)";
  }

 private:
  SyncHHToHostWord_t* saved_ = nullptr;
};

}  // namespace

TEST_F(KLVBitmapTest, SignatureBecomesByteExactBitmapFile) {
  // 160 x 50, rowBytes 20: the handheld's full signature, 1,000 bytes of rows in 1,016.
  std::vector<uint8_t> rows = NumberedRows(50, 20);
  TKLVBitmap bmp;
  bmp.LoadFromPalmBitmap(PalmBitmap(160, 50, 20, rows, 1016));
  EXPECT_EQ(gWordCalls, 3);

  std::string expected = Bytes({
      0x42, 0x4D, 0x26, 0x04, 0x00, 0x00,  // BM, file size 1062
      0x00, 0x00, 0x00, 0x00,              // reserved
      0x3E, 0x00, 0x00, 0x00,              // rows at 62
      0x28, 0x00, 0x00, 0x00,              // information header 40
      0xA0, 0x00, 0x00, 0x00,              // width 160
      0x32, 0x00, 0x00, 0x00,              // height 50, bottom-up
      0x01, 0x00, 0x01, 0x00,              // 1 plane, 1 bit
      0x00, 0x00, 0x00, 0x00,              // no compression
      0xE8, 0x03, 0x00, 0x00,              // 1000 bytes of rows
      0x13, 0x0B, 0x00, 0x00,              // 2835 per metre
      0x13, 0x0B, 0x00, 0x00,              //
      0x02, 0x00, 0x00, 0x00,              // 2 colours used
      0x00, 0x00, 0x00, 0x00,              // all important
      0xFF, 0xFF, 0xFF, 0x00,              // 0 white
      0x00, 0x00, 0x00, 0x00,              // 1 black
  });
  ASSERT_EQ(expected.size(), 62u);
  for (int r = 49; r >= 0; --r)
    expected.append(reinterpret_cast<const char*>(rows.data()) + r * 20, 20);
  EXPECT_EQ(bmp.Image(), expected);
  EXPECT_EQ(bmp.Image().size(), 1062u);
  // The bottom handheld row comes first.
  EXPECT_EQ(uint8_t(bmp.Image()[62]), 49);
}

TEST_F(KLVBitmapTest, RowsArePaddedToFourBytes) {
  // rowBytes 18 rounds up to 20: two zero bytes after each row, sizes follow P.
  std::vector<uint8_t> rows = NumberedRows(3, 18);
  TKLVBitmap bmp;
  bmp.LoadFromPalmBitmap(PalmBitmap(144, 3, 18, rows));
  std::string expected =
      Bytes({0x42, 0x4D, 0x7A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3E, 0x00, 0x00,
             0x00, 0x28, 0x00, 0x00, 0x00, 0x90, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
             0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3C, 0x00, 0x00, 0x00, 0x13,
             0x0B, 0x00, 0x00, 0x13, 0x0B, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
             0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00});
  for (int r = 2; r >= 0; --r) {
    expected.append(reinterpret_cast<const char*>(rows.data()) + r * 18, 18);
    expected.append(2, '\0');
  }
  EXPECT_EQ(bmp.Image(), expected);

  // An odd rowBytes, which the handheld never makes, pads the same way.
  bmp.LoadFromPalmBitmap(PalmBitmap(20, 2, 3, {0x80, 0x00, 0x10, 0xFF, 0xFF, 0xF0}));
  EXPECT_EQ(bmp.Image().substr(62), Bytes({0xFF, 0xFF, 0xF0, 0, 0x80, 0x00, 0x10, 0}));
  EXPECT_EQ(bmp.Image().substr(2, 4), Bytes({70, 0, 0, 0}));
}

TEST_F(KLVBitmapTest, HeaderWordsGoThroughTheSyncManager) {
  // A sync manager on a big-endian host leaves the words as they are in memory.
  SyncHHToHostWord = [](uint16_t v) -> uint16_t {
    ++gWordCalls;
    return v == 0x0800 ? 8 : v == 0x0100 ? 1 : v == 0x0200 ? 2 : 0xFFFF;
  };
  TKLVBitmap bmp;
  bmp.LoadFromPalmBitmap(PalmBitmap(8, 1, 2, {0x80, 0x00}));
  EXPECT_EQ(gWordCalls, 3);
  EXPECT_EQ(bmp.Image().substr(18, 8), Bytes({8, 0, 0, 0, 1, 0, 0, 0}));
}

TEST_F(KLVBitmapTest, RefusesEmptyAndLyingBitmaps) {
  TKLVBitmap bmp;
  bmp.LoadFromPalmBitmap(PalmBitmap(8, 1, 2, {0x80, 0x00}));
  ASSERT_TRUE(bmp.HasImage());

  struct Case {
    const char* what;
    std::vector<uint8_t> data;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"width 0", PalmBitmap(0, 50, 20, {}, 1016),
       "Exception: TKLVBitmap.LoadFromPalmBitmap: empty handheld bitmap (width 0, height 50)"},
      {"height 0", PalmBitmap(160, 0, 20, {}, 1016),
       "Exception: TKLVBitmap.LoadFromPalmBitmap: empty handheld bitmap (width 160, height 0)"},
      {"rows beyond the record", PalmBitmap(160, 51, 20, {}, 1016),
       "Exception: TKLVBitmap.LoadFromPalmBitmap: handheld bitmap claims 20 x 51 row bytes but "
       "holds only 1000"},
      {"largest header values", PalmBitmap(0xFFFF, 0xFFFF, 0xFFFF, {}, 1016),
       "Exception: TKLVBitmap.LoadFromPalmBitmap: handheld bitmap claims 65535 x 65535 row "
       "bytes but holds only 1000"},
      {"rows shorter than the width", PalmBitmap(161, 2, 20, {}, 1016),
       "Exception: TKLVBitmap.LoadFromPalmBitmap: row length 20 too short for width 161"},
      {"header cut short", std::vector<uint8_t>{0x00, 0x08, 0x00, 0x01, 0x00},
       "Exception: TKLVBitmap.LoadFromPalmBitmap: handheld bitmap too short (5 bytes, header "
       "needs 16)"},
      {"nothing", std::vector<uint8_t>{},
       "Exception: TKLVBitmap.LoadFromPalmBitmap: handheld bitmap too short (0 bytes, header "
       "needs 16)"},
  };
  for (const Case& c : cases) {
    // Exact-size buffers: the sanitizer build catches any read past them.
    EXPECT_EQ(MessageOf([&] { bmp.LoadFromPalmBitmap(c.data); }), c.message) << c.what;
    EXPECT_FALSE(bmp.HasImage()) << c.what;
    bmp.LoadFromPalmBitmap(PalmBitmap(8, 1, 2, {0x80, 0x00}));
  }

  // Rows that end exactly at the end of the record are fine.
  bmp.LoadFromPalmBitmap(PalmBitmap(16, 2, 2, {1, 2, 3, 4}));
  EXPECT_EQ(bmp.Image().substr(62), Bytes({3, 4, 0, 0, 1, 2, 0, 0}));
}

TEST_F(KLVBitmapTest, SaveToFileRemembersTheLastGoodName) {
  qptest::TempDir dir;
  TKLVBitmap bmp;
  EXPECT_EQ(MessageOf([&] { bmp.SaveToFile(dir / "a.bmp"); }),
            "Exception: TKLVBitmap.SaveToFile: no bitmap assigned");
  EXPECT_EQ(bmp.FileName, "");
  EXPECT_FALSE(fs::exists(dir / "a.bmp"));

  bmp.LoadFromPalmBitmap(PalmBitmap(160, 50, 20, NumberedRows(50, 20), 1016));
  bmp.SaveToFile(dir / "a.bmp");
  EXPECT_EQ(bmp.FileName, dir / "a.bmp");
  bmp.SaveToFile(dir / "b.bmp");
  EXPECT_EQ(bmp.FileName, dir / "b.bmp");
  EXPECT_EQ(ReadFileBytes(dir / "a.bmp"), bmp.Image());
  EXPECT_EQ(ReadFileBytes(dir / "b.bmp"), bmp.Image());

  // Replacing a file leaves the new bytes only, and no temporary file beside it.
  platform::WriteFileAtomically(dir / "c.bmp", std::string(5000, 'x'));
  bmp.SaveToFile(dir / "c.bmp");
  EXPECT_EQ(ReadFileBytes(dir / "c.bmp"), bmp.Image());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 3);

  // A failed save forgets the earlier name.
  try {
    bmp.SaveToFile(dir / "missing/d.bmp");
    FAIL() << "saved into a missing folder";
  } catch (const EInOutError& e) {
    EXPECT_NE(e.Message().find("missing/d.bmp"), std::string::npos) << e.Message();
  }
  EXPECT_EQ(bmp.FileName, "");
}

TEST_F(KLVBitmapTest, SaveToStreamPlainAndWrapped) {
  TKLVBitmap bmp;
  std::string out = "kept";
  // The missing image is reported before the missing stream.
  EXPECT_EQ(MessageOf([&] { bmp.SaveToStream(static_cast<std::string*>(nullptr)); }),
            "Exception: TKLVBitmap.SaveToStream: no bitmap assigned");
  EXPECT_EQ(MessageOf([&] { bmp.SaveToStream(&out); }),
            "Exception: TKLVBitmap.SaveToStream: no bitmap assigned");
  EXPECT_EQ(out, "kept");

  bmp.LoadFromPalmBitmap(PalmBitmap(160, 50, 20, NumberedRows(50, 20), 1016));
  EXPECT_EQ(MessageOf([&] { bmp.SaveToStream(static_cast<std::string*>(nullptr)); }),
            "Exception: TKLVBitmap.SaveToStream: no stream given");
  EXPECT_EQ(MessageOf([&] { bmp.SaveToStream(static_cast<std::ostream*>(nullptr)); }),
            "Exception: TKLVBitmap.SaveToStream: no stream given");

  out.clear();
  bmp.SaveToStream(&out);
  EXPECT_EQ(out, bmp.Image());

  bmp.SaveAsOLE = true;
  out.clear();
  bmp.SaveToStream(&out);
  ASSERT_EQ(out.size(), 1178u);
  const std::string header =
      Bytes({0x15, 0x1C, 0x2F, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0D, 0x00,
             0x0E, 0x00, 0x14, 0x00, 0x21, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}) +
      "Bitmap Image\0Paint.Picture\0"s +
      Bytes({0x01, 0x05, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00}) +
      "PBrush\0"s + Bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x04, 0x00, 0x00});
  const std::string trailer = std::string(26, '\0') + Bytes({0x01, 0x05, 0x00, 0x00, 0x00, 0x00,
                                                             0x00, 0x00, 0x15, 0xAD, 0x05, 0xFE});
  ASSERT_EQ(header.size(), 78u);
  ASSERT_EQ(trailer.size(), 38u);
  EXPECT_EQ(out, header + bmp.Image() + trailer);

  EXPECT_EQ(NativeData(out).substr(0, bmp.Image().size()), bmp.Image());

  // Any other size declares its own native data, so that a reader finds the trailer after it.
  bmp.LoadFromPalmBitmap(PalmBitmap(8, 1, 2, {0x80, 0x00}));
  std::ostringstream os;
  bmp.SaveToStream(&os);
  EXPECT_EQ(os.str().size(), 78 + bmp.Image().size() + 38);
  const std::string native = NativeData(os.str());
  EXPECT_EQ(native.substr(0, bmp.Image().size()), bmp.Image());

  std::ostringstream broken;
  broken.setstate(std::ios::badbit);
  EXPECT_THROW(bmp.SaveToStream(&broken), EInOutError);
}

TEST_F(KLVBitmapTest, ImageMagickReadsTheSavedFile) {
  if (!HaveImageMagick()) GTEST_SKIP() << "ImageMagick not installed";
  qptest::TempDir dir;
  // 20 x 3 with rowBytes 4 (a padded row already): top row leftmost pixel black, bottom row
  // rightmost pixel black, middle row all white.
  std::vector<uint8_t> rows = {0x80, 0x00, 0x00, 0x00,  //
                               0x00, 0x00, 0x00, 0x00,  //
                               0x00, 0x00, 0x10, 0x00};
  TKLVBitmap bmp;
  bmp.LoadFromPalmBitmap(PalmBitmap(20, 3, 4, rows));
  const std::string file = dir / "s.bmp";
  bmp.SaveToFile(file);

  const qptest::ProgramRun info = qptest::RunProgram({"identify", "-format", "%w %h", file});
  ASSERT_EQ(info.status, 0) << info.text;
  EXPECT_EQ(info.text, "20 3");

  qptest::RunOptions quiet;
  quiet.stderrFile = "/dev/null";
  const qptest::ProgramRun converted =
      qptest::RunProgram({"convert", file, "-depth", "8", "gray:-"}, quiet);
  ASSERT_EQ(converted.status, 0);
  const std::string& gray = converted.text;
  ASSERT_EQ(gray.size(), 60u);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 20; ++x) {
      bool black = (y == 0 && x == 0) || (y == 2 && x == 19);
      EXPECT_EQ(uint8_t(gray[size_t(y * 20 + x)]), black ? 0 : 255) << x << "," << y;
    }
}

TEST(KLVBitmapMgr, KeysAreRecordCommaField) {
  EXPECT_EQ(TKLVBitmapMgr::MakeKey(12, 3), "12,3");
  EXPECT_EQ(TKLVBitmapMgr::MakeKey(-1, -1), "-1,-1");
  EXPECT_EQ(TKLVBitmapMgr::MakeKey(0, 30), "0,30");
  EXPECT_EQ(TKLVBitmapMgr::MakeKey(INT32_MIN, INT32_MAX), "-2147483648,2147483647");
}

namespace {
std::unique_ptr<TKLVBitmap> NewBitmap(int32_t rec, int32_t field) {
  auto b = std::make_unique<TKLVBitmap>();
  b->SessionRecId = rec;
  b->FieldNo = field;
  return b;
}
}  // namespace

TEST(KLVBitmapMgr, FindsEachBitmapUnderItsOwnKey) {
  TKLVBitmapMgr mgr;
  EXPECT_EQ(mgr.FindBitmap(5, 1), nullptr);
  std::vector<TKLVBitmap*> added;
  for (auto [rec, field] : {std::pair{5, 2}, {10, 1}, {5, 1}, {-1, -1}}) {
    auto b = NewBitmap(rec, field);
    added.push_back(b.get());
    mgr.AddBitmap(b);
    EXPECT_EQ(b, nullptr) << "the store takes the bitmap";
  }
  EXPECT_EQ(mgr.Count(), 4);
  EXPECT_EQ(mgr.FindBitmap(5, 2), added[0]);
  EXPECT_EQ(mgr.FindBitmap(10, 1), added[1]);
  EXPECT_EQ(mgr.FindBitmap(5, 1), added[2]);
  EXPECT_EQ(mgr.FindBitmap(-1, -1), added[3]);
  EXPECT_EQ(mgr.FindBitmap(5, 3), nullptr);
  EXPECT_EQ(mgr.FindBitmap(1, 5), nullptr);
  // Kept in the order of the key texts.
  EXPECT_EQ(mgr.Bitmap(0), added[3]);  // "-1,-1"
  EXPECT_EQ(mgr.Bitmap(1), added[1]);  // "10,1"
  EXPECT_EQ(mgr.Bitmap(2), added[2]);  // "5,1"
  EXPECT_EQ(mgr.Bitmap(3), added[0]);  // "5,2"

  std::unique_ptr<TKLVBitmap> none;
  mgr.AddBitmap(none);
  EXPECT_EQ(mgr.Count(), 4);
}

TEST(KLVBitmapMgr, DuplicateStaysWithTheCaller) {
  TKLVBitmapMgr mgr;
  auto first = NewBitmap(12, 3);
  TKLVBitmap* firstPtr = first.get();
  mgr.AddBitmap(first);
  auto second = NewBitmap(12, 3);
  TKLVBitmap* secondPtr = second.get();
  try {
    mgr.AddBitmap(second);
    FAIL() << "duplicate accepted";
  } catch (const EStringListError& e) {
    EXPECT_EQ(e.Message(), "String list does not allow duplicates");
  }
  EXPECT_EQ(second.get(), secondPtr);
  EXPECT_EQ(mgr.Count(), 1);
  EXPECT_EQ(mgr.FindBitmap(12, 3), firstPtr);
}
