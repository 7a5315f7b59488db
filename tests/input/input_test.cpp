// Touch screens and page buttons on stand-in event nodes, delivered to the
// recording engine.
#include <cmath>

#include "test_support.h"

using namespace testing_support;

namespace {

constexpr unsigned kW = 1072, kH = 1448;

class Input : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"FOLIAN_TOUCH_SWAP_XY", "FOLIAN_TOUCH_INVERT_X", "FOLIAN_TOUCH_INVERT_Y",
                          "FOLIAN_PAGE_KEYS_SWAP", "FOLIAN_TOUCH_NO_GRAB"})
      unsetenv(v);
    fake::reset();
    input_set_enabled(fake::engine(), true);
  }
  void TearDown() override { input_close(); }

  void touch(int slot, int id, int x, int y, const char* node = "event0") {
    nodes.send(node, {ev(EV_ABS, ABS_MT_SLOT, slot), ev(EV_ABS, ABS_MT_TRACKING_ID, id),
                      ev(EV_ABS, ABS_MT_POSITION_X, x), ev(EV_ABS, ABS_MT_POSITION_Y, y), syn()});
    pump();
  }
  void keys(const std::vector<std::pair<int, int>>& codes_values, const char* node = "event0") {
    std::vector<input_event> evs;
    for (auto [code, value] : codes_values) {
      evs.push_back(ev(EV_KEY, code, value));
      evs.push_back(syn());
    }
    nodes.send(node, evs);
    pump();
  }

  Nodes nodes;
};

// (phase, device, x, y) of each touch from `from` on.
using Touch = std::tuple<int, int, double, double>;
std::vector<Touch> touch_list(size_t from = 0) {
  std::vector<Touch> out;
  for (const auto& e : touches())
    out.push_back({e.phase, (int)e.device, std::round(e.x * 1000) / 1000, std::round(e.y * 1000) / 1000});
  return std::vector<Touch>(out.begin() + std::min(from, out.size()), out.end());
}
// (type, physical) of each key event.
using Keys = std::vector<std::pair<int, uint64_t>>;
Keys key_list() {
  Keys out;
  for (const auto& k : fake::key_events()) out.push_back({k.type, k.physical});
  return out;
}
constexpr uint64_t kNext = 0x7004e, kPrev = 0x7004b;
constexpr int kKeyDown = kFlutterKeyEventTypeDown, kKeyUp = kFlutterKeyEventTypeUp;

TEST(InputDiscovery, ClassifiesGrabsAndLimitsTheNodes) {
  using Entries = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    Entries nodes;  // none: no /dev/input at all
    const char* no_grab;
    std::vector<std::string> logged, not_logged;
    int fds;
    std::string grabs;  // while open
  };
  Entries ten;
  for (int i = 0; i < 10; i++) ten.push_back({"event" + std::to_string(i), page_keys(std::string(128, 'n'))});
  const std::string both = "name both\ntypes 0,1,3\nabs 0,1,53,54\nkeys 104,109,330\nabsinfo 0 0 0 99\n"
                           "absinfo 1 0 0 99\nabsinfo 53 0 10 4000\nabsinfo 54 0 20 3000\n";
  const std::vector<Case> cases = {
      // Multi-touch axes win over single-touch ones and hide the node's page keys.
      {{{"event0", both}, {"mouse0", mt_screen()}}, nullptr,
       {"] 触摸屏 /dev/input/event0（both）：多点，x 量程 10..4000，y 量程 20..3000\n"}, {"翻页键", "mouse0", "没找到"}, 1,
       "grab event0 1\n"},
      {{{"event0", "name only-up\ntypes 0,1\nkeys 104\n"}, {"event1", page_keys("pager")}, {"event2", "types 0,3\nabs 0\n"}},
       nullptr,
       {"] 翻页键 /dev/input/event1（pager）\n", "][错误] 没找到触摸屏\n"}, {}, 1, ""},
      // Eight nodes at most; a name filling the whole buffer comes unterminated.
      {ten, nullptr, {"（" + std::string(127, 'n') + "）\n"}, {"event8", "event9"}, 8, ""},
      // Another client holds the node: the grab fails and the node stays.
      {{{"event0", mt_screen() + "grabbed 1\n"}}, nullptr,
       {"][错误] 独占 /dev/input/event0 失败: Device or resource busy\n"}, {}, 1, "grab event0 1\n"},
      {{{"event0", mt_screen()}}, "true", {"] 触摸屏 /dev/input/event0"}, {}, 1, ""},
      {{}, nullptr, {"][错误] 打不开 /dev/input: No such file or directory\n"}, {}, 0, ""},
  };
  for (const Case& c : cases) {
    Nodes nodes;
    for (const auto& [entry, conf] : c.nodes) nodes.add(entry, conf);
    if (c.nodes.empty()) rmdir((nodes.root() + "/dev").c_str());
    if (c.no_grab) setenv("FOLIAN_TOUCH_NO_GRAB", c.no_grab, 1);
    capture_log();
    input_open(kW, kH);
    std::string log = logged();
    struct pollfd fds[12];
    EXPECT_EQ(input_poll_fds(fds, 12), c.fds) << log;
    EXPECT_EQ(input_poll_fds(fds, 3), std::min(c.fds, 3));
    EXPECT_EQ(nodes.log(), c.grabs);
    input_close();
    if (!c.grabs.empty()) {
      EXPECT_EQ(nodes.log(), c.grabs + "grab event0 0\n");
    }
    unsetenv("FOLIAN_TOUCH_NO_GRAB");
    for (const auto& s : c.logged) EXPECT_TRUE(has(log, s)) << s << "\nin:\n" << log;
    for (const auto& s : c.not_logged) EXPECT_FALSE(has(log, s)) << s << "\nin:\n" << log;
  }
}

TEST_F(Input, SlotTableTransitions) {
  nodes.add("event0", mt_screen() + "absinfo 47 0 0 15\n");
  input_open(kW, kH);
  touch(0, 7, 0, 0);
  touch(1, 8, 4095, 0);
  // A finger in a slot past the ten kept touches nothing that is kept.
  touch(12, 20, 2000, 2000);
  touch(12, -1, 2000, 2000);
  // Only the slot that changed is sent; a new tracking id in a down slot is a move.
  nodes.send("event0", {ev(EV_ABS, ABS_MT_SLOT, 0), ev(EV_ABS, ABS_MT_TRACKING_ID, 9), syn()});
  pump();
  // A contact that comes and goes between two reports leaves no trace.
  nodes.send("event0", {ev(EV_ABS, ABS_MT_SLOT, 2), ev(EV_ABS, ABS_MT_TRACKING_ID, 11),
                        ev(EV_ABS, ABS_MT_TRACKING_ID, -1), syn()});
  pump();
  // The kernel names a slot only when it changes, and drops values that
  // did not: the lift below comes without a slot number, the repeated
  // position not at all.
  nodes.send("event0", {ev(EV_ABS, ABS_MT_SLOT, 0), ev(EV_ABS, ABS_MT_POSITION_X, 4095), syn(),
                        ev(EV_ABS, ABS_MT_SLOT, 1), ev(EV_ABS, ABS_MT_POSITION_X, 4095), syn(),
                        ev(EV_ABS, ABS_MT_SLOT, 0), ev(EV_ABS, ABS_MT_TRACKING_ID, -1), syn()});
  pump();
  EXPECT_EQ(touch_list(), (std::vector<Touch>{{kDown, 0, 0, 0},
                                              {kDown, 1, 1071, 0},
                                              {kMove, 0, 0, 0},
                                              {kMove, 0, 1071, 0},
                                              {kUp, 0, 1071, 0}}));
  for (const auto& e : fake::pointer_events()) {
    EXPECT_EQ(e.struct_size, sizeof(FlutterPointerEvent));
    EXPECT_EQ(e.device_kind, kFlutterPointerDeviceKindTouch);
    EXPECT_EQ(e.timestamp, 1000000u);
  }
}

// The first contact on a freshly opened screen: where the options put it,
// and what the kernel's state at open adds.  The kernel keeps every slot's
// last values after a lift and sends only changes, and its current slot need
// not be 0: a program that assumes empty slots at open loses the first
// contact's unchanged values and files it under the wrong slot.
TEST_F(Input, FirstContactAfterOpen) {
  struct Case {
    std::vector<const char*> env;  // set to "1" before the open
    std::string conf;
    std::vector<input_event> events;
    Touch want;
    int degrees = 0;  // the application's picture turned clockwise
  };
  auto mt = [](int x, int y) {
    return std::vector<input_event>{ev(EV_ABS, ABS_MT_SLOT, 0), ev(EV_ABS, ABS_MT_TRACKING_ID, 1),
                                    ev(EV_ABS, ABS_MT_POSITION_X, x), ev(EV_ABS, ABS_MT_POSITION_Y, y), syn()};
  };
  const std::string flat = "name flat\ntypes 1,3\nabs 0,1\nkeys 330\nabsinfo 0 0 7 7\n";
  const std::string st = "name st\ntypes 0,1,3\nabs 0,1\nkeys 330\nabsinfo 0 300 0 0\nabsinfo 1 0 0 0\n";
  const std::vector<Case> cases = {
      {{}, mt_screen(), mt(4095, 4095), {kDown, 0, 1071, 1447}},
      {{"FOLIAN_TOUCH_SWAP_XY", "FOLIAN_TOUCH_INVERT_X"}, mt_screen(), mt(1000, 3000), {kDown, 0, 286.385, 353.358}},
      // Placed on the panel by the settings, then turned into the picture's frame.
      {{"FOLIAN_TOUCH_SWAP_XY", "FOLIAN_TOUCH_INVERT_X"}, mt_screen(), mt(1000, 3000), {kDown, 0, 353.358, 784.615}, 90},
      {{"FOLIAN_TOUCH_SWAP_XY", "FOLIAN_TOUCH_INVERT_X"}, mt_screen(), mt(1000, 3000), {kDown, 0, 1093.642, 286.385}, 270},
      // A degenerate range passes raw values on, still inverted.
      {{"FOLIAN_TOUCH_INVERT_Y"}, flat, {ev(EV_ABS, ABS_X, 300), ev(EV_ABS, ABS_Y, 400), ev(EV_KEY, BTN_TOUCH, 1), syn()},
       {kDown, 0, 300, 1047}},
      // A screen whose current slot is 1 and whose slot 1 last held x 4095.
      {{}, mt_screen() + "absinfo 47 1 0 9\nmtslots 53 0 4095\n",
       {ev(EV_ABS, ABS_MT_TRACKING_ID, 5), ev(EV_ABS, ABS_MT_POSITION_Y, 100), syn()}, {kDown, 1, 1071, 35.336}},
      // A finger already on the glass comes as a new contact when it moves.
      {{}, mt_screen() + "mtslots 57 4\nmtslots 53 4095\n", {ev(EV_ABS, ABS_MT_POSITION_Y, 4095), syn()},
       {kDown, 0, 1071, 1447}},
      // Single-touch: the stored x of the last contact, and a contact held.
      {{}, st, {ev(EV_KEY, BTN_TOUCH, 1), ev(EV_ABS, ABS_X, 300), ev(EV_ABS, ABS_Y, 400), syn()},
       {kDown, 0, 300, 400}},
      {{}, st + "keystate 330\n", {ev(EV_ABS, ABS_Y, 400), syn()}, {kDown, 0, 300, 400}},
  };
  for (const Case& c : cases) {
    nodes.add("event0", c.conf);
    for (const char* v : c.env) setenv(v, "1", 1);
    fake::reset();
    input_open(kW, kH);
    input_set_orientation(c.degrees);
    nodes.send("event0", c.events);
    pump();
    EXPECT_EQ(touch_list(), std::vector<Touch>{c.want}) << c.conf << " " << c.degrees;
    input_set_orientation(0);
    input_close();
    for (const char* v : c.env) unsetenv(v);
    nodes.unplug("event0");
    unlink((nodes.root() + "/dev/event0").c_str());
  }
}

// `packets` reports that change nothing the program looks at, enough of them
// to overflow the node's client buffer.
std::vector<input_event> filler(int type, int code, int packets) {
  std::vector<input_event> out;
  for (int i = 0; i < packets; i++) {
    out.push_back(ev(type, code, type == EV_KEY ? (i + 1) % 2 : 1 + i % 2));
    out.push_back(syn());
  }
  return out;
}
std::vector<input_event> operator+(std::vector<input_event> a, const std::vector<input_event>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// After an overflow the application must end at exactly the kernel's contacts
// and keys, with none invented for slots the screen does not have, and must
// still see what came after the overflow, in order: the kernel's answer
// already holds those events, and some of them lie beyond the first read.
TEST_F(Input, LostEventsAreMadeGoodFromTheKernelsState) {
  const std::string three_slots = "name three\ntypes 0,1,3\nabs 47,53,54,57,58\nabsinfo 53 0 0 4095\n"
                                  "absinfo 54 0 0 4095\nabsinfo 47 0 0 2\n";
  nodes.add("event0", three_slots);
  nodes.add("event1", "name keys\ntypes 0,1\nkeys 104,105,109\n");
  nodes.add("event2", "name st\ntypes 0,1,3\nabs 0,1,24\nkeys 330\n");
  nodes.add("event3", three_slots + "fail mtslots\n");
  input_open(kW, kH);
  touch(0, 1, 1000, 1000);
  touch(1, 2, 3000, 3000);
  // Lost: slot 0 lifts and a new finger lands there. After the gap: a tap in
  // slot 2, slot 1 lifts and gets a new finger that stays, and slot 0's new
  // finger moves on.
  std::vector<input_event> lost = {ev(EV_ABS, ABS_MT_SLOT, 0), ev(EV_ABS, ABS_MT_TRACKING_ID, -1), syn(),
                                   ev(EV_ABS, ABS_MT_TRACKING_ID, 3), ev(EV_ABS, ABS_MT_POSITION_X, 2000), syn()};
  std::vector<input_event> after = {ev(EV_ABS, ABS_MT_SLOT, 2), ev(EV_ABS, ABS_MT_TRACKING_ID, 4),
                                    ev(EV_ABS, ABS_MT_POSITION_X, 0), ev(EV_ABS, ABS_MT_POSITION_Y, 4095), syn(),
                                    ev(EV_ABS, ABS_MT_TRACKING_ID, -1), syn(), ev(EV_ABS, ABS_MT_SLOT, 1),
                                    ev(EV_ABS, ABS_MT_TRACKING_ID, -1), syn(), ev(EV_ABS, ABS_MT_TRACKING_ID, 5),
                                    ev(EV_ABS, ABS_MT_POSITION_X, 0), ev(EV_ABS, ABS_MT_POSITION_Y, 0), syn(),
                                    ev(EV_ABS, ABS_MT_SLOT, 0), ev(EV_ABS, ABS_MT_POSITION_X, 2100), syn(),
                                    ev(EV_ABS, ABS_MT_POSITION_X, 2200), syn()};
  nodes.send("event0", lost + filler(EV_ABS, ABS_MT_PRESSURE, 170) + after);
  pump();
  // The finger of slot 0 that the application knew lifted; the one of slot 1
  // lifts after a gap in which it may have been replaced, and is cancelled.
  // The new finger of slot 0 goes down where the held events first put it,
  // not where the old one was nor where the kernel's answer ends.
  EXPECT_EQ(touch_list(2), (std::vector<Touch>{{kUp, 0, 261.538, 353.358},
                                               {kCancel, 1, 784.615, 1060.073},
                                               {kDown, 0, 549.231, 353.358},
                                               {kDown, 2, 0, 1447},
                                               {kUp, 2, 0, 1447},
                                               {kDown, 1, 0, 0},
                                               {kMove, 0, 549.231, 353.358},
                                               {kMove, 0, 575.385, 353.358}}));
  // Without the kernel's answer no contact stays down. Ids 0 and 1 are
  // still held by the first screen's fingers.
  touch(0, 9, 0, 0, "event3");
  nodes.send("event3", filler(EV_ABS, ABS_MT_PRESSURE, 140));
  pump();
  // A single-touch screen: its lift and a tap lie beyond the first read, where
  // the key state query would take BTN_TOUCH out of the queue.
  nodes.send("event2", {ev(EV_KEY, BTN_TOUCH, 1), ev(EV_ABS, ABS_X, 5), syn()});
  pump();
  nodes.send("event2", filler(EV_ABS, ABS_PRESSURE, 100) +
                           std::vector<input_event>{ev(EV_KEY, BTN_TOUCH, 0), syn(), ev(EV_KEY, BTN_TOUCH, 1),
                                                    ev(EV_ABS, ABS_X, 7), syn(), ev(EV_KEY, BTN_TOUCH, 0), syn()});
  pump();
  EXPECT_EQ(touch_list(10), (std::vector<Touch>{{kDown, 10, 0, 0}, {kUp, 10, 0, 0}, {kDown, 10, 5, 0},
                                               {kUp, 10, 5, 0}, {kDown, 10, 7, 0}, {kUp, 10, 7, 0}}));

  // Page keys, next held. Lost: the previous-page press, delivered so that
  // its release means something, and the next-page release. After the gap a
  // whole next-page press, and a press the kernel's answer holds before its
  // report is read.
  keys({{104, 1}}, "event1");
  nodes.send("event1", std::vector<input_event>{ev(EV_KEY, 109, 1), syn(), ev(EV_KEY, 104, 0), syn()} +
                           filler(EV_KEY, 105, 40) +
                           std::vector<input_event>{ev(EV_KEY, 109, 0), syn(), ev(EV_KEY, 104, 1), syn(),
                                                    ev(EV_KEY, 104, 0), syn(), ev(EV_KEY, 104, 1)});
  pump();
  nodes.send("event1", {syn()});
  pump();
  keys({{104, 0}}, "event1");
  EXPECT_EQ(key_list(), (Keys{{kKeyDown, kNext}, {kKeyDown, kPrev}, {kKeyUp, kNext}, {kKeyUp, kPrev},
                              {kKeyDown, kNext}, {kKeyUp, kNext}, {kKeyDown, kNext}, {kKeyUp, kNext}}));
}

TEST_F(Input, PageKeysGiveTheKeyEventThenTheMessage) {
  nodes.add("event0", page_keys());
  input_open(kW, kH);
  keys({{104, 1}, {104, 2}, {104, 0}, {109, 1}, {108, 1}});
  EXPECT_EQ(key_list(), (Keys{
                            {kKeyDown, kNext}, {kFlutterKeyEventTypeRepeat, kNext}, {kKeyUp, kNext}, {kKeyDown, kPrev}}));
  const FlutterKeyEvent& k = fake::key_events().at(0);
  EXPECT_EQ(k.struct_size, sizeof(FlutterKeyEvent));
  EXPECT_EQ(k.timestamp, 1000000.0);
  EXPECT_EQ(k.logical, 0x100000307u);
  EXPECT_FALSE(k.synthesized);
  EXPECT_EQ(k.device_type, kFlutterKeyEventDeviceTypeKeyboard);
  EXPECT_EQ(fake::key_events()[3].logical, 0x100000308u);
  ASSERT_EQ(fake::messages_sent().size(), 4u);
  EXPECT_EQ(fake::messages_sent()[0].channel, "flutter/keyevent");
  auto message = [](const std::string& type, const std::string& code_scan) {
    return "{\"keymap\":\"linux\",\"toolkit\":\"gtk\",\"type\":\"" + type + "\",\"keyCode\":" + code_scan +
           ",\"modifiers\":0,\"unicodeScalarValues\":0}";
  };
  EXPECT_EQ(message_text(0), message("keydown", "65366,\"scanCode\":117"));
  EXPECT_EQ(message_text(1), message_text(0));
  EXPECT_EQ(message_text(2), message("keyup", "65366,\"scanCode\":117"));
  EXPECT_EQ(message_text(3), message("keydown", "65365,\"scanCode\":112"));

  input_close();
  setenv("FOLIAN_PAGE_KEYS_SWAP", "1", 1);
  fake::reset();
  input_open(kW, kH);
  keys({{104, 1}, {109, 1}});
  EXPECT_EQ(key_list(), (Keys{{kKeyDown, kPrev}, {kKeyDown, kNext}}));
}

TEST_F(Input, DisablingCancelsContactsAndReleasesKeys) {
  nodes.add("event0", mt_screen());
  nodes.add("event1", page_keys());
  input_open(kW, kH);
  touch(3, 1, 0, 0);
  touch(5, 2, 4095, 4095);
  keys({{109, 1}}, "event1");
  fake::reset();

  input_set_enabled(fake::engine(), false);
  input_set_enabled(fake::engine(), false);  // no change, nothing more sent
  EXPECT_EQ(touch_list(), (std::vector<Touch>{{kCancel, 3, 0, 0}, {kCancel, 5, 1071, 1447}}));
  EXPECT_EQ(key_list(), (Keys{{kKeyUp, kPrev}}));
  EXPECT_TRUE(has(message_text(0), "\"type\":\"keyup\",\"keyCode\":65365"));

  // While off: slots follow the kernel, nothing reaches the engine, except
  // the page keys the control FIFO asks for.
  fake::reset();
  touch(3, 1, 100, 100);
  keys({{109, 0}, {104, 1}, {109, 1}}, "event1");
  EXPECT_TRUE(fake::pointer_events().empty());
  EXPECT_TRUE(fake::key_events().empty());
  input_send_page_key(fake::engine(), true, 0);
  input_send_page_key(fake::engine(), true, 1);
  EXPECT_EQ(key_list(), (Keys{{kKeyDown, kNext}, {kKeyUp, kNext}}));

  fake::reset();
  input_set_enabled(fake::engine(), true);
  EXPECT_TRUE(fake::pointer_events().empty());
  // The finger still on the glass comes back as a new contact; the lifted one
  // sends nothing. A button held through the screensaver starts with a press,
  // and a release of a button the application never saw pressed is dropped.
  touch(3, 1, 0, 0);
  touch(5, -1, 0, 0);
  keys({{104, 2}, {104, 0}, {109, 0}}, "event1");
  EXPECT_EQ(touch_list(), (std::vector<Touch>{{kDown, 3, 0, 0}}));
  EXPECT_EQ(key_list(), (Keys{{kKeyDown, kNext}, {kKeyUp, kNext}}));
}

}  // namespace
