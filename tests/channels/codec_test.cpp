#include "codec.h"

#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>

#include "msg.h"

namespace {

codec_reader over(const Bytes& b, uint32_t at = 0) {
  codec_reader r;
  reader_init(r, b.data(), (uint32_t)b.size());
  r.offset = at;
  return r;
}

// The value under `key` in the map at byte `at`: its text, "<type N>" for
// other values, "<absent>".
std::string lookup(const Bytes& msg, const char* key, uint32_t at = 0) {
  codec_reader v;
  int type = find_map_key(over(msg, at), key, &v);
  if (type < 0) return "<absent>";
  if (type != 7) return "<type " + std::to_string(type) + ">";
  uint32_t n = 0;
  const char* s = reader_string_body(v, &n);
  return std::string(s, n);
}

Bytes nested_lists(int levels) {
  Bytes b;
  for (int i = 0; i < levels; i++) b.insert(b.end(), {12, 1});
  b.push_back(0);
  return b;
}

TEST(CodecWriter, SizePrefixesAndIntegersTakeTheShortestFormAndReadBack) {
  struct Row {
    bool is_size;  // a list header, else an integer
    int64_t value;
    Bytes expect;
  } rows[] = {
      {true, 253, {12, 0xFD}},
      {true, 254, {12, 0xFE, 0xFE, 0}},
      {true, 65535, {12, 0xFE, 0xFF, 0xFF}},
      {true, 65536, {12, 0xFF, 0, 0, 1, 0}},
      {false, 2147483647, {3, 0xFF, 0xFF, 0xFF, 0x7F}},
      {false, 2147483648LL, {4, 0, 0, 0, 0x80, 0, 0, 0, 0}},
      {false, -2147483648LL, {3, 0, 0, 0, 0x80}},
      {false, -2147483649LL, {4, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const Row& row : rows) {
    codec_writer w;
    writer_init(w);
    if (row.is_size) write_list_header(w, (uint32_t)row.value);
    else write_int(w, row.value);
    Bytes got(w.buffer, w.buffer + w.used);
    writer_free(w);
    EXPECT_EQ(got, row.expect) << row.value;
    codec_reader r = over(got);
    int type = reader_type(r);
    EXPECT_EQ(row.is_size ? (int64_t)reader_size(r) : reader_int_body(r, type), row.value);
    EXPECT_TRUE(r.valid && r.offset == r.length) << row.value;
  }
}

TEST(CodecWriter, GrowsForAValueMoreThanTwiceItsRoom) {
  codec_writer w;
  writer_init(w);
  write_string(w, std::string(100, 's').c_str());
  write_string(w, std::string(300, 't').c_str());
  EXPECT_TRUE(w.used == 406 && w.allocated >= 406 && w.buffer[2] == 's' && w.buffer[405] == 't');
  writer_free(w);
}

TEST(CodecReader, MethodNameIsCutToTheBufferButConsumedWhole) {
  Bytes long_call = (Msg().str(std::string(70, 'n')) << 0).b;
  codec_reader r = over(long_call);
  char name[64];
  uint32_t length = 0;
  ASSERT_EQ(read_method_call(r, name, sizeof name, &length), 1);
  EXPECT_EQ(std::string(name), std::string(63, 'n'));
  EXPECT_EQ(length, 70u);
  EXPECT_EQ(reader_type(r), 0) << "left on the arguments";
  Bytes not_a_call = Msg().i32(7).b;
  r = over(not_a_call);
  EXPECT_TRUE(read_method_call(r, name, sizeof name) == 0 && r.valid && r.offset == 1);
  Bytes cut = (Msg() << 7 << 5 << "ab").b;
  r = over(cut);
  EXPECT_TRUE(read_method_call(r, name, sizeof name) == 0 && !r.valid);
}

TEST(CodecReader, FailureIsStickyAndStopsTheOffset) {
  Bytes msg = (Msg() << 7 << 4 << "abc").b;  // one byte short
  codec_reader r = over(msg);
  ASSERT_EQ(reader_type(r), 7);
  uint32_t n = 99;
  EXPECT_STREQ(reader_string_body(r, &n), "");
  EXPECT_TRUE(n == 0 && !r.valid);
  uint32_t at = r.offset;
  EXPECT_EQ(reader_type(r), -1);
  EXPECT_EQ(reader_size(r) + reader_int_body(r, 3), 0);
  EXPECT_EQ(r.offset, at);
  for (const Bytes& cut : {Bytes{0xFE, 1}, Bytes{0xFF, 1, 2, 3}}) {
    codec_reader c = over(cut);
    EXPECT_TRUE(reader_size(c) == 0 && !c.valid);
  }
  Bytes three = {0xFE, 0xFF, 0xFF};  // an integer body of another type is not read
  r = over(three);
  EXPECT_TRUE(reader_int_body(r, 7) == 0 && r.valid && r.offset == 0);
  EXPECT_TRUE(reader_int_body(r, 4) == 0 && !r.valid);
}

TEST(CodecLookup, FindsTheFirstStringKeyPastEveryOtherValue) {
  Msg skipped;  // int key, mixed list, bytes, nested map, int64, float, repeated key
  skipped << 13 << 8 << 3 << 1 << 0 << 0 << 0 << 0;
  skipped.str("l") << 12 << 3 << 1 << 2 << 0;
  skipped.str("b") << 8 << 3 << 9 << 9 << 9;
  skipped.str("m") << 13 << 1 << 0 << 12 << 0;
  skipped.str("i").i64(0x0807060504030201);
  skipped.str("f").f64(0x3FF8000000000000);
  skipped.str("mode").str("first").str("mode").str("second");
  // Float padding counts from the start of the message: the first float's
  // body needs none, the second's seven (counting from the map: 2 and 2).
  Msg aligned, padded, cut_float;
  (aligned << 0xAA << 0xBB).map(2).str("f").f64(1).str("mode").str("ok");
  (padded << 0xAA << 0xBB << 0xCC).map(2).str("f").f64(1).str("mode").str("ok");
  cut_float.map(2).str("f") << 6 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0;
  Bytes flag = (Msg().map(1).str("k") << 2).b;
  struct Case {
    Bytes msg;
    uint32_t at;
    const char* key;
    std::string expect;
  } cases[] = {
      {skipped.b, 0, "mode", "first"},
      {skipped.b, 0, "Mode", "<absent>"},
      {skipped.b, 0, "mod", "<absent>"},
      {aligned.b, 2, "mode", "ok"},
      {padded.b, 3, "mode", "ok"},
      {cut_float.b, 0, "x", "<absent>"},
      {flag, 0, "k", "<type 2>"},
      {{0}, 0, "k", "<absent>"},
      {{13, 0}, 0, "k", "<absent>"},
      {(Msg().map(1).str("k")).b, 0, "k", "<absent>"},  // value cut off
  };
  for (const Case& c : cases) EXPECT_EQ(lookup(c.msg, c.key, c.at), c.expect) << c.key << " " << c.at;
}

TEST(CodecLookup, UnsupportedOrHostileValuesHideEverythingAfterThem) {
  struct Row {
    Bytes value;
    bool valid;  // skipped on its own
    std::string mode;  // after it in a map
  };
  std::vector<Row> rows = {
      {nested_lists(kCodecMaxDepth - 1), true, "fast"},
      {nested_lists(kCodecMaxDepth), true, "<absent>"},  // one level more inside the map
      {nested_lists(kCodecMaxDepth + 1), false, "<absent>"},
      {nested_lists(1000000), false, "<absent>"},
      {{7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, "<absent>"},  // 2^32 - 1 bytes: offset + size wraps
      {{8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false, "<absent>"},
      {{12, 0xFF, 0, 0, 0, 0x80}, false, "<absent>"},  // 2 * count wraps
      {{13, 0xFF, 0, 0, 0, 0x80}, false, "<absent>"},
  };
  for (int type : {15, 200, 255})
    rows.push_back({{(uint8_t)type, 1, 0, 0, 0, 0, 0, 0, 0}, false, "<absent>"});
  for (const Row& row : rows) {
    codec_reader r = over(row.value);
    reader_skip_body(r, reader_type(r));
    EXPECT_EQ(r.valid, row.valid) << (int)row.value[0] << " " << row.value.size();
    EXPECT_LE(r.offset, r.length);
    Msg m = Msg().map(2).str("x");
    m.b.insert(m.b.end(), row.value.begin(), row.value.end());
    m.str("mode").str("fast");
    EXPECT_EQ(lookup(m.b, "mode"), row.mode) << (int)row.value[0] << " " << row.value.size();
  }
}

// Values the framework's writer produces that this reader never decodes but
// must step over. Each body follows the framework's rules: typed lists write
// their element count, then zeros up to a multiple of the element size
// counted from the first byte of the message, then the elements little-endian;
// a large integer (written by the platform side of other embedders) is its
// digits in hexadecimal as a string body. The value's type byte follows the
// map header and the key, so it sits at offset 4 + key length.
TEST(CodecLookup, SkipsTypedListsAndLargeIntegersWrittenByTheFramework) {
  struct Case {
    const char* key;
    Bytes value;
    bool ok;
  } cases[] = {
      // type at 5, count at 6, elements aligned to 8: one zero.
      {"x", {9, 2, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, true},  // Int32List [1, -1]
      {"x", {14, 1, 0, 0, 0, 0xC0, 0x3F}, true},                     // Float32List [1.5]
      {"x", {10, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0}, true},               // Int64List [1]
      {"x", {11, 1, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, true},         // Float64List [1.0]
      {"x", {9, 0, 0}, true},                                        // empty Int32List
      // count at 7: elements at 8, already aligned; count at 8: seven zeros.
      {"xy", {9, 1, 7, 0, 0, 0}, true},
      {"xyz", {11, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, true},
      // 2^64 as hexadecimal digits.
      {"x", {5, 17, '1', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
             '0'},
       true},
      // Cut off: no room for the padding, for the elements, or for the digits.
      {"x", {9, 1}, false},
      {"x", {11, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, false},
      {"x", {5, 3, '1', '0'}, false},
      // 0x20000001 eight-byte elements: their size wraps to 8 in 32 bits.
      {"x", {10, 0xFF, 1, 0, 0, 0x20, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, false},
  };
  for (const Case& c : cases) {
    Msg alone = Msg().map(1).str(c.key);
    alone.b.insert(alone.b.end(), c.value.begin(), c.value.end());
    codec_reader r = over(alone.b, 4 + (uint32_t)strlen(c.key));
    reader_skip_body(r, reader_type(r));
    std::string what = std::string(c.key) + " " + std::to_string(c.value[0]) + "/" +
                       std::to_string(c.value.size());
    EXPECT_EQ(r.valid, c.ok) << what;
    EXPECT_TRUE(c.ok ? r.offset == r.length : r.offset <= r.length) << what;
    Msg before_mode = Msg().map(2).str(c.key);
    before_mode.b.insert(before_mode.b.end(), c.value.begin(), c.value.end());
    before_mode.str("mode").str("fast");
    if (c.ok) {
      EXPECT_EQ(lookup(before_mode.b, "mode"), "fast") << what;
    }
  }
}

}  // namespace
