// A recording stand-in for the e-ink and display operations the channels
// call.  Linked ahead of folian_core, it takes the place of the real modules.
#pragma once

#include <string>
#include <vector>

namespace panel {

struct Cover {
  std::string path;
  unsigned width;
  unsigned height;
};

struct State {
  // What the channels asked for.
  std::vector<int> modes;
  int full_refreshes = 0;
  std::vector<Cover> covers;
  std::vector<std::pair<unsigned, unsigned>> swipes;  // direction, steps
  // What the panel reports.
  bool supports_swipe = false;
  bool swipe_busy = false;
  bool suspended = false;
  const char* kind = "mxc";
};

State& state();
void reset();

}  // namespace panel
