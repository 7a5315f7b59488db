#include "codec.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "msg.h"

namespace {

codec_reader over(const Bytes& b) {
  codec_reader r;
  reader_init(r, b.data(), (uint32_t)b.size());
  return r;
}

Bytes written(void (*fill)(codec_writer&)) {
  codec_writer w;
  writer_init(w);
  fill(w);
  Bytes out(w.buffer, w.buffer + w.used);
  writer_free(w);
  return out;
}

// Value of `key` in the map starting at byte `at` of the message, as text.
std::string lookup_string(const Bytes& msg, const char* key, uint32_t at = 0) {
  codec_reader r = over(msg);
  r.offset = at;
  codec_reader v;
  if (find_map_key(r, key, &v) != 7) return "<absent>";
  uint32_t n = 0;
  const char* s = reader_string_body(v, &n);
  return std::string(s, n);
}

TEST(CodecWriter, SizePrefixesTakeTheShortestForm) {
  struct Case {
    uint32_t size;
    Bytes prefix;
  } cases[] = {
      {0, {0x00}},
      {253, {0xFD}},
      {254, {0xFE, 0xFE, 0x00}},
      {255, {0xFE, 0xFF, 0x00}},
      {65535, {0xFE, 0xFF, 0xFF}},
      {65536, {0xFF, 0x00, 0x00, 0x01, 0x00}},
  };
  for (const Case& c : cases) {
    codec_writer w;
    writer_init(w);
    write_list_header(w, c.size);
    Bytes expect = {12};
    expect.insert(expect.end(), c.prefix.begin(), c.prefix.end());
    EXPECT_EQ(Bytes(w.buffer, w.buffer + w.used), expect) << c.size;
    // The reader takes back what the writer wrote.
    codec_reader r;
    reader_init(r, w.buffer, w.used);
    EXPECT_EQ(reader_type(r), 12);
    EXPECT_EQ(reader_size(r), c.size);
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.offset, r.length);
    writer_free(w);
  }
}

TEST(CodecWriter, IntegersUseFourBytesOnlyWhenTheyFit) {
  struct Case {
    int64_t v;
    Bytes expect;
  } cases[] = {
      {2147483647, {3, 0xFF, 0xFF, 0xFF, 0x7F}},
      {2147483648LL, {4, 0x00, 0x00, 0x00, 0x80, 0, 0, 0, 0}},
      {-2147483648LL, {3, 0x00, 0x00, 0x00, 0x80}},
      {-2147483649LL, {4, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF}},
      {-1, {3, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    codec_writer w;
    writer_init(w);
    write_int(w, c.v);
    EXPECT_EQ(Bytes(w.buffer, w.buffer + w.used), c.expect) << c.v;
    codec_reader r;
    reader_init(r, w.buffer, w.used);
    int type = reader_type(r);
    EXPECT_EQ(reader_int_body(r, type), c.v);
    EXPECT_EQ(r.offset, r.length);
    writer_free(w);
  }
}

TEST(CodecWriter, EnvelopesAndBooleans) {
  EXPECT_EQ(written([](codec_writer& w) {
              write_success_envelope(w);
              write_bool(w, 1);
            }),
            (Bytes{0, 1}));
  EXPECT_EQ(written([](codec_writer& w) {
              write_success_envelope(w);
              write_bool(w, 0);
            }),
            (Bytes{0, 2}));
  EXPECT_EQ(written([](codec_writer& w) { write_error_envelope(w, "E", "bad"); }),
            ((Msg() << 1).str("E").str("bad") << 0).b);
}

TEST(CodecWriter, GrowsFrom64ByDoubling) {
  codec_writer w;
  writer_init(w);
  EXPECT_EQ(w.buffer, nullptr);
  write_string(w, std::string(100, 'x').c_str());
  EXPECT_EQ(w.used, 102u);
  EXPECT_EQ(w.allocated, 128u);
  write_string(w, std::string(300, 'y').c_str());  // 1 + 3 + 300 more
  EXPECT_EQ(w.used, 406u);
  EXPECT_EQ(w.allocated, 512u);
  EXPECT_EQ(Bytes(w.buffer + 102, w.buffer + 106), (Bytes{7, 0xFE, 0x2C, 0x01}));
  writer_free(w);
  EXPECT_EQ(w.buffer, nullptr);
  EXPECT_EQ(w.used, 0u);
  EXPECT_EQ(w.allocated, 0u);
}

TEST(CodecReader, MethodCallWithoutArguments) {
  Bytes msg = (Msg().str("isSupported") << 0).b;
  codec_reader r = over(msg);
  char name[64];
  ASSERT_EQ(read_method_call(r, name, sizeof name), 1);
  EXPECT_STREQ(name, "isSupported");
  EXPECT_EQ(r.offset, 13u);
  codec_reader v;
  EXPECT_EQ(find_map_key(r, "mode", &v), -1);
  EXPECT_EQ(r.offset, 13u) << "the lookup works on a copy";
}

TEST(CodecReader, MethodCallWithMapArguments) {
  Bytes msg = (Msg().str("setRefreshMode") << 0x0D << 1).str("mode").str("fast").b;
  codec_reader r = over(msg);
  char name[64];
  ASSERT_EQ(read_method_call(r, name, sizeof name), 1);
  EXPECT_STREQ(name, "setRefreshMode");
  codec_reader v;
  ASSERT_EQ(find_map_key(r, "mode", &v), 7);
  uint32_t n = 0;
  const char* s = reader_string_body(v, &n);
  EXPECT_EQ(std::string(s, n), "fast");
  EXPECT_EQ(s, reinterpret_cast<const char*>(msg.data()) + msg.size() - 4) << "read in place";
  EXPECT_EQ(find_map_key(r, "Mode", &v), -1);
  EXPECT_EQ(find_map_key(r, "mod", &v), -1);
}

TEST(CodecReader, LongMethodNameIsCutButFullyConsumed) {
  std::string long_name(70, 'm');
  Bytes msg = (Msg().str(long_name) << 0).b;
  codec_reader r = over(msg);
  char name[64];
  uint32_t full = 0;
  ASSERT_EQ(read_method_call(r, name, sizeof name, &full), 1);
  EXPECT_EQ(std::string(name), long_name.substr(0, 63));
  EXPECT_EQ(full, 70u);
  EXPECT_EQ(reader_type(r), 0) << "the reader stands on the arguments";
}

TEST(CodecReader, MethodCallFailures) {
  char name[64];
  Bytes not_string = {3, 1, 0, 0, 0};
  codec_reader r = over(not_string);
  EXPECT_EQ(read_method_call(r, name, sizeof name), 0);
  EXPECT_TRUE(r.valid);
  EXPECT_EQ(r.offset, 1u);

  Bytes cut = (Msg() << 7 << 10 << "short").b;
  r = over(cut);
  EXPECT_EQ(read_method_call(r, name, sizeof name), 0);
  EXPECT_FALSE(r.valid);

  r = over(Bytes{});
  EXPECT_TRUE(r.valid) << "an empty message is a valid empty message";
  EXPECT_EQ(read_method_call(r, name, sizeof name), 0);
  EXPECT_FALSE(r.valid);

  reader_init(r, nullptr, 5);
  EXPECT_FALSE(r.valid);
  EXPECT_EQ(reader_type(r), -1);
}

TEST(CodecReader, FailureIsStickyAndStopsTheOffset) {
  // A string claiming one byte more than remains.
  Bytes msg = (Msg() << 7 << 4 << "abc").b;
  codec_reader r = over(msg);
  ASSERT_EQ(reader_type(r), 7);
  uint32_t n = 99;
  const char* s = reader_string_body(r, &n);
  EXPECT_EQ(n, 0u);
  EXPECT_STREQ(s, "");
  EXPECT_FALSE(r.valid);
  uint32_t at = r.offset;
  EXPECT_EQ(reader_type(r), -1);
  EXPECT_EQ(reader_size(r), 0u);
  EXPECT_EQ(reader_int_body(r, 3), 0);
  EXPECT_EQ(r.offset, at);
}

TEST(CodecReader, IntBodyIgnoresOtherTypesAndSignExtends) {
  Bytes msg = {0xFE, 0xFF, 0xFF, 0xFF, 1, 2, 3};
  codec_reader r = over(msg);
  EXPECT_EQ(reader_int_body(r, 7), 0);
  EXPECT_EQ(r.offset, 0u);
  EXPECT_TRUE(r.valid);
  EXPECT_EQ(reader_int_body(r, 3), -2);
  EXPECT_EQ(reader_int_body(r, 4), 0) << "only 3 bytes left";
  EXPECT_FALSE(r.valid);
}

TEST(CodecReader, SizePrefixesCutOff) {
  for (const Bytes& b : {Bytes{}, Bytes{0xFE, 1}, Bytes{0xFF, 1, 2, 3}}) {
    codec_reader r = over(b);
    EXPECT_EQ(reader_size(r), 0u);
    EXPECT_FALSE(r.valid);
  }
}

TEST(CodecLookup, SkipsEveryKindOfValueBeforeTheKey) {
  // int key, list of mixed values, byte list, nested map, int64, then the key.
  Msg m;
  m << 13 << 7;
  m << 3 << 1 << 0 << 0 << 0 << 0;                              // 1 -> null
  m.str("l") << 12 << 3 << 1 << 2 << 0;                          // [true, false, null]
  m.str("b") << 8 << 3 << 9 << 9 << 9;                           // bytes
  m.str("m") << 13 << 1 << 0 << 12 << 0;                         // {null: []}
  m.str("i") << 4 << 1 << 2 << 3 << 4 << 5 << 6 << 7 << 8;       // int64
  m.str("mode").str("first");
  m.str("mode").str("second");
  EXPECT_EQ(lookup_string(m.b, "mode"), "first") << "the first of repeated keys wins";
}

TEST(CodecLookup, FloatPaddingCountsFromTheStartOfTheMessage) {
  // The map starts at offset 2 and the float's body at offset 8: aligned for
  // the message, while counting from the map would demand 2 bytes of padding.
  Msg m;
  m << 0xAA << 0xBB;
  m.map(2).str("f") << 6;
  ASSERT_EQ(m.b.size(), 8u);
  for (int i = 0; i < 8; i++) m << 0x11;
  m.str("mode").str("ok");
  EXPECT_EQ(lookup_string(m.b, "mode", 2), "ok");

  // One byte further in, seven bytes of padding precede the float (counting
  // from the map, two).
  Msg p;
  p << 0xAA << 0xBB << 0xCC;
  p.map(2).str("f") << 6;
  for (int i = 0; i < 7; i++) p << 0;
  for (int i = 0; i < 8; i++) p << 0x11;
  p.str("mode").str("ok");
  EXPECT_EQ(lookup_string(p.b, "mode", 3), "ok");

  // A float whose 8 bytes do not fit after the padding is malformed.
  Msg cut;
  cut << 13 << 2;
  cut.str("f") << 6 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0 << 0;
  EXPECT_EQ(lookup_string(cut.b, "x"), "<absent>");
}

TEST(CodecLookup, UnsupportedValuesHideEverythingAfterThem) {
  for (int type : {5, 9, 10, 11, 14, 200, 255}) {
    Msg m;
    m << 13 << 2;
    m.str("list") << type << 1 << 0 << 0 << 0 << 0 << 0 << 0 << 0;
    m.str("mode").str("fast");
    EXPECT_EQ(lookup_string(m.b, "mode"), "<absent>") << type;
    EXPECT_EQ(lookup_string(m.b, "list"), "<absent>") << "not a string";
  }
}

TEST(CodecLookup, NotAMapEmptyOrCutOff) {
  codec_reader v;
  Bytes null_args = {0};
  EXPECT_EQ(find_map_key(over(null_args), "k", &v), -1);
  Bytes empty_map = {13, 0};
  EXPECT_EQ(find_map_key(over(empty_map), "k", &v), -1);
  Bytes value_cut = (Msg() << 13 << 1).str("k").b;
  EXPECT_EQ(find_map_key(over(value_cut), "k", &v), -1);
  // A boolean is told by its type alone.
  Bytes flag = (Msg() << 13 << 1).str("k").b;
  flag.push_back(2);
  EXPECT_EQ(find_map_key(over(flag), "k", &v), 2);
}

TEST(CodecHostile, DeclaredSizesNearTheTopNeverWrap) {
  // Offsets and sizes are 32-bit: a size of 2^32 - 1 after a few bytes would
  // wrap an `offset + size` test back into range.
  Bytes str = {7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'};
  codec_reader r = over(str);
  reader_type(r);
  uint32_t n = 1;
  reader_string_body(r, &n);
  EXPECT_FALSE(r.valid);
  EXPECT_EQ(n, 0u);
  EXPECT_LE(r.offset, r.length);

  // The same inside a map before the wanted key.
  Msg m;
  m << 13 << 2;
  m.str("b") << 8 << 0xFF << 0xFF << 0xFF << 0xFF << 0xFF;
  m.str("mode").str("fast");
  EXPECT_EQ(lookup_string(m.b, "mode"), "<absent>");

  // Counts that cannot possibly fit, for lists and maps (2 * n would wrap).
  for (int type : {12, 13}) {
    Bytes big = {(uint8_t)type, 0xFF, 0x00, 0x00, 0x00, 0x80, 0, 0, 0, 0};
    codec_reader c = over(big);
    reader_skip_body(c, reader_type(c));
    EXPECT_FALSE(c.valid) << type;
    EXPECT_LE(c.offset, c.length);
  }
}

TEST(CodecHostile, DeepNestingIsMalformedNotAStackOverflow) {
  auto nested = [](int levels) {
    Bytes b;
    for (int i = 0; i < levels; i++) b.insert(b.end(), {12, 1});
    b.push_back(0);
    return b;
  };
  Bytes ok = nested(kCodecMaxDepth);
  codec_reader r = over(ok);
  reader_skip_body(r, reader_type(r));
  EXPECT_TRUE(r.valid);
  EXPECT_EQ(r.offset, r.length);

  Bytes one_more = nested(kCodecMaxDepth + 1);
  r = over(one_more);
  reader_skip_body(r, reader_type(r));
  EXPECT_FALSE(r.valid);

  Bytes deep = nested(1000000);
  r = over(deep);
  reader_skip_body(r, reader_type(r));
  EXPECT_FALSE(r.valid);

  // The same depth behind a key of a map.
  Bytes in_map = (Msg() << 13 << 2).str("x").b;
  in_map.insert(in_map.end(), deep.begin(), deep.end());
  in_map.insert(in_map.end(), {7, 1, 'k', 2});
  EXPECT_EQ(find_map_key(over(in_map), "k", &r), -1);
}

}  // namespace
