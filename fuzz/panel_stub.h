// The panel as the channels see it while fuzzing: every call is accepted and
// forgotten; the fuzz input decides what the panel reports.
#pragma once

namespace panel {

struct State {
  bool supports_swipe = false;
  bool kind_pending = false;
  bool swipe_busy = false;
  bool suspended = false;
};

State& state();
void reset();

}  // namespace panel
