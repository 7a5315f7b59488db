#include "panel_double.h"

#include "display.h"
#include "eink.h"

namespace panel {

State& state() {
  static State s;
  return s;
}

void reset() { state() = State{}; }

}  // namespace panel

void eink_set_mode(int mode) { panel::state().modes.push_back(mode); }
const char* eink_kind_name() { return panel::state().kind; }
void eink_arm_swipe(unsigned direction, unsigned steps) {
  panel::state().swipes.emplace_back(direction, steps);
}
bool eink_supports_swipe() { return panel::state().supports_swipe; }
bool eink_swipe_busy() { return panel::state().swipe_busy; }

void display_full_refresh() { panel::state().full_refreshes++; }
bool display_is_suspended() { return panel::state().suspended; }
void display_show_sleep_cover(const char* path, unsigned width, unsigned height) {
  panel::state().covers.push_back({path, width, height});
}
