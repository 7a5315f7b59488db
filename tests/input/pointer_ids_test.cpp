// Pointer device ids are announced once per process: this file holds the
// whole life of that table, so it is one test in its own executable.
#include "test_support.h"

using namespace testing_support;

namespace {

std::vector<std::pair<int, int>> phases_and_ids() {
  std::vector<std::pair<int, int>> out;
  for (const auto& e : fake::pointer_events()) out.push_back({e.phase, (int)e.device});
  return out;
}

TEST(PointerIds, EachIdIsAddedOnceAcrossScreensAndTheSyntheticPointer) {
  Nodes nodes;
  nodes.add("event0", mt_screen("a"));
  nodes.add("event1", mt_screen("b"));
  fake::reset();
  input_open(1072, 1448);
  auto tap = [&](const char* node, int slot, int id) {
    nodes.send(node, {ev(EV_ABS, ABS_MT_SLOT, slot), ev(EV_ABS, ABS_MT_TRACKING_ID, id),
                      ev(EV_ABS, ABS_MT_POSITION_X, 10), syn(), ev(EV_ABS, ABS_MT_TRACKING_ID, -1), syn()});
    pump();
  };
  tap("event0", 1, 1);
  tap("event0", 1, 2);
  tap("event1", 1, 3);  // the second screen's slot 1 is the same pointer
  tap("event1", 9, 4);
  EXPECT_EQ(phases_and_ids(), (std::vector<std::pair<int, int>>{{kAdd, 1}, {kDown, 1}, {kUp, 1}, {kDown, 1}, {kUp, 1},
                                                                {kDown, 1}, {kUp, 1}, {kAdd, 9}, {kDown, 9}, {kUp, 9}}));
  EXPECT_NEAR(fake::pointer_events()[0].x, 10.0 * 1071 / 4095, 1e-9);

  // The synthetic pointer shares id 9, already announced; a close and reopen
  // does not announce anything again either.
  fake::reset();
  input_synthetic_pointer(fake::engine(), kDown, 5.5, 6.5);
  input_close();
  input_open(1072, 1448);
  tap("event0", 1, 5);
  EXPECT_EQ(phases_and_ids(), (std::vector<std::pair<int, int>>{{kDown, 9}, {kDown, 1}, {kUp, 1}}));
  EXPECT_EQ(fake::pointer_events()[0].x, 5.5);  // screen pixels, not transformed
  input_close();
}

}  // namespace
