// Cost of presenting a frame on a 1236x1648 8-bit panel, per conversion path:
// a frame identical to the last, one that changes a band of rows (a line of
// text) and one that changes every pixel.
//
// On the device no frame is ever in a cache: an 8 MB frame against a few
// hundred KB.  "cold" figures therefore present frames from a rotation of
// distinct buffers more than twice the size of the last-level cache, and
// measure beside them, on the same frames, a memcpy of the source and one
// read-only vector pass over it (the floor of any conversion).  Cold, the work
// is memory traffic, and each figure is given as a ratio to both.  "warm"
// figures reuse one frame, as a machine with a large cache sees it.
//
// Cold frames are also presented dithered and in night mode (inverted in the
// conversion, as on a panel whose driver cannot invert), beside the plain
// ones.  The dithering mask is the 8x8 Bayer matrix; a 64x64 blue-noise mask
// is measured beside it with the same row loop, for its cost and for how
// much of its error a reader sees.
//
// Cold frames are also presented with the picture turned a quarter either way
// and a half (`everything@90`: the application's frame as wide as the panel is
// high, placed turned into the panel's shadow), beside the upright ones; gray frames too.
//
// Cold frames are presented once more as the engine draws them into a gray
// backing store (one byte a pixel, the same grays), beside a read pass over
// those: the gray path's figures as ratios to its own read pass and to the
// BGRA frame of the same kind.
//
// Timings swing with whatever else the machine runs; only the ratios of one
// run are compared.  Each benchmark runs five times unless told otherwise, and
// the table at the end gives per repetition ratios (repetition k of a figure
// over repetition k of the memcpy or read pass): median and min-max.
//
//   build/release/display_bench [--benchmark_filter=...]
//       [--benchmark_repetitions=N] [--llc_mb=N]
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "display.h"
#include "pixels.h"

namespace {

constexpr unsigned kWidth = 1236, kHeight = 1648;
constexpr size_t kRowBytes = (size_t)kWidth * 4;
constexpr size_t kFrameBytes = kRowBytes * kHeight;
constexpr size_t kGrayFrameBytes = (size_t)kWidth * kHeight;
constexpr unsigned kBandTop = 800, kBandRows = 48;
constexpr int kDefaultRepetitions = 5;
// When the machine tells nothing: larger than the last-level cache of the
// machines this runs on.
constexpr size_t kFallbackLlc = (size_t)32 << 20;

// Gray pixels of level v convert to exactly v, so `level` and 255 - `level`
// differ at every pixel.
void paint(uint8_t* f, bool flipped, unsigned band_top = 0, unsigned band_rows = kHeight) {
  uint32_t seed = 12345;
  for (unsigned y = 0; y < kHeight; ++y)
    for (unsigned x = 0; x < kWidth; ++x) {
      seed = seed * 1103515245u + 12345u;
      uint8_t v = (uint8_t)(seed >> 16);
      if (flipped && y >= band_top && y < band_top + band_rows) v = (uint8_t)(255 - v);
      uint8_t* p = &f[y * kRowBytes + x * 4];
      p[0] = p[1] = p[2] = v;
      p[3] = 255;
    }
}

uint8_t* new_frame(size_t bytes = kFrameBytes) {
  void* p = nullptr;
  if (posix_memalign(&p, 4096, bytes) != 0) abort();
  return (uint8_t*)p;
}

enum Picture { kPage, kPageBand, kPageFlipped, kPictures };

// The three pictures, each painted once.
const uint8_t* picture(Picture which) {
  static uint8_t* pics[kPictures] = {};
  if (!pics[which]) {
    pics[which] = new_frame();
    switch (which) {
      case kPage:
        paint(pics[which], false);
        break;
      case kPageBand:
        paint(pics[which], true, kBandTop, kBandRows);
        break;
      default:
        paint(pics[which], true);
        break;
    }
  }
  return pics[which];
}

// The same pictures as the engine draws them into a gray store.
const uint8_t* gray_picture(Picture which) {
  static uint8_t* pics[kPictures] = {};
  if (!pics[which]) {
    const uint8_t* bgra = picture(which);
    pics[which] = (uint8_t*)malloc(kGrayFrameBytes);
    for (size_t i = 0; i < kGrayFrameBytes; ++i) pics[which][i] = bgra[4 * i];
  }
  return pics[which];
}

// ---- Last-level cache

size_t parse_size(const char* s) {
  char* end = nullptr;
  unsigned long long v = strtoull(s, &end, 10);
  if (end == s) return 0;
  if (*end == 'K' || *end == 'k') v <<= 10;
  if (*end == 'M' || *end == 'm') v <<= 20;
  return (size_t)v;
}

// The largest data or unified cache the kernel lists for processor 0, which is
// the one this processor's cores share.  Some virtual machines report the
// whole package's cache through the processor's own identification (what
// sysconf reads) while a core only ever uses its own part; the kernel's list
// comes first for that reason.
size_t last_level_cache(const char** source) {
  size_t best = 0;
  for (int i = 0; i < 16; ++i) {
    char path[96], buf[64];
    snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu0/cache/index%d/type", i);
    FILE* f = fopen(path, "r");
    if (!f) continue;
    bool instruction = fgets(buf, sizeof buf, f) && strncmp(buf, "Instruction", 11) == 0;
    fclose(f);
    if (instruction) continue;
    snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu0/cache/index%d/size", i);
    f = fopen(path, "r");
    if (!f) continue;
    if (fgets(buf, sizeof buf, f)) best = std::max(best, parse_size(buf));
    fclose(f);
  }
  if (best) {
    *source = "sysfs";
    return best;
  }
  for (int name : {_SC_LEVEL3_CACHE_SIZE, _SC_LEVEL2_CACHE_SIZE}) {
    long v = sysconf(name);
    if (v > 0) {
      *source = "sysconf";
      return (size_t)v;
    }
  }
  *source = "fallback";
  return kFallbackLlc;
}

// ---- Cold frames

// Distinct buffers, more bytes than twice the last-level cache and an even
// count, so that alternating contents alternate across the wrap as well.
struct Rotation {
  size_t bytes = kFrameBytes;
  const uint8_t* (*source)(Picture) = picture;
  std::vector<uint8_t*> frames;
  int contents = -1;
  size_t next = 0;

  void build(size_t llc) {
    size_t n = (2 * llc + bytes - 1) / bytes + 1;
    n += n & 1;
    for (size_t i = 0; i < n; ++i) frames.push_back(new_frame(bytes));
  }

  // Even frames hold `even`, odd ones `odd`; nothing is copied when they
  // already do.
  void fill(Picture even, Picture odd) {
    int want = even * kPictures + odd;
    if (contents == want) return;
    for (size_t i = 0; i < frames.size(); ++i) memcpy(frames[i], source(i % 2 ? odd : even), bytes);
    contents = want;
    next = 0;
  }

  const uint8_t* last() const { return frames.back(); }
  const uint8_t* take() {
    const uint8_t* f = frames[next];
    next = next + 1 == frames.size() ? 0 : next + 1;
    return f;
  }
};

Rotation g_rotation;
Rotation g_gray_rotation{kGrayFrameBytes, gray_picture, {}, -1, 0};

// ---- Baselines

// Every byte of the frame read once, with loads as wide as the processor has,
// and nothing written: what any conversion of the frame costs at the least.
#if defined(__x86_64__)
__attribute__((target_clones("avx2", "default")))
#endif
uint64_t
read_pass(const uint8_t* p, size_t n) {
  typedef uint64_t Vec __attribute__((vector_size(32)));
  Vec a = {}, b = {}, c = {}, d = {};
  size_t i = 0;
  for (; i + 128 <= n; i += 128) {
    Vec w, x, y, z;
    memcpy(&w, p + i, 32);
    memcpy(&x, p + i + 32, 32);
    memcpy(&y, p + i + 64, 32);
    memcpy(&z, p + i + 96, 32);
    a |= w;
    b |= x;
    c |= y;
    d |= z;
  }
  a |= b | c | d;
  uint64_t r = a[0] | a[1] | a[2] | a[3];
  for (; i < n; ++i) r |= p[i];
  return r;
}

uint8_t* memcpy_target() {
  static uint8_t* dst = [] {
    uint8_t* d = new_frame();
    memset(d, 1, kFrameBytes);
    return d;
  }();
  return dst;
}

void BM_memcpy(benchmark::State& state, bool cold) {
  g_rotation.fill(kPage, kPage);
  uint8_t* dst = memcpy_target();
  for (auto _ : state) {
    memcpy(dst, cold ? g_rotation.take() : picture(kPage), kFrameBytes);
    benchmark::DoNotOptimize(dst);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * kFrameBytes));
}

void BM_read(benchmark::State& state, bool cold) {
  g_rotation.fill(kPage, kPage);
  for (auto _ : state) {
    uint64_t r = read_pass(cold ? g_rotation.take() : picture(kPage), kFrameBytes);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * kFrameBytes));
}

void BM_read_gray(benchmark::State& state) {
  g_gray_rotation.fill(kPage, kPage);
  for (auto _ : state) {
    uint64_t r = read_pass(g_gray_rotation.take(), kGrayFrameBytes);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * kGrayFrameBytes));
}

// ---- The frame path

struct Case {
  const char* name;
  Picture other;  // presented after kPage, alternately
};

constexpr Case kCases[] = {
    {"unchanged", kPage},
    {"band", kPageBand},
    {"everything", kPageFlipped},
};

enum Mode { kPlain, kDithered, kNight };
const char* const kModeSuffix[] = {"", "+dither", "+night"};

// Takes the pixel path and the panel's switches for one present benchmark;
// false (the benchmark skipped) where this processor lacks the path.
bool set_up_present(benchmark::State& state, const char* path, Mode mode, int degrees) {
  if (!pixels_use_row8_path(path)) {
    state.SkipWithError("path not run by this processor");
    return false;
  }
  display_set_dithering(mode == kDithered);
  display_set_night(mode == kNight);
  display_set_orientation(degrees);
  return true;
}

// `degrees`: the picture turned clockwise on the panel.  A quarter-turned
// frame is as wide as the panel is high; the same buffers serve, read as
// kHeight pixels by kWidth rows.
void BM_present(benchmark::State& state, const char* path, Case c, bool cold, Mode mode,
                int degrees) {
  if (!set_up_present(state, path, mode, degrees)) return;
  const bool quarter = degrees % 180 != 0;
  const size_t row_bytes = quarter ? (size_t)kHeight * 4 : kRowBytes;
  const size_t rows = quarter ? kWidth : kHeight;
  if (cold) {
    // The shadow holds the last frame of the rotation before the first is
    // presented, so every step compares with what the frame before held.
    g_rotation.fill(kPage, c.other);
    display_present(g_rotation.last(), row_bytes, rows);
    for (auto _ : state) display_present(g_rotation.take(), row_bytes, rows);
    display_set_orientation(0);
  } else {
    const uint8_t* a = picture(kPage);
    const uint8_t* b = picture(c.other);
    display_present(b, kRowBytes, kHeight);
    bool odd = false;
    for (auto _ : state) {
      odd = !odd;
      display_present(odd ? a : b, kRowBytes, kHeight);
    }
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * kFrameBytes));
}

// Cold gray frames of the same pictures, plain or dithered, upright or
// turned (read, as the BGRA ones, as kHeight pixels by kWidth rows).
void BM_present_gray(benchmark::State& state, const char* path, Case c, Mode mode, int degrees) {
  if (!set_up_present(state, path, mode, degrees)) return;
  const bool quarter = degrees % 180 != 0;
  const size_t width = quarter ? kHeight : kWidth, rows = quarter ? kWidth : kHeight;
  g_gray_rotation.fill(kPage, c.other);
  auto present = [&](const uint8_t* f) {
    display_present_pixels(f, width, rows, FramePixels::kGray8);
  };
  present(g_gray_rotation.last());
  for (auto _ : state) present(g_gray_rotation.take());
  display_set_orientation(0);
  state.SetBytesProcessed((int64_t)(state.iterations() * kGrayFrameBytes));
}

// ---- Dither masks

constexpr unsigned kTile = 64;

// Ranks 0..4095 of a tileable 64x64 blue-noise mask, by void and cluster:
// a sparse random pattern settled by moving its tightest cluster into its
// largest void, then ranked by taking clusters out and filling voids, the
// density measured with a Gaussian (sigma 1.5) on the torus.
std::vector<unsigned> blue_noise_ranks() {
  constexpr unsigned n = kTile * kTile;
  std::vector<double> kernel(n);
  for (unsigned y = 0; y < kTile; ++y)
    for (unsigned x = 0; x < kTile; ++x) {
      double dx = std::min(x, kTile - x), dy = std::min(y, kTile - y);
      kernel[y * kTile + x] = std::exp(-(dx * dx + dy * dy) / 4.5);
    }
  auto add = [&](std::vector<double>& density, unsigned p, double sign) {
    for (unsigned y = 0; y < kTile; ++y)
      for (unsigned x = 0; x < kTile; ++x)
        density[y * kTile + x] +=
            sign *
            kernel[(y + kTile - p / kTile) % kTile * kTile + (x + kTile - p % kTile) % kTile];
  };
  // The densest set point, or the emptiest unset one.
  auto extreme = [&](const std::vector<char>& set, const std::vector<double>& density,
                     bool of_set) {
    unsigned best = n;
    for (unsigned p = 0; p < n; ++p)
      if ((bool)set[p] == of_set &&
          (best == n || (of_set ? density[p] > density[best] : density[p] < density[best])))
        best = p;
    return best;
  };
  std::vector<char> set(n, 0);
  std::vector<double> density(n, 0);
  std::mt19937 rng(1648);
  unsigned ones = 0;
  while (ones < n / 10) {
    unsigned p = rng() % n;
    if (set[p]) continue;
    set[p] = 1;
    add(density, p, 1);
    ++ones;
  }
  for (;;) {
    unsigned cluster = extreme(set, density, true);
    set[cluster] = 0;
    add(density, cluster, -1);
    unsigned hole = extreme(set, density, false);
    set[hole] = 1;
    add(density, hole, 1);
    if (hole == cluster) break;
  }
  std::vector<unsigned> rank(n);
  std::vector<char> s = set;
  std::vector<double> d = density;
  for (unsigned r = ones; r-- > 0;) {
    unsigned p = extreme(s, d, true);
    s[p] = 0;
    add(d, p, -1);
    rank[p] = r;
  }
  for (unsigned r = ones; r < n; ++r) {
    unsigned p = extreme(set, density, false);
    set[p] = 1;
    add(density, p, 1);
    rank[p] = r;
  }
  return rank;
}

// Threshold rows laid out as pixels_dither_row gives them: 64 columns and
// one widest block more, here 64 rows of them.
std::vector<uint8_t> g_blue_rows;
constexpr unsigned kRowBytes64 = kTile + 32;

void build_blue_rows() {
  std::vector<unsigned> rank = blue_noise_ranks();
  g_blue_rows.resize(kTile * kRowBytes64);
  for (unsigned y = 0; y < kTile; ++y)
    for (unsigned x = 0; x < kRowBytes64; ++x)
      g_blue_rows[y * kRowBytes64 + x] =
          (uint8_t)(16 - 17 * (2 * rank[y * kTile + x % kTile] + 1) / (2 * kTile * kTile));
}

enum Mask { kNoMask, kBayer, kBlueNoise };

const uint8_t* mask_row(Mask mask, unsigned y) {
  if (mask == kBayer) return pixels_dither_row(y);
  if (mask == kBlueNoise) return &g_blue_rows[y % kTile * kRowBytes64];
  return nullptr;
}

// Every row of cold frames through one path's row loop, every pixel
// changing, into a shadow of its own.
void BM_rows(benchmark::State& state, Mask mask, const char* path) {
  static std::vector<uint8_t> shadow(kWidth * kHeight);
  pixels_use_row8_path(path);
  g_rotation.fill(kPage, kPageFlipped);
  for (auto _ : state) {
    const uint8_t* f = g_rotation.take();
    for (unsigned y = 0; y < kHeight; ++y) {
      unsigned first, last;
      pixels_convert_row8(f + y * kRowBytes, &shadow[y * kWidth], kWidth, 0, mask_row(mask, y),
                          &first, &last);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * kFrameBytes));
}

// The error of flat grays dithered with `mask`: its power at each frequency
// of the 64x64 tile (kx * 64 + ky), summed over all 256 grays.  It does not
// depend on the viewer, so each mask's is computed once.
std::vector<double> error_spectrum(Mask mask) {
  std::vector<double> c(kTile * kTile), s(kTile * kTile);
  for (unsigned k = 0; k < kTile * kTile; ++k) {
    c[k] = std::cos(2 * M_PI * (k / kTile) * (k % kTile) / kTile);
    s[k] = std::sin(2 * M_PI * (k / kTile) * (k % kTile) / kTile);
  }
  std::vector<double> err(kTile * kTile), re(kTile * kTile), im(kTile * kTile);
  std::vector<double> power(kTile * kTile, 0.0);
  for (unsigned gray = 0; gray < 256; ++gray) {
    for (unsigned y = 0; y < kTile; ++y)
      for (unsigned x = 0; x < kTile; ++x)
        err[y * kTile + x] = (double)((gray + mask_row(mask, y)[x]) / 17 * 17) - gray;
    // The transform of the rows, then of the columns.
    for (unsigned y = 0; y < kTile; ++y)
      for (unsigned k = 0; k < kTile; ++k) {
        double a = 0, b = 0;
        for (unsigned x = 0; x < kTile; ++x) {
          a += err[y * kTile + x] * c[k * kTile + x];
          b -= err[y * kTile + x] * s[k * kTile + x];
        }
        re[y * kTile + k] = a;
        im[y * kTile + k] = b;
      }
    for (unsigned kx = 0; kx < kTile; ++kx)
      for (unsigned ky = 0; ky < kTile; ++ky) {
        double a = 0, b = 0;
        for (unsigned y = 0; y < kTile; ++y) {
          double cy = c[ky * kTile + y], sy = s[ky * kTile + y];
          a += re[y * kTile + kx] * cy + im[y * kTile + kx] * sy;
          b += im[y * kTile + kx] * cy - re[y * kTile + kx] * sy;
        }
        power[kx * kTile + ky] += a * a + b * b;
      }
  }
  return power;
}

// How much of a mask's error (error_spectrum) a reader sees: the spectrum
// weighted by the eye's contrast sensitivity (Nasanen's exponential model at
// 11 cd/m2, a page under a reading lamp), for `ppd` pixels per degree, as an
// RMS in gray levels over all 256 grays.
double visible_error(const std::vector<double>& spectrum, double ppd) {
  const double falloff = 0.525 * std::log(11.0) + 3.91;  // cycles per degree
  double total = 0;
  for (unsigned kx = 0; kx < kTile; ++kx)
    for (unsigned ky = 0; ky < kTile; ++ky) {
      double fx = std::min(kx, kTile - kx), fy = std::min(ky, kTile - ky);
      double weight = std::exp(-std::sqrt(fx * fx + fy * fy) * ppd / kTile / falloff);
      total += spectrum[kx * kTile + ky] * weight * weight;
    }
  return std::sqrt(total / std::pow((double)kTile, 4) / 256);
}

// ---- Report

// The console output as usual, then a table of every figure as a ratio to the
// memcpy and the read pass of the same temperature, repetition by repetition.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations == 0) continue;
      // Processor time of the benchmark thread: on a machine shared with
      // other work the wall clock also counts the time spent waiting for a
      // core, which is not the frame path's.
      std::string name = r.benchmark_name();
      if (times_.find(name) == times_.end()) order_.push_back(name);
      times_[name].push_back(r.cpu_accumulated_time / (double)r.iterations);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  struct Ratio {
    double median = 0, low = 0, high = 0;
    bool valid = false;
  };

  Ratio ratio(const std::string& name, const std::string& base) const {
    Ratio out;
    auto a = times_.find(name), b = times_.find(base);
    if (a == times_.end() || b == times_.end()) return out;
    std::vector<double> r;
    for (size_t k = 0; k < a->second.size() && k < b->second.size(); ++k)
      r.push_back(a->second[k] / b->second[k]);
    if (r.empty()) return out;
    out.median = median(r);
    out.low = *std::min_element(r.begin(), r.end());
    out.high = *std::max_element(r.begin(), r.end());
    out.valid = true;
    return out;
  }

  void print_table() const {
    printf("\n%-34s %9s  %-20s %-20s\n", "frame (1236x1648, 8-bit)", "median ms",
           "x memcpy (min-max)", "x read (min-max)");
    for (const std::string& name : order_) {
      std::string temp = name.substr(0, name.find('/'));
      std::string cells[2];
      const char* bases[2] = {"/memcpy", "/read"};
      for (int i = 0; i < 2; ++i) {
        Ratio r = ratio(name, temp + bases[i]);
        char buf[64] = "";
        if (r.valid) snprintf(buf, sizeof buf, "%.2f (%.2f-%.2f)", r.median, r.low, r.high);
        cells[i] = buf;
      }
      printf("%-34s %9.3f  %-20s %-20s\n", name.c_str(), median(times_.at(name)) * 1e3,
             cells[0].c_str(), cells[1].c_str());
    }
  }

  // The two masks side by side: what converting a frame with each costs, and
  // what a reader sees of its error on a 300 dpi panel and a 212 dpi one at
  // 30 cm (62 and 44 pixels per degree).
  void print_masks() const {
    printf("\n%-18s %9s  %-22s %14s %14s\n", "dither mask", "median ms", "x undithered (min-max)",
           "seen, 300 dpi", "seen, 212 dpi");
    const struct {
      const char* name;
      const char* bench;
      Mask mask;
    } rows[] = {{"bayer 8x8", "cold/rows/bayer", kBayer},
                {"blue noise 64x64", "cold/rows/blue-noise", kBlueNoise}};
    for (const auto& r : rows) {
      auto t = times_.find(r.bench);
      Ratio q = ratio(r.bench, "cold/rows/undithered");
      if (t == times_.end() || !q.valid) continue;
      char cost[64];
      snprintf(cost, sizeof cost, "%.2f (%.2f-%.2f)", q.median, q.low, q.high);
      std::vector<double> spectrum = error_spectrum(r.mask);
      printf("%-18s %9.3f  %-22s %14.3f %14.3f\n", r.name, median(t->second) * 1e3, cost,
             visible_error(spectrum, 61.8), visible_error(spectrum, 43.7));
    }
  }

  // Gray frames beside BGRA ones: each to its own read pass, and gray to BGRA.
  void print_gray(const char* path) const {
    printf("\n%-22s %9s  %-18s %-18s %-18s\n", "gray frame, cold", "median ms", "x gray read",
           "x bgra frame", "bgra x bgra read");
    for (const Case& c : kCases)
      for (const char* mode : {"", "+dither"}) {
        std::string kind = std::string(c.name) + mode;
        std::string gray = "cold/gray-" + kind + "/" + path, bgra = "cold/" + kind + "/" + path;
        auto t = times_.find(gray);
        if (t == times_.end()) continue;
        std::string cells[3];
        Ratio rs[3] = {ratio(gray, "cold/read-gray"), ratio(gray, bgra), ratio(bgra, "cold/read")};
        for (int i = 0; i < 3; ++i) {
          char buf[64] = "";
          if (rs[i].valid)
            snprintf(buf, sizeof buf, "%.2f (%.2f-%.2f)", rs[i].median, rs[i].low, rs[i].high);
          cells[i] = buf;
        }
        printf("%-22s %9.3f  %-18s %-18s %-18s\n", kind.c_str(), median(t->second) * 1e3,
               cells[0].c_str(), cells[1].c_str(), cells[2].c_str());
      }
  }

  // What the frame path is held to, cold, on the path this processor takes.
  void print_targets(const char* path) const {
    struct Target {
      const char* what;
      const char* base;
      double limit;
    };
    const Target targets[] = {
        {"gray-unchanged", "unchanged", 0.4}, {"gray-everything", "everything", 0.4},
        {"unchanged", "read", 1.25},          {"unchanged", "memcpy", 1.0},
        {"everything", "read", 1.5},          {"everything", "memcpy", 1.0},
    };
    printf("\ntargets, cold, %s path (median ratio):\n", path);
    for (const Target& t : targets) {
      std::string base = std::string("cold/") + t.base;
      if (strcmp(t.base, "read") && strcmp(t.base, "memcpy")) base += std::string("/") + path;
      Ratio r = ratio(std::string("cold/") + t.what + "/" + path, base);
      if (!r.valid) continue;
      printf("  %-15s <= %.2f x %-10s  %.2f  %s\n", t.what, t.limit, t.base, r.median,
             r.median <= t.limit ? "met" : "MISSED");
    }
    // A turned frame against the same frame upright, BGRA and gray.
    for (std::string source : {"", "gray-"})
      for (const Case& c : kCases)
        for (int degrees : {90, 180, 270}) {
          std::string name = source + c.name;
          std::string plain = "cold/" + name + "/" + path;
          Ratio r = ratio("cold/" + name + "@" + std::to_string(degrees) + "/" + path, plain);
          if (!r.valid) continue;
          printf("  %-15s turned %3d <= 1.50 x upright  %.2f  %s\n", name.c_str(), degrees,
                 r.median, r.median <= 1.5 ? "met" : "MISSED");
        }
    // A dithered frame against the same frame undithered.
    for (const Case& c : kCases) {
      std::string plain = std::string("cold/") + c.name + "/" + path;
      Ratio r = ratio(std::string("cold/") + c.name + "+dither/" + path, plain);
      if (!r.valid) continue;
      printf("  %-10s dithered <= 1.30 x undithered  %.2f  %s\n", c.name, r.median,
             r.median <= 1.3 ? "met" : "MISSED");
    }
  }

 private:
  static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

  std::map<std::string, std::vector<double>> times_;
  std::vector<std::string> order_;
};

}  // namespace

int main(int argc, char** argv) {
  // Five repetitions unless the command line asks otherwise: the spread of the
  // ratios is part of the result.
  std::vector<char*> args(argv, argv + argc);
  std::string reps = "--benchmark_repetitions=" + std::to_string(kDefaultRepetitions);
  size_t llc_override = 0;
  bool have_reps = false;
  for (size_t i = 1; i < args.size();) {
    if (strncmp(args[i], "--llc_mb=", 9) == 0) {
      llc_override = (size_t)strtoull(args[i] + 9, nullptr, 10) << 20;
      args.erase(args.begin() + (long)i);
      continue;
    }
    if (strncmp(args[i], "--benchmark_repetitions", 23) == 0) have_reps = true;
    ++i;
  }
  if (!have_reps) args.push_back(reps.data());
  int nargs = (int)args.size();
  benchmark::Initialize(&nargs, args.data());
  if (benchmark::ReportUnrecognizedArguments(nargs, args.data())) return 1;

  // An 8-bit panel on the stand-in framebuffer without an e-ink driver: the
  // refresh request costs nothing and the frame path is all that is measured.
  setenv("FOLIAN_SIM_FB_XRES", "1236", 1);
  setenv("FOLIAN_SIM_FB_YRES", "1648", 1);
  setenv("FOLIAN_SIM_EPDC", "none", 1);
  setenv("FOLIAN_KEEP_SCREEN", "1", 1);
  DisplayInfo info{};
  if (!display_open(&info)) return 1;
  const char* best = pixels_row8_path();
  // The first frame finds that no driver answers, so night mode inverts in
  // the conversion, as it does on a panel whose driver cannot.
  display_present(picture(kPage), kRowBytes, kHeight);
  build_blue_rows();

  const char* llc_source = "--llc_mb";
  size_t llc = llc_override ? llc_override : last_level_cache(&llc_source);
  g_rotation.build(llc);
  g_gray_rotation.build(llc);
  printf("default 8-bit path on this processor: %s\n", best);
  printf("last-level cache %.1f MB (%s); cold rotation %zu frames x %.1f MB = %.1f MB\n",
         llc / 1048576.0, llc_source, g_rotation.frames.size(), kFrameBytes / 1048576.0,
         g_rotation.frames.size() * (kFrameBytes / 1048576.0));

  for (bool cold : {true, false}) {
    std::string temp = cold ? "cold/" : "warm/";
    benchmark::RegisterBenchmark((temp + "memcpy").c_str(), BM_memcpy, cold);
    benchmark::RegisterBenchmark((temp + "read").c_str(), BM_read, cold);
    for (const char* path : {"scalar", "sse2", "avx2", "neon"}) {
      if (!pixels_use_row8_path(path)) continue;
      for (const Case& c : kCases)
        for (Mode mode : {kPlain, kDithered, kNight}) {
          if (!cold && mode != kPlain) continue;
          std::string name = temp + c.name + kModeSuffix[mode] + "/" + path;
          benchmark::RegisterBenchmark(name.c_str(), BM_present, path, c, cold, mode, 0);
        }
      // Turned a quarter either way and a half, cold and plain.
      for (const Case& c : kCases)
        for (int degrees : {90, 180, 270}) {
          if (!cold) continue;
          std::string name = temp + c.name + "@" + std::to_string(degrees) + "/" + path;
          benchmark::RegisterBenchmark(name.c_str(), BM_present, path, c, cold, kPlain, degrees);
        }
    }
  }
  benchmark::RegisterBenchmark("cold/read-gray", BM_read_gray);
  for (const char* path : {"scalar", "sse2", "avx2", "neon"}) {
    if (!pixels_use_row8_path(path)) continue;
    for (const Case& c : kCases)
      for (Mode mode : {kPlain, kDithered}) {
        std::string name = std::string("cold/gray-") + c.name + kModeSuffix[mode] + "/" + path;
        benchmark::RegisterBenchmark(name.c_str(), BM_present_gray, path, c, mode, 0);
      }
    for (const Case& c : kCases)
      for (int degrees : {90, 180, 270}) {
        std::string name =
            std::string("cold/gray-") + c.name + "@" + std::to_string(degrees) + "/" + path;
        benchmark::RegisterBenchmark(name.c_str(), BM_present_gray, path, c, kPlain, degrees);
      }
  }
  pixels_use_row8_path(best);
  benchmark::RegisterBenchmark("cold/rows/undithered", BM_rows, kNoMask, best);
  benchmark::RegisterBenchmark("cold/rows/bayer", BM_rows, kBayer, best);
  benchmark::RegisterBenchmark("cold/rows/blue-noise", BM_rows, kBlueNoise, best);
  for (int p = 0; p < kPictures; ++p) gray_picture((Picture)p);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_table();
  reporter.print_masks();
  reporter.print_gray(best);
  reporter.print_targets(best);
  benchmark::Shutdown();
  display_close();
  return 0;
}
