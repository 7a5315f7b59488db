// The vector conversion paths of 8-bit panels give the same gray bytes and
// the same changed columns as the plain formula, dithered or not, for every
// row width around their block sizes and every kind of pixel, from the
// engine's BGRA rows and from the gray rows it draws into gray stores.
// Presentation calls the path in use for every row, so frames need no test
// per path.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <cstring>
#include <string>
#include <vector>

#if defined(__arm__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include "pixels_turn.h"
#include "pixels.h"

namespace {

// Every path this processor runs, scalar first, the default (fastest) last.
std::vector<std::string> runnable_paths() {
  std::string before = pixels_row8_path();
  std::vector<std::string> paths;
  for (const char* name : {"scalar", "sse2", "avx2", "neon"})
    if (pixels_use_row8_path(name)) paths.push_back(name);
  pixels_use_row8_path(before.c_str());
  return paths;
}

class UsePath {
 public:
  explicit UsePath(const std::string& name) : before_(pixels_row8_path()) {
    EXPECT_TRUE(pixels_use_row8_path(name.c_str())) << name;
  }
  ~UsePath() { pixels_use_row8_path(before_.c_str()); }

 private:
  std::string before_;
};

struct Row {
  std::vector<uint8_t> dst;
  bool any = false;
  unsigned first = 7777, last = 7777;
  bool operator==(const Row&) const = default;
};

// The formula, one pixel at a time; a `gray` source is one byte a pixel.
Row expected_row(const uint8_t* src, std::vector<uint8_t> dst, uint8_t invert,
                 const uint8_t* dither = nullptr, bool gray_source = false) {
  Row r{std::move(dst)};
  for (unsigned x = 0; x < r.dst.size(); ++x) {
    const uint8_t* px = src + 4 * x;
    unsigned gray = gray_source ? src[x] : (29u * px[0] + 150u * px[1] + 77u * px[2]) >> 8;
    if (dither) gray = (gray + dither[x % 64]) / 17 * 17;
    uint8_t v = (uint8_t)(gray ^ invert);
    if (v == r.dst[x]) continue;
    r.dst[x] = v;
    if (!r.any) r.first = x;
    r.last = x;
    r.any = true;
  }
  return r;
}

// The path in use; the byte past the row must stay as it was, and the columns
// are left alone when nothing changed.
Row converted_row(const uint8_t* src, std::vector<uint8_t> dst, uint8_t invert,
                  const uint8_t* dither = nullptr, bool gray_source = false) {
  Row r;
  unsigned n = (unsigned)dst.size();
  dst.push_back(0xA5);
  auto convert = gray_source ? pixels_convert_gray8 : pixels_convert_row8;
  r.any = convert(src, dst.data(), n, invert, dither, &r.first, &r.last);
  EXPECT_EQ(dst.back(), 0xA5) << "written past the row";
  dst.pop_back();
  r.dst = std::move(dst);
  return r;
}

std::string describe(const Row& r) {
  return r.any ? "changed " + std::to_string(r.first) + ".." + std::to_string(r.last) : "unchanged";
}

// Extremes often, or only: that is where a saturating or rounding step shows.
std::vector<uint8_t> random_pixels(std::mt19937& rng, unsigned n, bool extremes_only = false) {
  std::vector<uint8_t> px(4 * (size_t)n);
  for (auto& b : px) {
    unsigned k = rng() % (extremes_only ? 2 : 8);
    b = k == 0 ? 0 : k == 1 ? 255 : (uint8_t)rng();
  }
  return px;
}

TEST(PixelPaths, ThisProcessorRunsItsVectorPaths) {
  auto paths = runnable_paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_EQ(paths[0], "scalar");
  EXPECT_EQ(pixels_row8_path(), paths.back());
  EXPECT_FALSE(pixels_use_row8_path("mmx"));
  auto has = [&](const char* p) { return std::find(paths.begin(), paths.end(), p) != paths.end(); };
#if defined(__x86_64__)
  EXPECT_TRUE(has("sse2"));
  EXPECT_EQ(has("avx2"), (bool)__builtin_cpu_supports("avx2"));
  EXPECT_FALSE(pixels_use_row8_path("neon"));
#elif defined(__arm__)
  // The device's processor has NEON and so does the emulator the tests run
  // under; without it this suite would test the scalar path alone.
  ASSERT_TRUE(getauxval(AT_HWCAP) & HWCAP_NEON);
  EXPECT_TRUE(has("neon"));
  EXPECT_FALSE(pixels_use_row8_path("avx2"));
#endif
}

// Rows of every width around the block sizes, at every alignment, on plain
// and inverted panels, dithered (the tail block starts between thresholds)
// and not: against unrelated content, against the row itself, and with a
// few pixels disturbed.
TEST(PixelPaths, RandomRowsOfEveryWidthAndAlignment) {
  std::mt19937 rng(1236);
  for (auto& path : runnable_paths()) {
    UsePath use(path);
    for (unsigned n : {1, 2, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 97, 1236}) {
      for (unsigned offset = 0; offset < 4; ++offset) {
        std::vector<uint8_t> buf = random_pixels(rng, n + 1, offset == 3);
        const uint8_t* src = buf.data() + offset;
        uint8_t invert = (n + offset) % 2 ? 0xFF : 0x00;
        for (const uint8_t* dither : {(const uint8_t*)nullptr, pixels_dither_row(n + offset)}) {
          for (bool gray : {false, true}) {
            std::vector<uint8_t> shadow(n);
            for (auto& b : shadow) b = (uint8_t)rng();
            std::vector<uint8_t> same = expected_row(src, shadow, invert, dither, gray).dst;
            std::vector<uint8_t> disturbed = same;
            for (int k = 0; k < 3; ++k) disturbed[rng() % n] ^= (uint8_t)(1 + rng() % 255);
            for (auto* dst : {&shadow, &same, &disturbed}) {
              Row want = expected_row(src, *dst, invert, dither, gray);
              Row got = converted_row(src, *dst, invert, dither, gray);
              ASSERT_TRUE(got == want) << path << (gray ? " gray" : " bgra") << " width " << n
                                       << " offset " << offset << (dither ? " dithered: " : ": ")
                                       << describe(got) << ", expected " << describe(want);
            }
          }
        }
      }
    }
  }
}

// Every gray against every threshold of the 8x8 tile, on every path: the
// formula exactly, black and white and the 16 levels unchanged, the tile
// averaging to the gray it dithers (a fraction f of the way to the next level
// rounds up at a fraction f of the pixels, to within half of one of the 64
// steps), and, up to halfway, no two pixels that round up side by side or
// one above the other: the dots are spread, not clustered into lines or
// blocks.
TEST(PixelPaths, DitheringKeepsLevelsAndAveragesToTheGray) {
  constexpr unsigned kRow = 256 * 8;  // gray x / 8 at column x
  std::vector<uint8_t> bgra(4 * kRow), grays(kRow);
  for (unsigned x = 0; x < kRow; ++x) std::fill_n(&bgra[4 * x], 4, grays[x] = (uint8_t)(x / 8));
  for (auto& path : runnable_paths()) {
    UsePath use(path);
    for (uint8_t invert : {0x00, 0xFF})
      for (bool gray_source : {false, true}) {
        const uint8_t* src = gray_source ? grays.data() : bgra.data();
        std::vector<unsigned> sum(256);
        std::vector<bool> up(kRow), above(kRow);
        for (unsigned y = 0; y < 8; ++y, above.swap(up)) {
          const uint8_t* dither = pixels_dither_row(y);
          std::vector<uint8_t> shadow(kRow, 1);
          Row got = converted_row(src, shadow, invert, dither, gray_source);
          ASSERT_TRUE(got == expected_row(src, shadow, invert, dither, gray_source))
              << path << " row " << y << (gray_source ? " gray" : " bgra");
          for (unsigned x = 0; x < kRow; ++x) {
            unsigned v = got.dst[x] ^ invert, gray = x / 8;
            ASSERT_EQ(v % 17, 0u) << path << " gray " << gray;
            if (gray % 17 == 0) {
              ASSERT_EQ(v, gray) << path;
            }
            sum[gray] += v;
            up[x] = gray % 17 <= 8 && v > gray;
            bool beside = x % 8 != 0 && up[x - 1], under = y > 0 && above[x];
            ASSERT_FALSE(up[x] && (beside || under))
                << path << " gray " << gray << " at " << x % 8 << "," << y;
          }
        }
        for (unsigned gray = 0; gray < 256; ++gray)
          EXPECT_NEAR(sum[gray] / 64.0, gray, 17.0 / 128) << path << " gray " << gray;
      }
  }
}

// One changed pixel, or two, at each position of rows up to three 32-pixel
// blocks and a tail long: the columns found must be exact, never rounded to
// a block.
TEST(PixelPaths, ChangedColumnsAtEveryPositionAroundBlockEdges) {
  std::mt19937 rng(7);
  for (auto& path : runnable_paths()) {
    UsePath use(path);
    for (unsigned n : {16u, 17u, 31u, 33u, 64u, 100u})
      for (bool gray : {false, true}) {
        std::vector<uint8_t> src = random_pixels(rng, n);
        std::vector<uint8_t> settled =
            expected_row(src.data(), std::vector<uint8_t>(n), 0, nullptr, gray).dst;
        for (unsigned a = 0; a < n; ++a) {
          for (unsigned b = a; b < n; b += (b < a + 3 || b + 3 >= n) ? 1 : 7) {
            std::vector<uint8_t> shadow(settled);
            shadow[a] ^= 0x80;
            shadow[b] ^= 0x01;
            Row got = converted_row(src.data(), shadow, 0, nullptr, gray);
            ASSERT_TRUE(got == (Row{settled, true, a, b}))
                << path << (gray ? " gray" : " bgra") << " width " << n << " changes at " << a
                << "," << b << ": " << describe(got);
          }
        }
      }
  }
}

// Each source keeps its own luma.  BGRA rows are weighed 77/150/29 of 256
// here: pure red, green and blue become 76, 149 and 28.  Gray rows are the
// engine's already, BT.709 (0.2126/0.7152/0.0722: 0x36, 0xB6 and 0x12 for
// the same colours, as the stand-in engine draws them), and go through as
// they are.  Grays agree either way.
TEST(PixelPaths, EachSourceKeepsItsOwnLuma) {
  const uint8_t bgra[] = {0, 0, 255, 255, 0, 255, 0, 255, 255, 0, 0, 255, 128, 128, 128, 255};
  const uint8_t engine_gray[] = {0x36, 0xB6, 0x12, 128};
  for (auto& path : runnable_paths()) {
    UsePath use(path);
    EXPECT_EQ(converted_row(bgra, std::vector<uint8_t>(4), 0).dst,
              (std::vector<uint8_t>{76, 149, 28, 128}))
        << path;
    EXPECT_EQ(converted_row(engine_gray, std::vector<uint8_t>(4), 0, nullptr, true).dst,
              (std::vector<uint8_t>{0x36, 0xB6, 0x12, 128}))
        << path;
  }
}

// ---- Turned frames: the band is converted by the path in use, then placed.

uint8_t g_turn_invert = 0;
bool g_turn_dither = false;

bool convert_gray(const uint8_t* src, uint8_t* dst, unsigned n, uint32_t y, unsigned* first,
                  unsigned* last) {
  return pixels_convert_row8(src, dst, n, g_turn_invert,
                              g_turn_dither ? pixels_dither_row(y) : nullptr, first, last);
}

// Packed pixels: the source bytes themselves, cut to the pixel's width.
template <typename Pixel>
bool convert_packed(const uint8_t* src, uint8_t* dst, unsigned n, uint32_t, unsigned*, unsigned*) {
  for (unsigned x = 0; x < n; ++x) memcpy(dst + x * sizeof(Pixel), src + 4 * x, sizeof(Pixel));
  return true;
}

struct Turned {
  std::vector<uint8_t> shadow;
  TurnDamage damage{false, 0, 0, 0, 0};
};

// The place of application pixel (x, y) on a W x H panel, by definition.
void panel_place(int degrees, unsigned w, unsigned h, unsigned x, unsigned y, unsigned* px,
                 unsigned* py) {
  *px = degrees == 90 ? w - 1 - y : degrees == 180 ? w - 1 - x : y;
  *py = degrees == 90 ? x : degrees == 180 ? h - 1 - y : h - 1 - x;
}

// Every application pixel's converted value stored at its place, the
// changed rectangle grown around those that differ.
Turned expected_turned(const std::vector<uint8_t>& src, unsigned cols, unsigned rows, int degrees,
                       unsigned bytes, unsigned w, unsigned h, size_t stride,
                       std::vector<uint8_t> shadow) {
  Turned t{std::move(shadow)};
  for (unsigned y = 0; y < rows; ++y) {
    std::vector<uint8_t> row(cols * bytes);
    if (bytes == 1) {
      const uint8_t* dither = g_turn_dither ? pixels_dither_row(y) : nullptr;
      row = expected_row(&src[4 * cols * y], row, g_turn_invert, dither).dst;
    } else {
      for (unsigned x = 0; x < cols; ++x) memcpy(&row[x * bytes], &src[4 * (cols * y + x)], bytes);
    }
    for (unsigned x = 0; x < cols; ++x) {
      unsigned px, py;
      panel_place(degrees, w, h, x, y, &px, &py);
      uint8_t* at = &t.shadow[py * stride + px * bytes];
      if (memcmp(at, &row[x * bytes], bytes) == 0) continue;
      memcpy(at, &row[x * bytes], bytes);
      TurnDamage& d = t.damage;
      if (!d.changed) d = {true, px, px, py, py};
      d.left = std::min(d.left, px), d.right = std::max(d.right, px);
      d.top = std::min(d.top, py), d.bottom = std::max(d.bottom, py);
    }
  }
  return t;
}

bool same_damage(const TurnDamage& a, const TurnDamage& b) {
  return a.changed == b.changed &&
         (!a.changed || (a.left == b.left && a.right == b.right && a.top == b.top &&
                         a.bottom == b.bottom));
}

// Frames turned a quarter both ways and a half, on every path (dithered and
// inverted among them) and for every pixel width, onto a panel exactly the
// turned size with padded rows: the shadow as the definition places every
// pixel, the padding untouched, and the changed rectangle in panel pixels,
// against unrelated content and against the picture with two pixels
// disturbed, or one.
TEST(PixelPaths, TurnedFramesOnEveryPathAndPixelWidth) {
  std::mt19937 rng(90);
  // Whole tiles of each vector width and a few columns over; a short last band
  // of more rows than a block and fewer than two.
  const unsigned cols = 53, rows = 2 * kTurnBand + 21;
  std::vector<uint8_t> src = random_pixels(rng, cols * rows);
  for (auto& path : runnable_paths()) {
    UsePath use(path);
    for (unsigned bytes : {1u, 2u, 4u}) {
      if (bytes != 1 && path != "scalar") continue;
      TurnRowFn convert = bytes == 1 ? convert_gray : bytes == 2 ? convert_packed<uint16_t>
                                                                 : convert_packed<uint32_t>;
      for (int degrees : {90, 180, 270}) {
        g_turn_invert = degrees == 180 ? 0xFF : 0x00;
        g_turn_dither = degrees == 270;
        unsigned w = degrees == 180 ? cols : rows, h = degrees == 180 ? rows : cols;
        size_t stride = w * bytes + 3;
        std::vector<uint8_t> band(kTurnBand * (cols * 4 + 8));
        std::vector<uint8_t> shadow(stride * h);
        for (auto& b : shadow) b = (uint8_t)rng();
        Turned want = expected_turned(src, cols, rows, degrees, bytes, w, h, stride, shadow);
        std::vector<uint8_t> disturbed = want.shadow;
        for (unsigned k = 0; k < 2; ++k) disturbed[(rng() % h) * stride + (rng() % w) * bytes] ^= 0x10;
        // One pixel of application column 20: the second half of a 32-column tile.
        std::vector<uint8_t> lone = want.shadow;
        unsigned lone_row = degrees == 270 ? h - 1 - 20 : degrees == 90 ? 20 : h / 2;
        lone[lone_row * stride + (w / 2) * bytes] ^= 0x10;
        for (auto* before : {&shadow, &disturbed, &lone}) {
          Turned expect =
              expected_turned(src, cols, rows, degrees, bytes, w, h, stride, *before);
          Turned got{*before};
          TurnTarget t{got.shadow.data(), stride, w, h, bytes, band.data(), cols * 4 + 8};
          got.damage = pixels_convert_turned(src.data(), 4 * cols, rows, cols, degrees, convert, t);
          ASSERT_TRUE(got.shadow == expect.shadow) << path << " " << bytes << " bytes, " << degrees;
          ASSERT_TRUE(same_damage(got.damage, expect.damage))
              << path << " " << bytes << " bytes, " << degrees << ": " << got.damage.left << ".."
              << got.damage.right << " x " << got.damage.top << ".." << got.damage.bottom;
        }
      }
    }
  }
}

}  // namespace
