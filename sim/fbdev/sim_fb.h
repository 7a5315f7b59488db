// Stand-in framebuffer and EPDC panel driver.  Preloaded into the program (or
// linked into a unit test), it answers opens of one chosen device path with a
// memory-backed node that can be mapped for real, the screen-information
// requests, one of the four EPDC send-update layouts and the wait for an
// update to complete, checking and answering them as the kernels' drivers do.  Configured by
// FOLIAN_SIM_FB_* and FOLIAN_SIM_EPDC_* variables, read at each open of the node (see README.md).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct SimUpdate {
  std::string kind;  // layout the driver took: mtk, zelda, rex or classic
  uint32_t left, top, width, height;
  uint32_t waveform, update_mode, marker, temp, flags;
  uint32_t direction, steps;  // mtk only
  uint32_t hist_bw, hist_gray;
  bool stray;  // a byte outside the known fields was not zero
};

// What the driver saw since the node was last opened (or the log cleared),
// the newest 256 of each.
std::vector<SimUpdate> sim_fb_updates();
// Layouts of the updates refused, in order: requests for a layout the driver
// does not take, and updates of its own layout that it turned down.
std::vector<std::string> sim_fb_refused();
// Markers of the waits for update completion, in order.
std::vector<uint32_t> sim_fb_waits();
void sim_fb_clear_log();
// The whole framebuffer memory as it is now (also after the program closed it).
std::vector<uint8_t> sim_fb_memory();
