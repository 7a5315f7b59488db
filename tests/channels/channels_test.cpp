#include "channels.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <string>

#include "fake_engine.h"
#include "msg.h"
#include "panel_double.h"

namespace {

const char* const kEpd = "app.folian.eink_epd";
const char* const kCover = "app.folian.eink_sleep_cover";
const char* const kEpdc = "app.folian.ireader_epdc";
constexpr uint64_t kStart = 1000000000ull;

struct Result {
  int taken;
  size_t responses;  // how many the call sent
  Bytes bytes;       // the last one
  bool had_data;
};

Result send(const char* channel, const Bytes& msg, bool with_handle = true) {
  size_t before = fake::responses().size();
  FlutterPlatformMessage m{};
  m.struct_size = sizeof m;
  m.channel = channel;
  m.message = msg.data();
  m.message_size = msg.size();
  m.response_handle = with_handle ? fake::new_handle() : nullptr;
  Result r{channels_handle(fake::engine(), &m), fake::responses().size() - before, {}, false};
  if (r.responses) {
    EXPECT_EQ(fake::responses().back().handle, m.response_handle);
    r.bytes = fake::responses().back().bytes;
    r.had_data = fake::responses().back().had_data;
  }
  return r;
}

Result call(const char* channel, const Msg& method_and_args) { return send(channel, method_and_args.b); }
Result call(const char* channel, const char* method) { return send(channel, (Msg().str(method) << 0).b); }

const Bytes kTrue = {0, 1};
const Bytes kFalse = {0, 2};

class Channels : public ::testing::Test {
 protected:
  void SetUp() override {
    // Module state outlives a test: serve whatever is still pending.
    panel::reset();
    fake::reset(UINT64_MAX);
    channels_run_due();
    fake::reset(kStart);
    panel::reset();
  }
  panel::State& p = panel::state();
};

TEST_F(Channels, CapabilitiesReplyIsByteExact) {
  Msg expect;
  expect << 0 << 0x0D << 3;
  expect.str("platform").str("kindle").str("fullRefresh") << 1;
  expect.str("modes") << 0x0C << 5;
  expect.str("hd").str("regal").str("balanced").str("fast").str("ultrafast");
  ASSERT_EQ(expect.b.size(), 82u);
  Result r = call(kEpd, "capabilities");
  EXPECT_EQ(r.taken, 1);
  EXPECT_EQ(r.responses, 1u);
  EXPECT_EQ(r.bytes, expect.b);
}

TEST_F(Channels, FixedReplies) {
  EXPECT_EQ(call(kCover, "platform").bytes, (Msg() << 0).str("kindle").b);
  EXPECT_EQ(call(kCover, "currentImage").bytes, (Bytes{0, 0}));
  Msg diag;
  (diag << 0).map(2).str("platform").str("kindle").str("driver").str("mxc");
  EXPECT_EQ(call(kEpd, "diagnostics").bytes, diag.b);
  EXPECT_EQ(call(kEpdc, "diagnostics").bytes, diag.b);
  EXPECT_EQ(call(kEpdc, "isSupported").bytes, kFalse);
  p.supports_swipe = true;
  EXPECT_EQ(call(kEpdc, "isSupported").bytes, kTrue);
}

TEST_F(Channels, OtherChannelsAreLeftAlone) {
  for (const char* channel : {"app.folian.EINK_EPD", "app.folian.eink_epd2", "flutter/platform", ""}) {
    Result r = call(channel, "capabilities");
    EXPECT_EQ(r.taken, 0) << channel;
    EXPECT_EQ(r.responses, 0u) << channel;
  }
}

TEST_F(Channels, UnknownOrMalformedCallsGetTheEmptyResponse) {
  std::string cut_name = "capabilities" + std::string(60, 'x');
  Bytes with_nul = (Msg() << 7 << 14 << std::string("fullRefresh\0xy", 14) << 0).b;
  const Bytes cases[] = {
      (Msg().str("capabilitie") << 0).b,   // prefix of a method
      (Msg().str("Capabilities") << 0).b,  // other letter case
      (Msg().str("setImage") << 0).b,      // method of another channel
      Msg().str(cut_name).b,               // matches nothing once cut at 63 bytes
      with_nul,                            // a NUL must not end the name early
      (Msg().i32(1)).b,                    // not a method call
      (Msg() << 7 << 20 << "short").b,     // cut off
      Bytes{},
  };
  for (const Bytes& msg : cases) {
    Result r = send(kEpd, msg);
    EXPECT_EQ(r.taken, 1);
    ASSERT_EQ(r.responses, 1u);
    EXPECT_FALSE(r.had_data);
    EXPECT_TRUE(r.bytes.empty());
  }
  EXPECT_EQ(p.full_refreshes, 0);
}

TEST_F(Channels, MessagesWithoutAHandleActButAreNotAnswered) {
  Result r = send(kEpd, (Msg().str("fullRefresh") << 0).b, false);
  EXPECT_EQ(r.taken, 1);
  EXPECT_EQ(r.responses, 0u);
  EXPECT_EQ(p.full_refreshes, 1);
  r = send(kEpd, (Msg().str("nope") << 0).b, false);
  EXPECT_EQ(r.taken, 1);
  EXPECT_EQ(r.responses, 0u);
}

TEST_F(Channels, RefreshModeNamesMatchExactly) {
  struct Case {
    Msg args;
    int mode;
  } cases[] = {
      {Msg().map(1).str("mode").str("hd"), 1},
      {Msg().map(1).str("mode").str("regal"), 2},
      {Msg().map(1).str("mode").str("balanced"), 3},
      {Msg().map(1).str("mode").str("fast"), 4},
      {Msg().map(1).str("mode").str("ultrafast"), 5},
      {Msg().map(1).str("mode").str("HD"), 0},
      {Msg().map(1).str("mode").str("Fast"), 0},
      {Msg().map(1).str("mode").str("fastest"), 0},
      {Msg().map(1).str("mode").i32(4), 0},
      {Msg() << 0, 0},
      {Msg().map(2).str("other").str("x").str("mode").str("regal"), 2},
  };
  for (const Case& c : cases) {
    Msg m = Msg().str("setRefreshMode");
    m.b.insert(m.b.end(), c.args.b.begin(), c.args.b.end());
    EXPECT_EQ(call(kEpd, m).bytes, kTrue);
    ASSERT_FALSE(p.modes.empty());
    EXPECT_EQ(p.modes.back(), c.mode);
  }
  EXPECT_EQ(p.modes.size(), std::size(cases));
}

Msg full_refresh(const Msg& delay_value) {
  Msg m = Msg().str("fullRefresh").map(1).str("delayMs");
  m.b.insert(m.b.end(), delay_value.b.begin(), delay_value.b.end());
  return m;
}

TEST_F(Channels, FullRefreshWithoutAPositiveIntegerDelayIsImmediate) {
  const Msg delays[] = {Msg().i32(0), Msg().i32(-5), Msg().i64(-1), Msg().f64(0x4059000000000000ull),
                        Msg().str("100"), Msg() << 1};
  int expected = 0;
  EXPECT_EQ(call(kEpd, "fullRefresh").bytes, kTrue);
  EXPECT_EQ(p.full_refreshes, ++expected);
  for (const Msg& d : delays) {
    EXPECT_EQ(call(kEpd, full_refresh(d)).bytes, kTrue);
    EXPECT_EQ(p.full_refreshes, ++expected);
  }
  EXPECT_EQ(channels_next_timeout_ms(), -1);
}

TEST_F(Channels, DeferredFullRefreshReplacesThePendingOne) {
  EXPECT_EQ(call(kEpd, full_refresh(Msg().i32(300))).bytes, kTrue);
  EXPECT_EQ(p.full_refreshes, 0);
  EXPECT_EQ(channels_next_timeout_ms(), 301);
  fake::advance_ms(100);
  call(kEpd, full_refresh(Msg().i64(100)));
  EXPECT_EQ(channels_next_timeout_ms(), 101);
  fake::advance_ms(99);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 0);
  fake::set_time(fake::time_ns() + 400000);  // 0.4 ms before the deadline
  EXPECT_EQ(channels_next_timeout_ms(), 1);
  fake::advance_ms(1);
  EXPECT_EQ(channels_next_timeout_ms(), 0);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 1);
  EXPECT_EQ(channels_next_timeout_ms(), -1);
  fake::advance_ms(300);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 1) << "the replaced deadline is gone";
}

TEST_F(Channels, ImmediateRefreshKeepsAPendingDeadline) {
  call(kEpd, full_refresh(Msg().i32(2)));
  EXPECT_EQ(channels_next_timeout_ms(), 3) << "exactly 2 ms ahead rounds up";
  call(kEpd, "fullRefresh");
  EXPECT_EQ(p.full_refreshes, 1);
  fake::advance_ms(2);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 2);
}

TEST_F(Channels, FullRefreshWaitsForARunningPageTurn) {
  p.swipe_busy = true;
  EXPECT_EQ(call(kEpd, "fullRefresh").bytes, kTrue);
  EXPECT_EQ(p.full_refreshes, 0);
  EXPECT_EQ(channels_next_timeout_ms(), 51);
  fake::advance_ms(50);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 0);
  EXPECT_EQ(channels_next_timeout_ms(), 51) << "postponed by another 50 ms";
  p.swipe_busy = false;
  fake::advance_ms(50);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 1);
  EXPECT_EQ(channels_next_timeout_ms(), -1);
}

TEST_F(Channels, HugeDelaysNeitherWrapNorSpin) {
  // INT64_MAX ms is far beyond the 64-bit nanosecond clock; a wrapped
  // deadline would fire at once or read as "none pending".
  for (int64_t delay : {INT64_MAX, (int64_t)(UINT64_MAX / 1000000), (int64_t)INT_MAX + 5}) {
    call(kEpd, full_refresh(Msg().i64(delay)));
    EXPECT_EQ(channels_next_timeout_ms(), INT_MAX) << delay;
    channels_run_due();
    EXPECT_EQ(p.full_refreshes, 0) << delay;
  }
  // Near the end of the clock's range.
  fake::set_time(UINT64_MAX - 5000000);
  call(kEpd, full_refresh(Msg().i32(1000)));
  EXPECT_EQ(channels_next_timeout_ms(), 6);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 0);
  fake::set_time(UINT64_MAX);
  EXPECT_EQ(channels_next_timeout_ms(), 0);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 1);
  EXPECT_EQ(channels_next_timeout_ms(), -1);
}

Msg set_image(const std::string& path, const Msg& width, const Msg& height) {
  Msg m = Msg().str("setImage").map(3).str("path").str(path).str("width");
  m.b.insert(m.b.end(), width.b.begin(), width.b.end());
  m.str("height");
  m.b.insert(m.b.end(), height.b.begin(), height.b.end());
  return m;
}

Msg set_image(const std::string& path, int32_t w, int32_t h) {
  return set_image(path, Msg().i32(w), Msg().i32(h));
}

// Brings the screensaver up and serves the cover deadline.
void screensaver_cycle(panel::State& p) {
  p.suspended = true;
  channels_on_screensaver();
  fake::advance_ms(1200);
  channels_run_due();
  p.suspended = false;
}

TEST_F(Channels, SleepCoverIsDrawnAfterTheScreensaverSettles) {
  EXPECT_EQ(call(kCover, set_image("/tmp/cover.raw", 600, 800)).bytes, kTrue);
  EXPECT_TRUE(p.covers.empty()) << "not suspended: nothing drawn yet";
  p.suspended = true;
  channels_on_screensaver();
  EXPECT_EQ(channels_next_timeout_ms(), 1201);
  fake::advance_ms(1199);
  channels_run_due();
  EXPECT_TRUE(p.covers.empty());
  fake::advance_ms(1);
  channels_run_due();
  ASSERT_EQ(p.covers.size(), 1u);
  EXPECT_EQ(p.covers[0].path, "/tmp/cover.raw");
  EXPECT_EQ(p.covers[0].width, 600u);
  EXPECT_EQ(p.covers[0].height, 800u);
  EXPECT_EQ(channels_next_timeout_ms(), -1);

  // While suspended a new cover is drawn at once.
  EXPECT_EQ(call(kCover, set_image("/tmp/b.raw", 10, 20)).bytes, kTrue);
  ASSERT_EQ(p.covers.size(), 2u);
  EXPECT_EQ(p.covers[1].path, "/tmp/b.raw");
}

TEST_F(Channels, CoverDeadlineSurvivesAnEarlyWakeAndIsTheEarlierOfTwo) {
  call(kCover, set_image("/c", 1, 1));
  channels_on_screensaver();
  fake::advance_ms(500);
  call(kEpd, full_refresh(Msg().i32(1000)));
  EXPECT_EQ(channels_next_timeout_ms(), 701);
  fake::advance_ms(700);
  channels_run_due();
  EXPECT_EQ(p.covers.size(), 1u) << "the display module decides not to draw";
  EXPECT_EQ(channels_next_timeout_ms(), 301);
}

TEST_F(Channels, SetImageRejectsBadPathsAndKeepsTheOldCover) {
  call(kCover, set_image("/old", 5, 6));
  std::string longest(511, 'p');
  EXPECT_EQ(call(kCover, set_image(longest, 1, 2)).bytes, kTrue);
  call(kCover, set_image("/old", 5, 6));
  EXPECT_EQ(call(kCover, set_image(std::string(512, 'q'), 1, 2)).bytes, kFalse);
  EXPECT_EQ(call(kCover, Msg().str("setImage").map(2).str("width").i32(1).str("height").i32(1)).bytes,
            kFalse);
  EXPECT_EQ(call(kCover, Msg().str("setImage").map(1).str("path").i32(7)).bytes, kFalse);
  EXPECT_EQ(call(kCover, Msg().str("setImage") << 0).bytes, kFalse);
  screensaver_cycle(p);
  ASSERT_EQ(p.covers.size(), 1u);
  EXPECT_EQ(p.covers[0].path, "/old");
  EXPECT_EQ(p.covers[0].width, 5u);
  EXPECT_EQ(p.covers[0].height, 6u);

  call(kCover, set_image(longest, 1, 2));
  screensaver_cycle(p);
  EXPECT_EQ(p.covers.back().path, longest);
}

TEST_F(Channels, CoverSizesOutsideThePositiveIntRangeCountAsZero) {
  struct Case {
    Msg w, h;
  } cases[] = {
      {Msg().i32(0), Msg().i32(10)},
      {Msg().i32(10), Msg().i32(-1)},
      {Msg().i32(INT32_MIN), Msg().i32(10)},
      {Msg().i64(0x100000005LL), Msg().i32(10)},  // low 32 bits would read 5
      {Msg().i64(-4294967291LL), Msg().i32(10)},  // low 32 bits would read 5
      {Msg().i32(10), Msg().str("10")},
      {Msg().i32(10), Msg() << 1},
  };
  for (const Case& c : cases) {
    p.suspended = true;
    EXPECT_EQ(call(kCover, set_image("/bad", c.w, c.h)).bytes, kFalse);
    EXPECT_TRUE(p.covers.empty()) << "never drawn from a rejected size";
    p.suspended = false;
  }
  // The path is kept, so the screensaver still schedules the cover, and the
  // display module is only ever handed sizes that are not negative.
  screensaver_cycle(p);
  ASSERT_EQ(p.covers.size(), 1u);
  EXPECT_EQ(p.covers[0].path, "/bad");
  EXPECT_EQ(p.covers[0].width, 10u);
  EXPECT_EQ(p.covers[0].height, 0u);

  EXPECT_EQ(call(kCover, set_image("/ok", Msg().i64(INT32_MAX), Msg().i64(1))).bytes, kTrue);
}

TEST_F(Channels, EmptyCoverPathSchedulesNothing) {
  p.suspended = true;
  EXPECT_EQ(call(kCover, set_image("", 3, 4)).bytes, kTrue);
  ASSERT_EQ(p.covers.size(), 1u);
  EXPECT_EQ(p.covers[0].path, "");
  channels_on_screensaver();
  EXPECT_EQ(channels_next_timeout_ms(), -1);
}

TEST_F(Channels, ArmPageTurnDirectionsAndSteps) {
  struct Case {
    Msg args;
    unsigned direction, steps;
  } cases[] = {
      {Msg() << 0, 2, 12},
      {(Msg().map(2).str("vertical") << 1).str("forward") << 2, 0, 12},
      {Msg().map(1).str("forward") << 2, 3, 12},
      {Msg().map(1).str("vertical") << 1, 1, 12},
      {Msg().map(1).str("vertical").i32(1), 2, 12},  // not a boolean
      {Msg().map(1).str("speedBits").i32(63), 2, 6},
      {Msg().map(1).str("speedBits").i32(64), 2, 12},
      {Msg().map(1).str("speedBits").i32(127), 2, 12},
      {Msg().map(1).str("speedBits").i64(128), 2, 20},
      {Msg().map(1).str("speedBits").i32(-5), 2, 6},
      {Msg().map(1).str("speedBits").i64(INT64_MIN), 2, 6},
      {Msg().map(1).str("speedBits").str("128"), 2, 12},
  };
  for (bool supported : {false, true}) {
    p.supports_swipe = supported;
    p.swipes.clear();
    for (const Case& c : cases) {
      Msg m = Msg().str("armPageTurn");
      m.b.insert(m.b.end(), c.args.b.begin(), c.args.b.end());
      EXPECT_EQ(call(kEpdc, m).bytes, supported ? kTrue : kFalse);
    }
    ASSERT_EQ(p.swipes.size(), std::size(cases)) << "armed on every panel";
    for (size_t i = 0; i < std::size(cases); i++) {
      EXPECT_EQ(p.swipes[i].first, cases[i].direction) << i;
      EXPECT_EQ(p.swipes[i].second, cases[i].steps) << i;
    }
  }
}

}  // namespace
