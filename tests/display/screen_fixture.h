// Shared helpers for the display and e-ink tests: environment set for one
// test, frames built in the engine's pixel order, and the stand-in
// framebuffer's memory read back.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "display.h"
#include "sim_fb.h"
#include "stderr_capture.h"

using EnvList = std::vector<std::pair<const char*, const char*>>;

// Sets variables for the lifetime of the object and unsets them afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const EnvList& vars = {}) { set(vars); }
  void set(const EnvList& vars) {
    for (auto& [k, v] : vars) {
      setenv(k, v, 1);
      names_.push_back(k);
    }
  }
  ~ScopedEnv() {
    for (auto& k : names_) unsetenv(k.c_str());
  }

 private:
  std::vector<std::string> names_;
};

// A frame of engine pixels (blue, green, red, alpha), `row_bytes` per row.
struct Frame {
  unsigned width, height;
  size_t row_bytes;
  std::vector<uint8_t> bytes;
  FramePixels format;

  Frame(unsigned w, unsigned h, uint32_t rgb = 0xFFFFFF, size_t stride = 0,
        FramePixels pixels = FramePixels::kBgra)
      : width(w),
        height(h),
        row_bytes(stride ? stride : (size_t)w * pixels_frame_bytes(pixels)),
        bytes(row_bytes * h + 1),
        format(pixels) {
    rect(0, 0, w, h, rgb);
  }
  // `rgb` as 0xRRGGBB; alpha gets a value that must never be looked at.  In
  // the engine's gray and RGB565 frames `rgb` is the pixel's value itself.
  void set(unsigned x, unsigned y, uint32_t rgb) {
    uint8_t* p = &bytes[y * row_bytes + x * pixels_frame_bytes(format)];
    if (format != FramePixels::kBgra) {
      uint16_t v = (uint16_t)rgb;
      memcpy(p, &v, pixels_frame_bytes(format));
      return;
    }
    p[0] = (uint8_t)rgb;
    p[1] = (uint8_t)(rgb >> 8);
    p[2] = (uint8_t)(rgb >> 16);
    p[3] = 0x5A;
  }
  void rect(unsigned x0, unsigned y0, unsigned w, unsigned h, uint32_t rgb) {
    for (unsigned y = y0; y < y0 + h; ++y)
      for (unsigned x = x0; x < x0 + w; ++x) set(x, y, rgb);
  }
  bool present(size_t rows = (size_t)-1) const {
    return display_present_pixels(bytes.data(), row_bytes, rows == (size_t)-1 ? height : rows,
                                  format);
  }
};

// The pixel (x, y) of a screen of `stride` bytes per row and `bytes` per pixel
// in the stand-in's memory, with its visible origin at `origin`.
inline uint32_t panel_at(unsigned x, unsigned y, size_t stride, unsigned bytes = 1,
                         size_t origin = 0) {
  std::vector<uint8_t> mem = sim_fb_memory();
  uint32_t v = 0;
  memcpy(&v, &mem.at(origin + y * stride + x * bytes), bytes);
  return v;
}
