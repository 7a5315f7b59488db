// Touch screens and page buttons on stand-in event nodes, delivered to the
// recording engine.
#include <gtest/gtest.h>

#include "test_support.h"

using namespace testing_support;

namespace {

constexpr unsigned kW = 1072, kH = 1448;

class Input : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"FOLIAN_TOUCH_SWAP_XY", "FOLIAN_TOUCH_INVERT_X", "FOLIAN_TOUCH_INVERT_Y",
                          "FOLIAN_LOG_TOUCH", "FOLIAN_PAGE_KEYS_SWAP", "FOLIAN_TOUCH_NO_GRAB"})
      unsetenv(v);
    fake::reset();
    input_set_enabled(fake::engine(), true);
  }
  void TearDown() override { input_close(); }

  void touch(const std::string& node, int slot, int id, int x, int y) {
    nodes.send(node, {ev(EV_ABS, ABS_MT_SLOT, slot), ev(EV_ABS, ABS_MT_TRACKING_ID, id),
                      ev(EV_ABS, ABS_MT_POSITION_X, x), ev(EV_ABS, ABS_MT_POSITION_Y, y), syn()});
    pump();
  }

  Nodes nodes;
};

void expect_touch(const FlutterPointerEvent& e, FlutterPointerPhase phase, int device, double x,
                  double y) {
  EXPECT_EQ(e.phase, phase);
  EXPECT_EQ(e.device, device);
  EXPECT_NEAR(e.x, x, 1e-3);
  EXPECT_NEAR(e.y, y, 1e-3);
}

TEST_F(Input, DiscoveryPrefersMultiTouchAxesAndGrabs) {
  nodes.add("event0",
            "name both\ntypes 0,1,3\nabs 0,1,53,54\nkeys 104,109,330\n"
            "absinfo 0 0 0 99\nabsinfo 1 0 0 99\nabsinfo 53 0 10 4000\nabsinfo 54 0 20 3000\n");
  nodes.add("mouse0", mt_screen());  // not an "event" entry: never opened
  StderrCapture err;
  input_open(kW, kH);
  EXPECT_TRUE(err.has("] 触摸屏 /dev/input/event0（both）：多点，x 量程 10..4000，y 量程 20..3000\n"));
  EXPECT_FALSE(err.has("没找到触摸屏"));
  EXPECT_EQ(nodes.log(), "grab event0 1\n");
  struct pollfd fds[12];
  EXPECT_EQ(input_poll_fds(fds, 12), 1);
  EXPECT_EQ(fds[0].events, POLLIN);

  // Its page buttons are never looked at.
  nodes.send("event0", {ev(EV_KEY, 104, 1), syn()});
  pump();
  EXPECT_TRUE(fake::key_events().empty());
  input_close();
  EXPECT_EQ(nodes.log(), "grab event0 1\ngrab event0 0\n");
}

TEST_F(Input, DiscoverySkipsHalfPageKeysAndReportsMissingScreen) {
  nodes.add("event0", "name only-up\ntypes 0,1\nkeys 104\n");
  nodes.add("event1", page_keys("pager"));
  nodes.add("event2", "types 0,3\nabs 0\n");  // no name, one axis
  StderrCapture err;
  input_open(kW, kH);
  EXPECT_TRUE(err.has("] 输入设备 /dev/input/event0（only-up）：不是触摸屏也没有翻页键，跳过\n"));
  EXPECT_TRUE(err.has("] 翻页键 /dev/input/event1（pager）\n"));
  EXPECT_TRUE(err.has("] 输入设备 /dev/input/event2（?）：不是触摸屏也没有翻页键，跳过\n"));
  EXPECT_TRUE(err.has("][错误] 没找到触摸屏\n"));

  nodes.send("event1", {ev(EV_KEY, 104, 1), syn()});
  pump();
  EXPECT_EQ(fake::key_events().size(), 1u);
}

TEST_F(Input, DiscoveryStopsAtEightDevicesAndTerminatesLongNames) {
  std::string long_name(128, 'n');
  for (int i = 0; i < 10; i++) nodes.add("event" + std::to_string(i), page_keys(long_name));
  StderrCapture err;
  input_open(kW, kH);
  EXPECT_TRUE(err.has("（" + std::string(127, 'n') + "）\n"));
  EXPECT_FALSE(err.has("event8"));
  EXPECT_FALSE(err.has("event9"));
  struct pollfd fds[12];
  EXPECT_EQ(input_poll_fds(fds, 12), 8);
  EXPECT_EQ(input_poll_fds(fds, 3), 3);
  EXPECT_EQ(input_poll_fds(fds, 0), 0);
}

TEST_F(Input, GrabFailureKeepsTheScreenAndNoGrabSkipsIt) {
  nodes.add("event0", mt_screen() + "fail grab\n");
  StderrCapture err;
  input_open(kW, kH);
  EXPECT_TRUE(err.has("][错误] 独占 /dev/input/event0 失败: Device or resource busy\n"));
  touch("event0", 0, 1, 0, 0);
  EXPECT_EQ(touches().size(), 1u);
  input_close();

  setenv("FOLIAN_TOUCH_NO_GRAB", "TRUE", 1);  // only "1" and "true" count
  input_open(kW, kH);
  input_close();
  setenv("FOLIAN_TOUCH_NO_GRAB", "true", 1);
  input_open(kW, kH);
  EXPECT_EQ(nodes.log(), "grab event0 1\ngrab event0 0\ngrab event0 1\ngrab event0 0\n");
}

TEST_F(Input, MissingDirectoryIsReported) {
  rmdir((nodes.root() + "/dev").c_str());
  StderrCapture err;
  input_open(kW, kH);
  EXPECT_TRUE(err.has("][错误] 打不开 /dev/input: No such file or directory\n"));
}

TEST_F(Input, TransformScalesSwapsAndInverts) {
  nodes.add("event0", mt_screen());
  input_open(kW, kH);
  touch("event0", 0, 5, 2048, 100);
  touch("event0", 0, 5, 4095, 4095);
  ASSERT_EQ(touches().size(), 2u);
  expect_touch(touches()[0], kDown, 0, 535.6307692, 35.3357753);
  expect_touch(touches()[1], kMove, 0, 1071, 1447);
  touch("event0", 0, -1, 4095, 4095);
  input_close();

  setenv("FOLIAN_TOUCH_SWAP_XY", "1", 1);
  setenv("FOLIAN_TOUCH_INVERT_X", "true", 1);
  fake::reset();
  input_open(kW, kH);
  touch("event0", 0, 6, 1000, 3000);
  ASSERT_EQ(touches().size(), 1u);
  expect_touch(touches()[0], kDown, 0, 1071 - 3000.0 * 1071 / 4095, 1000.0 * 1447 / 4095);
}

TEST_F(Input, DegenerateRangePassesRawValuesButStillInverts) {
  nodes.add("event0", "name flat\ntypes 3\nabs 0,1\nabsinfo 0 0 7 7\n");
  setenv("FOLIAN_TOUCH_INVERT_Y", "1", 1);
  input_open(kW, kH);
  nodes.send("event0", {ev(EV_ABS, ABS_X, 300), ev(EV_ABS, ABS_Y, 400), syn()});
  pump();
  EXPECT_TRUE(touches().empty());  // positions alone are no contact
  nodes.send("event0", {ev(EV_KEY, BTN_TOUCH, 1), syn()});
  pump();
  nodes.send("event0", {ev(EV_KEY, BTN_TOUCH, 0), syn()});
  pump();
  ASSERT_EQ(touches().size(), 2u);
  expect_touch(touches()[0], kDown, 0, 300, 1447 - 400);
  expect_touch(touches()[1], kUp, 0, 300, 1447 - 400);
}

TEST_F(Input, SlotTableTransitions) {
  nodes.add("event0", mt_screen());
  setenv("FOLIAN_LOG_TOUCH", "1", 1);
  StderrCapture err;
  input_open(kW, kH);
  touch("event0", 0, 7, 0, 0);
  touch("event0", 1, 8, 4095, 0);
  // Only the slot that changed is sent; a new tracking id in a down slot is a move.
  nodes.send("event0", {ev(EV_ABS, ABS_MT_SLOT, 0), ev(EV_ABS, ABS_MT_TRACKING_ID, 9), syn()});
  pump();
  // A contact that comes and goes between two reports leaves no trace.
  nodes.send("event0", {ev(EV_ABS, ABS_MT_SLOT, 2), ev(EV_ABS, ABS_MT_TRACKING_ID, 11),
                        ev(EV_ABS, ABS_MT_TRACKING_ID, -1), syn()});
  pump();
  // Slot numbers out of range address slot 0.
  nodes.send("event0", {ev(EV_ABS, ABS_MT_SLOT, 10), ev(EV_ABS, ABS_MT_POSITION_X, 4095), syn(),
                        ev(EV_ABS, ABS_MT_SLOT, -1), ev(EV_ABS, ABS_MT_TRACKING_ID, -1), syn()});
  pump();
  ASSERT_EQ(touches().size(), 5u);
  expect_touch(touches()[0], kDown, 0, 0, 0);
  expect_touch(touches()[1], kDown, 1, 1071, 0);
  expect_touch(touches()[2], kMove, 0, 0, 0);
  expect_touch(touches()[3], kMove, 0, 1071, 0);
  expect_touch(touches()[4], kUp, 0, 1071, 0);
  for (const auto& e : fake::pointer_events()) {
    EXPECT_EQ(e.struct_size, sizeof(FlutterPointerEvent));
    EXPECT_EQ(e.device_kind, kFlutterPointerDeviceKindTouch);
    EXPECT_EQ(e.timestamp, 1000000u);
  }
  EXPECT_TRUE(err.has("] 触点 0 按下：原始 0,0 → 0,0\n"));
  EXPECT_TRUE(err.has("] 触点 1 按下：原始 4095,0 → 1071,0\n"));
  EXPECT_TRUE(err.has("] 触点 0 抬起：原始 4095,0 → 1071,0\n"));
}

TEST_F(Input, PartialRecordsAreDropped) {
  nodes.add("event0", mt_screen());
  input_open(kW, kH);
  input_event evs[2] = {ev(EV_ABS, ABS_MT_TRACKING_ID, 1), syn()};
  char bytes[sizeof evs + 8] = {};
  memcpy(bytes, evs, sizeof evs);
  nodes.send_bytes("event0", bytes, sizeof bytes);
  pump();
  EXPECT_EQ(touches().size(), 1u);
}

TEST_F(Input, DroppedEventsResynchroniseFromTheKernel) {
  nodes.add("event0", mt_screen());
  input_open(kW, kH);
  touch("event0", 0, 1, 0, 0);
  touch("event0", 1, 2, 4095, 4095);
  // While the buffer overflowed, slot 0 lifted and slot 1 moved; the kernel
  // now addresses slot 1.
  nodes.configure("event0", mt_screen() +
                                "absinfo 47 1 0 9\nmtslots 57 -1 2\nmtslots 53 0 0\n"
                                "mtslots 54 0 4095\n");
  nodes.send("event0", {ev(EV_SYN, SYN_DROPPED, 0), ev(EV_ABS, ABS_MT_POSITION_X, 999),
                        ev(EV_ABS, ABS_MT_TRACKING_ID, 77), syn(), ev(EV_ABS, ABS_MT_POSITION_Y, 0),
                        syn()});
  pump();
  ASSERT_EQ(touches().size(), 5u);
  expect_touch(touches()[2], kUp, 0, 0, 0);
  expect_touch(touches()[3], kMove, 1, 0, 1447);
  expect_touch(touches()[4], kMove, 1, 0, 0);  // lands in slot 1, as the kernel said

  // Without the kernel's answer no contact stays down.
  nodes.configure("event0", mt_screen() + "fail mtslots\n");
  nodes.send("event0", {ev(EV_SYN, SYN_DROPPED, 0), syn()});
  pump();
  ASSERT_EQ(touches().size(), 6u);
  expect_touch(touches()[5], kUp, 1, 0, 0);
}

TEST_F(Input, SingleTouchResynchronisesToo) {
  nodes.add("event0", "name st\ntypes 0,1,3\nabs 0,1\nkeys 330\n");
  input_open(kW, kH);
  nodes.send("event0", {ev(EV_KEY, BTN_TOUCH, 1), ev(EV_ABS, ABS_X, 5), syn()});
  pump();
  nodes.configure("event0", "name st\ntypes 0,1,3\nabs 0,1\nkeys 330\nabsinfo 0 6 0 0\n");
  nodes.send("event0", {ev(EV_SYN, SYN_DROPPED, 0), ev(EV_KEY, BTN_TOUCH, 1), syn()});
  pump();
  ASSERT_EQ(touches().size(), 2u);
  expect_touch(touches()[1], kUp, 0, 6, 0);
}

TEST_F(Input, PageKeysDeliverKeyEventThenMessage) {
  nodes.add("event0", page_keys());
  setenv("FOLIAN_LOG_TOUCH", "1", 1);
  StderrCapture err;
  input_open(kW, kH);
  nodes.send("event0", {ev(EV_KEY, 104, 1), ev(EV_KEY, 104, 2), ev(EV_KEY, 104, 0),
                        ev(EV_KEY, 109, 1), ev(EV_KEY, 108, 1), syn()});
  pump();
  const auto& keys = fake::key_events();
  ASSERT_EQ(keys.size(), 4u);
  ASSERT_EQ(fake::messages_sent().size(), 4u);
  const FlutterKeyEvent& k = keys[0].event;
  EXPECT_EQ(k.struct_size, sizeof(FlutterKeyEvent));
  EXPECT_EQ(k.timestamp, 1000000.0);
  EXPECT_EQ(k.type, kFlutterKeyEventTypeDown);
  EXPECT_EQ(k.physical, 0x7004eu);
  EXPECT_EQ(k.logical, 0x100000307u);
  EXPECT_FALSE(k.synthesized);
  EXPECT_EQ(k.device_type, kFlutterKeyEventDeviceTypeKeyboard);
  EXPECT_EQ(keys[1].event.type, kFlutterKeyEventTypeRepeat);
  EXPECT_EQ(keys[2].event.type, kFlutterKeyEventTypeUp);
  EXPECT_EQ(keys[3].event.physical, 0x7004bu);
  EXPECT_EQ(keys[3].event.logical, 0x100000308u);
  EXPECT_EQ(fake::messages_sent()[0].channel, "flutter/keyevent");
  EXPECT_EQ(message_text(0),
            "{\"keymap\":\"linux\",\"toolkit\":\"gtk\",\"type\":\"keydown\",\"keyCode\":65366,"
            "\"scanCode\":117,\"modifiers\":0,\"unicodeScalarValues\":0}");
  EXPECT_EQ(message_text(1), message_text(0));
  EXPECT_NE(message_text(2).find("\"type\":\"keyup\",\"keyCode\":65366,\"scanCode\":117"),
            std::string::npos);
  EXPECT_NE(message_text(3).find("\"type\":\"keydown\",\"keyCode\":65365,\"scanCode\":112"),
            std::string::npos);
  EXPECT_TRUE(err.has("] 翻页键 104 按下 → 下一页\n"));
  EXPECT_TRUE(err.has("] 翻页键 104 抬起 → 下一页\n"));
  EXPECT_TRUE(err.has("] 翻页键 109 按下 → 上一页\n"));
}

TEST_F(Input, PageKeyReleaseLostWithDroppedEventsIsDelivered) {
  nodes.add("event0", page_keys());
  input_open(kW, kH);
  nodes.send("event0", {ev(EV_KEY, 104, 1), ev(EV_KEY, 109, 1), syn()});
  pump();
  nodes.configure("event0", page_keys() + "keystate 109\n");  // 104 came up meanwhile
  nodes.send("event0", {ev(EV_SYN, SYN_DROPPED, 0), ev(EV_KEY, 104, 0), syn()});
  pump();
  ASSERT_EQ(fake::key_events().size(), 3u);
  EXPECT_EQ(fake::key_events()[2].event.type, kFlutterKeyEventTypeUp);
  EXPECT_EQ(fake::key_events()[2].event.physical, 0x7004eu);
}

TEST_F(Input, SwappedPageKeys) {
  nodes.add("event0", page_keys());
  setenv("FOLIAN_PAGE_KEYS_SWAP", "1", 1);
  input_open(kW, kH);
  nodes.send("event0", {ev(EV_KEY, 104, 1), ev(EV_KEY, 109, 1)});
  pump();
  ASSERT_EQ(fake::key_events().size(), 2u);
  EXPECT_EQ(fake::key_events()[0].event.physical, 0x7004bu);
  EXPECT_EQ(fake::key_events()[1].event.physical, 0x7004eu);
}

TEST_F(Input, DisablingCancelsContactsAndReleasesKeys) {
  nodes.add("event0", mt_screen());
  nodes.add("event1", page_keys());
  input_open(kW, kH);
  touch("event0", 3, 1, 0, 0);
  touch("event0", 5, 2, 4095, 4095);
  nodes.send("event1", {ev(EV_KEY, 109, 1)});
  pump();
  fake::reset();

  input_set_enabled(fake::engine(), false);
  ASSERT_EQ(touches().size(), 2u);
  expect_touch(touches()[0], kCancel, 3, 0, 0);
  expect_touch(touches()[1], kCancel, 5, 1071, 1447);
  ASSERT_EQ(fake::key_events().size(), 1u);
  EXPECT_EQ(fake::key_events()[0].event.type, kFlutterKeyEventTypeUp);
  EXPECT_EQ(fake::key_events()[0].event.physical, 0x7004bu);
  EXPECT_NE(message_text(0).find("keyup"), std::string::npos);
  input_set_enabled(fake::engine(), false);  // no change, nothing sent
  EXPECT_EQ(fake::pointer_events().size(), 2u);

  // While off: slots follow the kernel, nothing reaches the engine.
  fake::reset();
  touch("event0", 3, 1, 100, 100);
  nodes.send("event1", {ev(EV_KEY, 109, 0), ev(EV_KEY, 104, 1)});
  pump();
  EXPECT_TRUE(fake::pointer_events().empty());
  EXPECT_TRUE(fake::key_events().empty());

  input_set_enabled(fake::engine(), true);
  EXPECT_TRUE(fake::pointer_events().empty());
  // The finger still on the glass comes back as a new contact; the lifted one
  // sends nothing. A button held through the screensaver starts with a press,
  // and a release of a button the application never saw pressed is dropped.
  touch("event0", 3, 1, 200, 200);
  touch("event0", 5, -1, 0, 0);
  nodes.send("event1", {ev(EV_KEY, 109, 0), ev(EV_KEY, 104, 2), ev(EV_KEY, 104, 0)});
  pump();
  ASSERT_EQ(touches().size(), 1u);
  EXPECT_EQ(touches()[0].phase, kDown);
  EXPECT_EQ(touches()[0].device, 3);
  ASSERT_EQ(fake::key_events().size(), 2u);
  EXPECT_EQ(fake::key_events()[0].event.type, kFlutterKeyEventTypeDown);
  EXPECT_EQ(fake::key_events()[1].event.type, kFlutterKeyEventTypeUp);
}

TEST_F(Input, UnpluggedDeviceIsDroppedAndItsContactsCancelled) {
  nodes.add("event0", page_keys());
  nodes.add("event1", mt_screen("screen"));
  input_open(kW, kH);
  touch("event1", 2, 1, 0, 0);
  StderrCapture err;
  nodes.unplug("event1");
  nodes.unplug("event0");  // never written to: stays
  pump();
  EXPECT_TRUE(err.has("][错误] 输入设备 /dev/input/event1（screen）不再可用，已停止读取\n"));
  ASSERT_EQ(touches().size(), 2u);
  expect_touch(touches()[1], kCancel, 2, 0, 0);
  struct pollfd fds[12];
  ASSERT_EQ(input_poll_fds(fds, 12), 1);
  // The remaining device now sits in entry 0 and still works.
  nodes.send("event0", {ev(EV_KEY, 104, 1)});
  pump();
  EXPECT_EQ(fake::key_events().size(), 1u);
}

TEST_F(Input, ProgrammaticPageKeysIgnoreTheEnabledState) {
  input_open(kW, kH);
  input_set_enabled(fake::engine(), false);
  input_send_page_key(fake::engine(), true, 0);
  input_send_page_key(fake::engine(), false, 2);
  input_send_page_key(fake::engine(), false, 1);
  ASSERT_EQ(fake::key_events().size(), 3u);
  EXPECT_EQ(fake::key_events()[1].event.type, kFlutterKeyEventTypeRepeat);
  EXPECT_EQ(fake::key_events()[2].event.type, kFlutterKeyEventTypeUp);
  EXPECT_EQ(message_text(2),
            "{\"keymap\":\"linux\",\"toolkit\":\"gtk\",\"type\":\"keyup\",\"keyCode\":65365,"
            "\"scanCode\":112,\"modifiers\":0,\"unicodeScalarValues\":0}");
}

}  // namespace
