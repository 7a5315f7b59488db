#include "channels.h"
#include "orientation.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <string>

#include "display.h"
#include "eink.h"
#include "fake_engine.h"
#include "msg.h"

namespace {

struct Cover {
  std::string path;
  unsigned width, height;
};

// What the channels asked of the panel, and what the panel reports.
struct Panel {
  std::vector<int> modes;
  std::vector<bool> night, dithering, motion;
  std::vector<std::pair<int, int>> flash_every;  // day, night
  DisplayModes state{};
  int full_refreshes = 0;
  std::vector<Cover> covers;
  std::vector<std::pair<unsigned, unsigned>> swipes;  // direction, steps
  bool supports_swipe = false;
  bool kind_pending = false;
  bool swipe_busy = false;
  bool suspended = false;
} g_panel;

}  // namespace

// Stand-ins for the e-ink and display modules, which this object replaces.
void eink_set_mode(int mode) { g_panel.modes.push_back(mode); }
const char* eink_kind_name() { return "mxc"; }
void eink_arm_swipe(unsigned direction, unsigned steps) { g_panel.swipes.emplace_back(direction, steps); }
bool eink_supports_swipe() { return g_panel.supports_swipe; }
bool eink_kind_pending() { return g_panel.kind_pending; }
bool eink_swipe_busy() { return g_panel.swipe_busy; }
void display_full_refresh() { g_panel.full_refreshes++; }
void display_set_night(bool on) { g_panel.night.push_back(on); }
void display_set_dithering(bool on) { g_panel.dithering.push_back(on); }
void display_set_flash_every(int day, int night) {
  g_panel.flash_every.emplace_back(day, night);
  g_panel.state.flash_every = day;
  g_panel.state.flash_every_night = night;
}
void display_set_motion(bool on) { g_panel.motion.push_back(on); }
DisplayModes display_modes() { return g_panel.state; }
bool display_is_suspended() { return g_panel.suspended; }
void display_show_sleep_cover(const char* path, unsigned width, unsigned height) {
  g_panel.covers.push_back({path, width, height});
}

namespace {

const char* const kEpd = "app.folian.eink_epd";
const char* const kCover = "app.folian.eink_sleep_cover";
const char* const kEpdc = "app.folian.ireader_epdc";
const Bytes kTrue = {0, 1};
const Bytes kFalse = {0, 2};
const Msg kNoArgs = Msg() << 0;

struct Reply {
  int taken;
  size_t count;  // responses sent
  Bytes bytes;   // of the last one
  bool had_data;
};

Reply send(const char* channel, const Bytes& msg, bool with_handle = true) {
  size_t before = fake::responses().size();
  FlutterPlatformMessage m{};
  m.struct_size = sizeof m;
  m.channel = channel;
  m.message = msg.data();
  m.message_size = msg.size();
  m.response_handle = with_handle ? fake::new_handle() : nullptr;
  Reply r{channels_handle(fake::engine(), &m), fake::responses().size() - before, {}, false};
  if (r.count) {
    EXPECT_EQ(fake::responses().back().handle, m.response_handle);
    r.bytes = fake::responses().back().bytes;
    r.had_data = fake::responses().back().had_data;
  }
  return r;
}

Bytes call(const char* channel, const char* method, const Msg& args = kNoArgs) {
  return send(channel, Msg().str(method).add(args).b).bytes;
}

Msg delay(const Msg& value) { return Msg().map(1).str("delayMs").add(value); }

Msg cover(const std::string& path, const Msg& w, const Msg& h) {
  return Msg().map(3).str("path").str(path).str("width").add(w).str("height").add(h);
}
Msg cover(const std::string& path, int32_t w, int32_t h) { return cover(path, Msg().i32(w), Msg().i32(h)); }

class Channels : public ::testing::Test {
 protected:
  void SetUp() override {
    // Module state outlives a test: serve whatever is still pending.
    fake::reset(UINT64_MAX);
    channels_run_due();
    fake::reset(1000000000ull);
    g_panel = Panel{};
  }
  // Brings the screensaver up and serves the cover's deadline.
  void screensaver_cycle() {
    p.suspended = true;
    channels_on_screensaver();
    fake::advance_ms(1200);
    channels_run_due();
    p.suspended = false;
  }
  // The i-th cover drawn, as "path WxH".
  std::string drawn(size_t i) {
    if (i >= p.covers.size()) return "<none>";
    const Cover& c = p.covers[i];
    return c.path + " " + std::to_string(c.width) + "x" + std::to_string(c.height);
  }
  Panel& p = g_panel;
};

TEST_F(Channels, FixedRepliesAreByteExact) {
  Msg caps;
  (caps << 0).map(7).str("platform").str("kindle").str("fullRefresh") << 1;
  caps.str("modes") << 0x0C << 5;
  caps.str("hd").str("regal").str("balanced").str("fast").str("ultrafast");
  for (const char* feature : {"nightMode", "flashPolicy", "motionMode", "dithering"}) caps.str(feature) << 1;
  EXPECT_EQ(call(kEpd, "capabilities"), caps.b);
  // The driver first, then the modes and counts as they are.
  p.state = {true, false, true, 6, 3, 2, "Gray8"};
  Msg diag;
  (diag << 0).map(10).str("platform").str("kindle").str("driver").str("mxc");
  diag.str("pixels").str("Gray8");
  (diag.str("night") << 1).str("motion").str("auto").str("dithering") << 2;
  diag.str("flashEvery").i32(6).str("flashEveryNight").i32(3).str("sinceFlash").i32(2);
  diag.str("orientation").i32(0);
  EXPECT_EQ(call(kEpd, "diagnostics"), diag.b);
  EXPECT_EQ(call(kEpdc, "diagnostics"), diag.b);
  EXPECT_EQ(call(kCover, "platform"), (Msg() << 0).str("kindle").b);
  EXPECT_EQ(call(kCover, "currentImage"), (Bytes{0, 0}));
  EXPECT_EQ(call(kEpdc, "isSupported"), kFalse);
  p.supports_swipe = true;
  EXPECT_EQ(call(kEpdc, "isSupported"), kTrue);
}

TEST_F(Channels, UnknownCallsGetTheEmptyResponseAndOtherChannelsNone) {
  const Bytes calls[] = {
      (Msg().str("capabilitie") << 0).b,
      (Msg().str("Capabilities") << 0).b,
      (Msg().str("setImage") << 0).b,  // another channel's method
      Msg().str("capabilities" + std::string(60, 'x')).b,  // nothing once cut to 63 bytes
      (Msg() << 7 << 14 << std::string("fullRefresh\0xy", 14) << 0).b,
      Msg().i32(1).b,
      (Msg() << 7 << 20 << "short").b,
      {},
  };
  for (const Bytes& msg : calls) {
    Reply r = send(kEpd, msg);
    EXPECT_TRUE(r.taken == 1 && r.count == 1 && !r.had_data && r.bytes.empty());
  }
  for (const char* channel : {"app.folian.EINK_EPD", "app.folian.eink_epd2", "flutter/platform", ""}) {
    Reply r = send(channel, (Msg().str("capabilities") << 0).b);
    EXPECT_TRUE(r.taken == 0 && r.count == 0) << channel;
  }
  // Without a handle a call still acts, but nothing is answered.
  Reply r = send(kEpd, (Msg().str("fullRefresh") << 0).b, false);
  EXPECT_TRUE(r.taken == 1 && r.count == 0);
  EXPECT_EQ(send(kEpd, (Msg().str("nope") << 0).b, false).count, 0u);
  EXPECT_EQ(p.full_refreshes, 1);
}

TEST_F(Channels, RefreshModeNamesMatchExactly) {
  const std::pair<Msg, int> cases[] = {
      {Msg().map(1).str("mode").str("hd"), 1},       {Msg().map(1).str("mode").str("regal"), 2},
      {Msg().map(1).str("mode").str("balanced"), 3}, {Msg().map(1).str("mode").str("fast"), 4},
      {Msg().map(1).str("mode").str("ultrafast"), 5}, {Msg().map(1).str("mode").str("HD"), 0},
      {Msg().map(1).str("mode").str("fastest"), 0},  {Msg().map(1).str("mode").i32(4), 0},
      {kNoArgs, 0}, {Msg().map(2).str("other").str("x").str("mode").str("regal"), 2},
  };
  for (const auto& [args, mode] : cases) {
    EXPECT_EQ(call(kEpd, "setRefreshMode", args), kTrue);
    EXPECT_EQ(p.modes.back(), mode);
  }
  EXPECT_EQ(p.modes.size(), std::size(cases));
}

// Only a boolean true turns night mode or dithering on; anything else asks
// for the default, off.
TEST_F(Channels, NightModeAndDitheringTakeABoolean) {
  const std::pair<Msg, bool> cases[] = {
      {Msg().map(1).str("enabled") << 1, true},   {Msg().map(1).str("enabled") << 2, false},
      {kNoArgs, false},                           {Msg().map(1).str("enabled").i32(1), false},
      {Msg().map(1).str("Enabled") << 1, false},  {(Msg().map(2).str("x") << 2).str("enabled") << 1, true},
  };
  std::vector<bool> want;
  for (const auto& [args, on] : cases) {
    EXPECT_EQ(call(kEpd, "setNightMode", args), kTrue);
    EXPECT_EQ(call(kEpd, "setDithering", args), kTrue);
    want.push_back(on);
  }
  EXPECT_EQ(p.night, want);
  EXPECT_EQ(p.dithering, want);
}

// Each count an integer sets (below 0: never) and anything else leaves; the
// motion mode is "auto" or off.
TEST_F(Channels, FlashPolicyAndMotionMode) {
  p.state.flash_every = 5;
  p.state.flash_every_night = 7;
  const std::pair<Msg, std::pair<int, int>> flash[] = {
      {Msg().map(2).str("every").i32(4).str("nightEvery").i32(2), {4, 2}},
      {Msg().map(1).str("nightEvery").i64(-3), {4, 0}},
      {Msg().map(2).str("every").i64(1LL << 40).str("nightEvery").str("9"), {INT_MAX, 0}},
      {kNoArgs, {INT_MAX, 0}},
  };
  for (const auto& [args, counts] : flash) {
    EXPECT_EQ(call(kEpd, "setFlashPolicy", args), kTrue);
    EXPECT_EQ(p.flash_every.back(), counts);
  }
  const std::pair<Msg, bool> motion[] = {{Msg().map(1).str("mode").str("auto"), true},
                                         {Msg().map(1).str("mode").str("off"), false},
                                         {Msg().map(1).str("mode").str("Auto"), false},
                                         {kNoArgs, false}};
  for (const auto& [args, on] : motion) {
    EXPECT_EQ(call(kEpd, "setMotionMode", args), kTrue);
    EXPECT_EQ(p.motion.back(), on);
  }
}

TEST_F(Channels, FullRefreshWithoutAPositiveIntegerDelayIsImmediate) {
  const Msg args[] = {kNoArgs, delay(Msg().i32(0)), delay(Msg().i32(-5)), delay(Msg().i64(-1)),
                      delay(Msg().f64(0x4059000000000000ull)), delay(Msg().str("100")), delay(Msg() << 1)};
  for (const Msg& a : args) EXPECT_EQ(call(kEpd, "fullRefresh", a), kTrue);
  EXPECT_EQ(p.full_refreshes, (int)std::size(args));
  EXPECT_EQ(channels_next_timeout_ms(), -1);
}

TEST_F(Channels, DeferredFullRefreshDeadlines) {
  EXPECT_EQ(call(kEpd, "fullRefresh", delay(Msg().i32(300))), kTrue);
  EXPECT_EQ(p.full_refreshes, 0);
  EXPECT_EQ(channels_next_timeout_ms(), 301) << "exactly 300 ms ahead rounds up";
  fake::advance_ms(100);
  call(kEpd, "fullRefresh", delay(Msg().i64(100)));  // replaces the pending one
  EXPECT_EQ(channels_next_timeout_ms(), 101);
  call(kEpd, "fullRefresh");  // an immediate one keeps it
  EXPECT_EQ(p.full_refreshes, 1);
  fake::advance_ms(99);
  fake::set_time(fake::time_ns() + 400000);
  EXPECT_EQ(channels_next_timeout_ms(), 1) << "0.6 ms left";
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 1);
  fake::advance_ms(1);
  EXPECT_EQ(channels_next_timeout_ms(), 0);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 2);
  EXPECT_EQ(channels_next_timeout_ms(), -1);
  fake::advance_ms(300);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 2) << "the replaced deadline is gone";
}

TEST_F(Channels, FullRefreshWaitsForARunningPageTurn) {
  p.swipe_busy = true;
  EXPECT_EQ(call(kEpd, "fullRefresh"), kTrue);
  for (int retry = 0; retry < 2; retry++) {
    EXPECT_EQ(p.full_refreshes, 0);
    EXPECT_EQ(channels_next_timeout_ms(), 51);
    fake::advance_ms(50);
    channels_run_due();
  }
  p.swipe_busy = false;
  fake::advance_ms(50);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 1);
  EXPECT_EQ(channels_next_timeout_ms(), -1);
}

TEST_F(Channels, HugeDelaysNeitherWrapNorSpin) {
  // INT64_MAX ms is far beyond the 64-bit nanosecond clock; a wrapped
  // deadline would fire at once or read as "none pending".
  for (int64_t ms : {INT64_MAX, (int64_t)(UINT64_MAX / 1000000), (int64_t)INT_MAX + 5}) {
    call(kEpd, "fullRefresh", delay(Msg().i64(ms)));
    EXPECT_EQ(channels_next_timeout_ms(), INT_MAX) << ms;
    channels_run_due();
    EXPECT_EQ(p.full_refreshes, 0) << ms;
  }
  fake::set_time(UINT64_MAX - 5000000);  // near the end of the clock's range
  call(kEpd, "fullRefresh", delay(Msg().i32(1000)));
  EXPECT_EQ(channels_next_timeout_ms(), 6);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 0);
  fake::set_time(UINT64_MAX);
  EXPECT_EQ(channels_next_timeout_ms(), 0);
  channels_run_due();
  EXPECT_EQ(p.full_refreshes, 1);
}

TEST_F(Channels, SleepCoverIsDrawnAfterTheScreensaverSettles) {
  EXPECT_EQ(call(kCover, "setImage", cover("/tmp/cover.raw", 600, 800)), kTrue);
  EXPECT_TRUE(p.covers.empty()) << "not suspended: nothing drawn yet";
  p.suspended = true;
  channels_on_screensaver();
  fake::advance_ms(500);
  call(kEpd, "fullRefresh", delay(Msg().i32(1000)));
  EXPECT_EQ(channels_next_timeout_ms(), 701) << "the earlier of two deadlines";
  fake::advance_ms(699);
  channels_run_due();
  EXPECT_TRUE(p.covers.empty());
  fake::advance_ms(1);
  channels_run_due();
  EXPECT_EQ(drawn(0), "/tmp/cover.raw 600x800");
  EXPECT_EQ(channels_next_timeout_ms(), 301);
  // While suspended a new cover is drawn at once.
  EXPECT_EQ(call(kCover, "setImage", cover("/tmp/b.raw", 10, 20)), kTrue);
  EXPECT_EQ(drawn(1), "/tmp/b.raw 10x20");
  // An empty path is drawn (and fails there) but schedules nothing.
  EXPECT_EQ(call(kCover, "setImage", cover("", 3, 4)), kTrue);
  fake::advance_ms(300);
  channels_run_due();
  channels_on_screensaver();
  EXPECT_EQ(channels_next_timeout_ms(), -1);
}

TEST_F(Channels, SetImageArguments) {
  std::string longest(511, 'p');
  call(kCover, "setImage", cover("/old", 5, 6));
  // A bad path keeps the old cover.
  const Msg bad_paths[] = {cover(std::string(512, 'q'), 1, 2), Msg().map(1).str("path").i32(7),
                           Msg().map(2).str("width").i32(1).str("height").i32(1), kNoArgs};
  for (const Msg& args : bad_paths) EXPECT_EQ(call(kCover, "setImage", args), kFalse);
  screensaver_cycle();
  EXPECT_EQ(drawn(0), "/old 5x6");
  // Sizes outside 1..INT32_MAX, or not integers, are no size: the call fails
  // and nothing is drawn, but the path is kept.
  const std::pair<Msg, Msg> bad_sizes[] = {
      {Msg().i32(0), Msg().i32(10)},         {Msg().i32(INT32_MIN), Msg().i32(10)},
      {Msg().i64(0x100000005LL), Msg().i32(10)}, {Msg().i64(-4294967291LL), Msg().i32(10)},
      {Msg().i32(10), Msg().i32(-1)},        {Msg().i32(10), Msg().str("10")},
      {Msg().i32(10), Msg() << 1}};
  p.suspended = true;
  for (const auto& [w, h] : bad_sizes) EXPECT_EQ(call(kCover, "setImage", cover("/bad", w, h)), kFalse);
  EXPECT_EQ(p.covers.size(), 1u) << "never drawn from a rejected size";
  screensaver_cycle();
  EXPECT_EQ(drawn(1), "/bad 10x0");
  EXPECT_EQ(call(kCover, "setImage", cover(longest, Msg().i64(INT32_MAX), Msg().i64(1))), kTrue);
  screensaver_cycle();
  EXPECT_EQ(drawn(2), longest + " 2147483647x1");
}

TEST_F(Channels, ArmPageTurnDirectionsAndSteps) {
  struct Case {
    Msg args;
    unsigned direction, steps;
  } cases[] = {
      {kNoArgs, 2, 12},
      {(Msg().map(2).str("vertical") << 1).str("forward") << 2, 0, 12},
      {Msg().map(1).str("forward") << 2, 3, 12},
      {Msg().map(1).str("vertical") << 1, 1, 12},
      {Msg().map(1).str("vertical").i32(1), 2, 12},  // not a boolean
      {Msg().map(1).str("speedBits").i32(63), 2, 6},
      {Msg().map(1).str("speedBits").i32(64), 2, 12},
      {Msg().map(1).str("speedBits").i32(127), 2, 12},
      {Msg().map(1).str("speedBits").i64(128), 2, 20},
      {Msg().map(1).str("speedBits").i64(INT64_MIN), 2, 6},
      {Msg().map(1).str("speedBits").str("128"), 2, 12},
  };
  for (bool supported : {false, true}) {
    p.supports_swipe = supported;
    p.swipes.clear();
    for (const Case& c : cases) EXPECT_EQ(call(kEpdc, "armPageTurn", c.args), supported ? kTrue : kFalse);
    ASSERT_EQ(p.swipes.size(), std::size(cases)) << "armed on every panel";
    for (size_t i = 0; i < std::size(cases); i++)
      EXPECT_EQ(p.swipes[i], std::make_pair(cases[i].direction, cases[i].steps)) << i;
  }
  // The driver sweeps in the panel's directions: a turn along the turned
  // picture's x axis sweeps along the panel axis it now runs on.
  struct Turned {
    int degrees;
    unsigned forward, upward;  // the driver's direction for each
  } turned[] = {{90, 1, 3}, {180, 3, 0}, {270, 0, 2}};
  for (const Turned& t : turned) {
    orientation_set(t.degrees, "test");
    p.swipes.clear();
    call(kEpdc, "armPageTurn", kNoArgs);
    call(kEpdc, "armPageTurn", Msg().map(1).str("vertical") << 1);
    ASSERT_EQ(p.swipes.size(), 2u);
    EXPECT_EQ(p.swipes[0].first, t.forward) << t.degrees;
    EXPECT_EQ(p.swipes[1].first, t.upward) << t.degrees;
  }
  orientation_set(0, "test");
}

// Before the first refresh has probed the driver, the page-turn replies wait
// for it (the arming itself is made at once), two seconds at most; at close,
// whatever still waits is answered from what is known.
TEST_F(Channels, PageTurnRepliesWaitForTheDriverKind) {
  auto answers = [](size_t from) {
    std::vector<Bytes> out;
    for (size_t i = from; i < fake::responses().size(); i++) out.push_back(fake::responses()[i].bytes);
    return out;
  };
  p.kind_pending = true;
  size_t start = fake::responses().size();
  EXPECT_EQ(send(kEpdc, (Msg().str("isSupported") << 0).b).count, 0u);
  fake::advance_ms(500);
  EXPECT_EQ(send(kEpdc, (Msg().str("armPageTurn") << 0).b).count, 0u);
  EXPECT_EQ(p.swipes.size(), 1u);
  EXPECT_EQ(send(kEpdc, (Msg().str("diagnostics") << 0).b).count, 1u) << "only page turns wait";
  EXPECT_EQ(channels_next_timeout_ms(), 1501);
  fake::advance_ms(1499);
  channels_run_due();
  EXPECT_EQ(answers(start).size(), 1u);
  p.kind_pending = false;
  p.supports_swipe = true;
  channels_run_due();
  EXPECT_EQ(answers(start + 1), std::vector<Bytes>({kTrue, kTrue}));
  EXPECT_EQ(channels_next_timeout_ms(), -1);

  // The kind stays open: the wait ends after two seconds; a full list of
  // waiting replies answers a new one at once.
  p.kind_pending = true;
  p.supports_swipe = false;
  start = fake::responses().size();
  for (int i = 0; i < 17; i++) send(kEpdc, (Msg().str("isSupported") << 0).b);
  EXPECT_EQ(answers(start).size(), 1u);
  fake::advance_ms(1999);
  channels_run_due();
  EXPECT_EQ(answers(start).size(), 1u);
  fake::advance_ms(1);
  EXPECT_EQ(channels_next_timeout_ms(), 0);
  channels_run_due();
  EXPECT_EQ(answers(start), std::vector<Bytes>(17, kFalse));

  send(kEpdc, (Msg().str("armPageTurn") << 0).b);
  EXPECT_EQ(answers(start).size(), 17u);
  channels_close();
  EXPECT_EQ(answers(start).size(), 18u);
}

}  // namespace
