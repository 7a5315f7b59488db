// Cost of presenting a frame on a 1236x1648 8-bit panel, per conversion path:
// a frame identical to the last, one that changes a band of rows (a line of
// text) and one that changes every pixel.  Each is also given as a ratio to a
// memcpy of the same source bytes measured in the same run, which is what
// the frame path is judged against on any machine.
//
//   build/release/display_bench [--benchmark_filter=...] [--benchmark_repetitions=N]
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "display.h"

namespace {

constexpr unsigned kWidth = 1236, kHeight = 1648;
constexpr size_t kRowBytes = (size_t)kWidth * 4;
constexpr size_t kFrameBytes = kRowBytes * kHeight;
constexpr unsigned kBandTop = 800, kBandRows = 48;

// Gray pixels of level v convert to exactly v, so `level` and 255 - `level`
// differ at every pixel.
std::vector<uint8_t> page(bool flipped, unsigned band_top = 0, unsigned band_rows = kHeight) {
  std::vector<uint8_t> f(kFrameBytes);
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
  return f;
}

const std::vector<uint8_t>& frame_a() {
  static const std::vector<uint8_t> f = page(false);
  return f;
}

void BM_memcpy(benchmark::State& state) {
  const std::vector<uint8_t>& src = frame_a();
  std::vector<uint8_t> dst(kFrameBytes, 1);
  for (auto _ : state) {
    memcpy(dst.data(), src.data(), kFrameBytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * kFrameBytes));
}

// Presents `a` and `b` alternately (the same frame twice for the unchanged case).
void present_pair(benchmark::State& state, const char* path, const std::vector<uint8_t>& a,
                  const std::vector<uint8_t>& b) {
  if (!display_use_row8_path(path)) {
    state.SkipWithError("path not run by this processor");
    return;
  }
  display_present(a.data(), kRowBytes, kHeight);
  bool odd = false;
  for (auto _ : state) {
    odd = !odd;
    display_present((odd ? b : a).data(), kRowBytes, kHeight);
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * kFrameBytes));
}

void BM_unchanged(benchmark::State& state, const char* path) {
  present_pair(state, path, frame_a(), frame_a());
}

void BM_band(benchmark::State& state, const char* path) {
  static const std::vector<uint8_t> b = page(true, kBandTop, kBandRows);
  present_pair(state, path, frame_a(), b);
}

void BM_everything(benchmark::State& state, const char* path) {
  static const std::vector<uint8_t> b = page(true);
  present_pair(state, path, frame_a(), b);
}

// The console output as usual, then one line per benchmark with its time per
// frame as a multiple of the memcpy's (best of the repetitions of each).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations == 0) continue;
      // Processor time of the benchmark thread: on a machine shared with
      // other work the wall clock also counts the time spent waiting for a
      // core, which is not the frame path's.
      double per = r.cpu_accumulated_time / (double)r.iterations;
      std::string name = r.benchmark_name();
      auto it = best_.find(name);
      if (it == best_.end()) {
        order_.push_back(name);
        best_[name] = per;
      } else if (per < it->second) {
        it->second = per;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void print_ratios() const {
    auto base = best_.find("BM_memcpy");
    if (base == best_.end()) return;
    printf("\n%-28s %10s %10s\n", "frame (1236x1648, 8-bit)", "cpu ms", "x memcpy");
    for (const std::string& name : order_) {
      double per = best_.at(name);
      printf("%-28s %10.3f %10.2f\n", name.c_str(), per * 1e3, per / base->second);
    }
  }

 private:
  std::map<std::string, double> best_;
  std::vector<std::string> order_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  // An 8-bit panel on the stand-in framebuffer without an e-ink driver: the
  // refresh request costs nothing and the frame path is all that is measured.
  setenv("FOLIAN_SIM_FB_XRES", "1236", 1);
  setenv("FOLIAN_SIM_FB_YRES", "1648", 1);
  setenv("FOLIAN_SIM_EPDC", "none", 1);
  setenv("FOLIAN_KEEP_SCREEN", "1", 1);
  DisplayInfo info{};
  if (!display_open(&info)) return 1;
  printf("default 8-bit path on this processor: %s\n", display_row8_path());
  const char* best = display_row8_path();

  benchmark::RegisterBenchmark("BM_memcpy", BM_memcpy);
  for (const char* path : {"scalar", "sse2", "avx2", "neon"}) {
    if (!display_use_row8_path(path)) continue;
    benchmark::RegisterBenchmark((std::string("BM_unchanged/") + path).c_str(), BM_unchanged, path);
    benchmark::RegisterBenchmark((std::string("BM_band/") + path).c_str(), BM_band, path);
    benchmark::RegisterBenchmark((std::string("BM_everything/") + path).c_str(), BM_everything, path);
  }
  display_use_row8_path(best);
  frame_a();

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  display_close();
  return 0;
}
