// Shared helpers for the display and e-ink tests: environment set for one
// test, standard error captured, frames built in the engine's pixel order, and
// the stand-in framebuffer's memory read back.
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

// Sets variables for the lifetime of the object and unsets them afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> vars) {
    for (auto& [k, v] : vars) set(k, v);
  }
  void set(const char* k, const char* v) {
    setenv(k, v, 1);
    names_.push_back(k);
  }
  ~ScopedEnv() {
    for (auto& k : names_) unsetenv(k.c_str());
  }

 private:
  std::vector<std::string> names_;
};

// Everything written to standard error between construction and text().
class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    file_ = tmpfile();
    saved_ = dup(2);
    dup2(fileno(file_), 2);
  }
  std::string text() {
    if (saved_ >= 0) {
      fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
      rewind(file_);
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, file_)) > 0) text_.append(buf, n);
      fclose(file_);
    }
    return text_;
  }
  ~StderrCapture() { text(); }

 private:
  FILE* file_ = nullptr;
  int saved_ = -1;
  std::string text_;
};

inline size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A frame of engine pixels (blue, green, red, alpha), `row_bytes` per row.
struct Frame {
  unsigned width, height;
  size_t row_bytes;
  std::vector<uint8_t> bytes;

  Frame(unsigned w, unsigned h, uint32_t bgr = 0xFFFFFF, size_t stride = 0)
      : width(w), height(h), row_bytes(stride ? stride : (size_t)w * 4), bytes(row_bytes * h + 1) {
    for (unsigned y = 0; y < h; ++y)
      for (unsigned x = 0; x < w; ++x) set(x, y, bgr);
  }
  // `rgb` as 0xRRGGBB.
  void set(unsigned x, unsigned y, uint32_t rgb) {
    uint8_t* p = &bytes[y * row_bytes + x * 4];
    p[0] = (uint8_t)rgb;
    p[1] = (uint8_t)(rgb >> 8);
    p[2] = (uint8_t)(rgb >> 16);
    p[3] = 0x5A;  // alpha is never looked at
  }
  void rect(unsigned x0, unsigned y0, unsigned w, unsigned h, uint32_t rgb) {
    for (unsigned y = y0; y < y0 + h; ++y)
      for (unsigned x = x0; x < x0 + w; ++x) set(x, y, rgb);
  }
  bool present(size_t rows = (size_t)-1) const {
    return display_present(bytes.data(), row_bytes, rows == (size_t)-1 ? height : rows);
  }
};

// The stand-in's memory seen as a screen of `stride` bytes per row with its
// visible origin at `origin`.
struct PanelView {
  std::vector<uint8_t> mem;
  size_t origin, stride;
  PanelView(size_t origin_, size_t stride_) : mem(sim_fb_memory()), origin(origin_), stride(stride_) {}
  uint8_t at(unsigned x, unsigned y) const { return mem[origin + y * stride + x]; }
  uint16_t at16(unsigned x, unsigned y) const {
    uint16_t v;
    memcpy(&v, &mem[origin + y * stride + x * 2], 2);
    return v;
  }
  uint32_t at32(unsigned x, unsigned y) const {
    uint32_t v;
    memcpy(&v, &mem[origin + y * stride + x * 4], 4);
    return v;
  }
};

inline std::string read_file(const std::string& path) {
  std::string s;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return s;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}
