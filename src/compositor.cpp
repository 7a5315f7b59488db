#include "compositor.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "log.h"
#include "settings.h"

namespace {

FramePixels g_pixels = FramePixels::kBgra;
FlutterCompositor g_compositor{};
// Several layers (platform views, which no application here has) are told
// once, not at every frame.
std::atomic<bool> g_told_layers{false};

size_t bytes_per_pixel(FramePixels pixels) {
  switch (pixels) {
    case FramePixels::kGray8:
      return 1;
    case FramePixels::kRgb565:
      return 2;
    case FramePixels::kBgra:
      break;
  }
  return 4;
}

FlutterSoftwarePixelFormat engine_format(FramePixels pixels) {
  return pixels == FramePixels::kGray8    ? kFlutterSoftwarePixelFormatGray8
         : pixels == FramePixels::kRgb565 ? kFlutterSoftwarePixelFormatRGB565
                                          : kFlutterSoftwarePixelFormatBGRA8888;
}

// Skia clears and redraws the whole store every frame; the memory's own
// content never shows, so it is neither cleared here nor kept.
void on_store_destroyed(void*) {}

bool on_create_backing_store(const FlutterBackingStoreConfig* config, FlutterBackingStore* out,
                             void*) {
  double w = ceil(config->size.width), h = ceil(config->size.height);
  if (!(w >= 1 && h >= 1 && w <= 65536 && h <= 65536)) {
    log_error("引擎要的画面尺寸 %.0fx%.0f 不对，不给\n", config->size.width, config->size.height);
    return false;
  }
  size_t row_bytes = (size_t)w * bytes_per_pixel(g_pixels);
  void* memory = calloc((size_t)h, row_bytes);
  if (!memory) {
    log_error("分配画面内存失败（%.0fx%.0f）\n", w, h);
    return false;
  }
  // struct_size is the engine's: it says how much of the record it knows.
  out->user_data = memory;
  out->type = kFlutterBackingStoreTypeSoftware2;
  out->software2.struct_size = sizeof(FlutterSoftwareBackingStore2);
  out->software2.allocation = memory;
  out->software2.row_bytes = row_bytes;
  out->software2.height = (size_t)h;
  out->software2.user_data = memory;
  out->software2.destruction_callback = on_store_destroyed;
  out->software2.pixel_format = engine_format(g_pixels);
  return true;
}

bool on_collect_backing_store(const FlutterBackingStore* store, void*) {
  free(store->user_data);
  return true;
}

// One layer, a store of ours: the frame.  The engine gives more only for
// platform views, which need compositing this program does not do.
bool on_present_layers(const FlutterLayer** layers, size_t count, void*) {
  if (count == 0) return true;
  const FlutterLayer* layer = layers[0];
  if (count > 1 || layer->type != kFlutterLayerContentTypeBackingStore ||
      layer->backing_store->type != kFlutterBackingStoreTypeSoftware2) {
    if (!g_told_layers.exchange(true))
      log_error("引擎送来 %zu 层画面（平台视图），只显示单层的帧\n", count);
    return false;
  }
  const FlutterSoftwareBackingStore2& store = layer->backing_store->software2;
  return display_present_pixels(store.allocation, store.row_bytes, store.height, g_pixels);
}

// In the order of PixelsSetting.
const char* const kSettingNames[] = {"auto", "gray", "bgra"};

}  // namespace

PixelsSetting compositor_read_settings() {
  const int fallback = (int)PixelsSetting::kAuto;
  return (PixelsSetting)setting_choice("FOLIAN_PIXELS", kSettingNames, 3, fallback, fallback);
}

FramePixels compositor_choose(int release, uint32_t bpp, bool rgb565) {
  const PixelsSetting want = compositor_read_settings();
  if (want == PixelsSetting::kBgra) return FramePixels::kBgra;
  const bool engine_can = release < 0 || release >= kFirstGrayRelease;
  FramePixels panel = bpp == 8              ? FramePixels::kGray8
                      : bpp == 16 && rgb565 ? FramePixels::kRgb565
                                            : FramePixels::kBgra;
  if (want == PixelsSetting::kGray && !engine_can && panel != FramePixels::kBgra)
    log_error("FOLIAN_PIXELS=gray：这个引擎（Flutter 3.7 之前）只画 BGRA，用 BGRA\n");
  return engine_can ? panel : FramePixels::kBgra;
}

const FlutterCompositor* compositor_open(FramePixels pixels, const char* engine_name) {
  g_pixels = pixels;
  display_set_frame_pixels(pixels);
  if (pixels == FramePixels::kBgra) {
    log_info("画面格式：BGRA，由 folian 转成屏幕的格式（引擎 %s）\n", engine_name);
    return nullptr;
  }
  log_info("画面格式：%s，引擎（%s）直接画屏幕的格式\n", pixels_frame_name(pixels), engine_name);
  g_compositor = {};
  g_compositor.struct_size = sizeof g_compositor;
  g_compositor.create_backing_store_callback = on_create_backing_store;
  g_compositor.collect_backing_store_callback = on_collect_backing_store;
  // Not present_view_callback: engines before 3.22 know only this one, and
  // every engine refuses a compositor that sets both.
  g_compositor.present_layers_callback = on_present_layers;
  return &g_compositor;
}

void compositor_tell_check(int release, const char* engine_name) {
  if (release < 0 || release >= kFirstGrayRelease)
    log_info("画面格式：引擎（%s）能直接画屏幕的格式（8 位屏 Gray8，16 位屏 RGB565）\n",
             engine_name);
  else
    log_info("画面格式：引擎（%s）只画 BGRA，由 folian 转换（Flutter 3.7 起才能直接画灰度）\n",
             engine_name);
}
