// The compositor: where the engine can draw into memory of the panel's own
// format (8-bit gray, or RGB565 on 16-bit panels), folian hands it backing
// stores of that format and takes the finished frames from them, so that
// neither Skia nor the conversion touches four bytes a pixel.  Engines
// without it, and 32-bit panels, keep the software renderer's BGRA frames.
#pragma once

#include <stdint.h>

#include "display.h"
#include "flutter_embedder.h"

// The first release whose engine takes Software2 backing stores: 3.7.
constexpr int kFirstGrayRelease = 307;

// FOLIAN_PIXELS as compositor_choose reads it: a word not of the three is
// told in one line and "auto" stands.
enum class PixelsSetting { kAuto, kGray, kBgra };
PixelsSetting compositor_read_settings();

// What the engine draws for a panel of `bpp` bits (`rgb565`: its 16-bit
// pixels are red 11..15, green 5..10, blue 0..4) with an engine of `release`
// (major * 100 + minor; -1 unknown, counted as the newest), under
// FOLIAN_PIXELS: "auto" (the default) the panel's format where the engine
// draws it, "bgra" always BGRA, "gray" the panel's format, which on an
// engine without it is told in one error line, and BGRA stands.
FramePixels compositor_choose(int release, uint32_t bpp, bool rgb565);

// The compositor to put in FlutterProjectArgs for `pixels`, or nullptr for
// BGRA (the software renderer's present callback alone).  One information
// line names the choice.
const FlutterCompositor* compositor_open(FramePixels pixels, const char* engine_name);

// --check: whether the engine of `release` draws the panel's format, or why
// not, in one line.
void compositor_tell_check(int release, const char* engine_name);
