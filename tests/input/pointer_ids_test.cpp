// Pointer device ids are announced once per process: this file holds the
// whole life of that table, so it is one test in its own executable.
#include "test_support.h"

using namespace testing_support;

namespace {

using Ids = std::vector<std::pair<int, int>>;
Ids phases_and_ids() {
  Ids out;
  for (const auto& e : fake::pointer_events()) out.push_back({e.phase, (int)e.device});
  return out;
}

// Contacts down at the same moment never share an id, whichever screen or
// the control pipe they come from; a free slot number is its own id, and
// each id is announced once.
TEST(PointerIds, ContactsDownTogetherHaveTheirOwnIdsAnnouncedOnce) {
  Nodes nodes;
  nodes.add("event0", mt_screen("a"));
  nodes.add("event1", mt_screen("b"));
  fake::reset();
  input_open(1072, 1448);
  auto contact = [&](const char* node, int slot, int id) {
    nodes.send(node, {ev(EV_ABS, ABS_MT_SLOT, slot), ev(EV_ABS, ABS_MT_TRACKING_ID, id),
                      ev(EV_ABS, ABS_MT_POSITION_X, 10 + id), syn()});
    pump();
  };
  contact("event0", 1, 1);
  contact("event1", 1, 2);  // the second screen's slot 1, while the first's is down
  contact("event0", 9, 3);
  input_synthetic_pointer(fake::engine(), kDown, 5.5, 6.5);
  input_synthetic_pointer(fake::engine(), kMove, 5.5, 6.5);
  contact("event0", 1, -1);
  contact("event1", 1, -1);
  contact("event1", 1, 4);  // id 1 is free again
  contact("event0", 9, -1);
  input_synthetic_pointer(fake::engine(), kUp, 5.5, 6.5);
  input_synthetic_pointer(fake::engine(), kDown, 7, 8);  // id 9 is free again
  EXPECT_EQ(phases_and_ids(), (Ids{{kAdd, 1}, {kDown, 1}, {kAdd, 10}, {kDown, 10}, {kAdd, 9}, {kDown, 9},
                                   {kAdd, 11}, {kDown, 11}, {kMove, 11}, {kUp, 1}, {kUp, 10}, {kDown, 1},
                                   {kUp, 9}, {kUp, 11}, {kDown, 9}}));
  EXPECT_NEAR(fake::pointer_events()[0].x, 11.0 * 1071 / 4095, 1e-9);
  EXPECT_EQ(fake::pointer_events()[6].x, 5.5);  // screen pixels, not transformed

  // A close and reopen announces nothing again, and frees the ids of the
  // contacts it cut off.
  fake::reset();
  input_close();
  input_open(1072, 1448);
  contact("event0", 1, 5);
  contact("event1", 1, 6);
  EXPECT_EQ(phases_and_ids(), (Ids{{kDown, 1}, {kDown, 10}}));
  input_close();
}

}  // namespace
