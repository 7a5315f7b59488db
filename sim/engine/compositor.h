// The program's compositor, driven as the engine's embedder view embedder
// drives it (embedder_external_view_embedder.cc and the render target
// cache), for the raster thread (engine.cpp): one backing store of the
// frame's size, asked for once and kept while the size stays, collected when
// it changes and when the raster thread ends; each frame one layer of it,
// through whichever present callback the program gave.
#pragma once

#include "engine.h"

namespace stand_in {

class Compositor {
 public:
  explicit Compositor(_FlutterEngine& engine) : e_(engine) {}
  ~Compositor() { collect(); }
  Compositor(const Compositor&) = delete;
  Compositor& operator=(const Compositor&) = delete;

  // The store for a frame, whose pixels and row bytes it sets from the
  // store, or null after a violation (embedder.cc,
  // CreateEmbedderRenderTarget and MakeRenderTargetFromBackingStore).
  const FlutterBackingStore* get(Frame& f);
  // The frame drawn into the store, as one layer.
  bool present(const FlutterBackingStore* store, const Frame& f);

 private:
  void collect();
  bool create(const Frame& f);

  _FlutterEngine& e_;
  FlutterBackingStore store_{};
  bool held_ = false;
  int width_ = 0, rows_ = 0;
  Pixels pixels_ = Pixels::kBgra;
};

}  // namespace stand_in
