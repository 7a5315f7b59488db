// The stand-in engine's side of the program's compositor (compositor.h).

#include "compositor.h"

#include "release.h"
#include "trace.h"

namespace stand_in {

void Compositor::collect() {
  if (!held_) return;
  held_ = false;
  // The store's own destruction callback goes with the Skia surface, then
  // the render target is handed back.
  if (store_.type == kFlutterBackingStoreTypeSoftware2 && store_.software2.destruction_callback)
    store_.software2.destruction_callback(store_.software2.user_data);
  if (store_.type == kFlutterBackingStoreTypeSoftware && store_.software.destruction_callback)
    store_.software.destruction_callback(store_.software.user_data);
  bool ok = e_.compositor.collect_backing_store_callback(&store_, e_.compositor.user_data);
  trace("backing_store", fmt("op=collect result=%d", ok ? 1 : 0));
}

const FlutterBackingStore* Compositor::get(Frame& f) {
  if (!held_ || f.width != width_ || f.rows != rows_) {
    collect();
    if (!create(f)) {
      collect();  // what was handed out goes back; the frame is dropped
      return nullptr;
    }
  }
  const bool software2 = store_.type == kFlutterBackingStoreTypeSoftware2;
  f.pixels = pixels_;
  f.row_bytes = (int)(software2 ? store_.software2.row_bytes : store_.software.row_bytes);
  return &store_;
}

bool Compositor::create(const Frame& f) {
  FlutterBackingStoreConfig config{};
  config.struct_size = known<FlutterBackingStoreConfig>();
  config.size = {(double)f.width, (double)f.rows};
  store_ = {};
  store_.struct_size = sizeof store_;
  if (!e_.compositor.create_backing_store_callback(&config, &store_, e_.compositor.user_data)) {
    violation("create_backing_store_callback failed");
    return false;
  }
  if (store_.struct_size != sizeof store_) {
    violation("Embedder modified the backing store struct size.");
    return false;
  }
  const FlutterSoftwareBackingStore2& s2 = store_.software2;
  const bool software2 = store_.type == kFlutterBackingStoreTypeSoftware2;
  size_t row_bytes = software2 ? s2.row_bytes : store_.software.row_bytes;
  size_t height = software2 ? s2.height : store_.software.height;
  trace("backing_store", fmt("op=create type=%d format=%d row_bytes=%zu height=%zu struct_size=%zu",
                             (int)store_.type, software2 ? (int)s2.pixel_format : -1, row_bytes,
                             height, software2 ? s2.struct_size : 0));
  held_ = true;
  width_ = f.width;
  rows_ = f.rows;
  if (store_.type == kFlutterBackingStoreTypeSoftware) {
    pixels_ = Pixels::kBgra;
  } else if (software2 && kRelease >= kSoftware2Release) {
    switch (s2.pixel_format) {
      case kFlutterSoftwarePixelFormatGray8:
        pixels_ = Pixels::kGray8;
        break;
      case kFlutterSoftwarePixelFormatRGB565:
        pixels_ = Pixels::kRgb565;
        break;
      case kFlutterSoftwarePixelFormatBGRA8888:
        pixels_ = Pixels::kBgra;
        break;
      default:
        violation(fmt("pixel format %d the stand-in does not draw", (int)s2.pixel_format));
        return false;
    }
  } else {
    // Before 3.7 type 4 is no type the engine knows.
    violation(fmt("Backing store type %d unknown to this release", (int)store_.type));
    return false;
  }
  const void* allocation = software2 ? s2.allocation : store_.software.allocation;
  if (!allocation || row_bytes < (size_t)f.width * bytes_per_pixel(pixels_) ||
      height < (size_t)f.rows) {
    violation("backing store smaller than the frame or without memory");
    return false;
  }
  return true;
}

bool Compositor::present(const FlutterBackingStore* s, const Frame& f) {
  FlutterRect whole{0, 0, (double)f.width, (double)f.rows};
  FlutterRegion region{sizeof region, 1, &whole};
  FlutterBackingStorePresentInfo info{sizeof info, &region};
  FlutterLayer layer{};
  layer.struct_size = known<FlutterLayer>();
  layer.type = kFlutterLayerContentTypeBackingStore;
  layer.backing_store = s;
  layer.size = {(double)f.width, (double)f.rows};
  layer.backing_store_present_info = &info;
  const FlutterLayer* layers[] = {&layer};
  if (e_.compositor.present_layers_callback)
    return e_.compositor.present_layers_callback(layers, 1, e_.compositor.user_data);
  FlutterPresentViewInfo view{sizeof view, 0, layers, 1, e_.compositor.user_data};
  return e_.compositor.present_view_callback(&view);
}

}  // namespace stand_in
