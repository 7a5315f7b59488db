// The engine module: the table an engine fills, as engines of different
// releases fill it.
#include "engine.h"

#include <stdlib.h>

#include <gtest/gtest.h>
#include <string.h>

#include "compositor.h"
#include "fake_engine.h"
#include "snapshot.h"
#include "stderr_capture.h"

namespace {

using Fn = void (*)(void);

// The fake engine's entries laid out as a release before 2.2 fills its
// table: no SendKeyEvent, everything after SendPointerEvent one place
// earlier, nothing after NotifyDisplayUpdate.
FlutterEngineResult fill_as_before_key_events(FlutterEngineProcTable* table) {
  FlutterEngineProcTable full{};
  full.struct_size = sizeof full;
  fake::get_proc_addresses(&full);
  char* out = reinterpret_cast<char*>(table);
  const char* in = reinterpret_cast<const char*>(&full);
  size_t key = offsetof(FlutterEngineProcTable, SendKeyEvent);
  size_t next = offsetof(FlutterEngineProcTable, SendPlatformMessage);
  size_t end = offsetof(FlutterEngineProcTable, ScheduleFrame);
  memcpy(out + sizeof(size_t), in + sizeof(size_t), key - sizeof(size_t));
  memcpy(out + key, in + next, end - next);
  return kSuccess;
}

FlutterEngineResult fill_without_run_and_run_task(FlutterEngineProcTable* table) {
  fake::get_proc_addresses(table);
  table->Run = nullptr;
  table->RunTask = nullptr;
  return kSuccess;
}

TEST(Table, AnEngineBefore22HasItsEntriesMovedIntoPlace) {
  StderrCapture err;
  ASSERT_TRUE(engine_take_table(fill_as_before_key_events));
  std::string lines = err.text();
  FlutterEngineProcTable want{};
  fake::get_proc_addresses(&want);
  const FlutterEngineProcTable& got = engine_api();
  EXPECT_EQ(got.SendPointerEvent, want.SendPointerEvent);
  EXPECT_EQ(got.SendPlatformMessage, want.SendPlatformMessage);
  EXPECT_EQ(got.SendPlatformMessageResponse, want.SendPlatformMessageResponse);
  EXPECT_EQ(got.GetCurrentTime, want.GetCurrentTime);
  EXPECT_EQ(got.NotifyDisplayUpdate, want.NotifyDisplayUpdate);
  EXPECT_EQ(got.SendKeyEvent, nullptr);
  EXPECT_EQ(got.ScheduleFrame, nullptr);
  // One line for each function gone, with the release that brought it.
  EXPECT_EQ(count_of(lines, "\n"), 2u) << lines;
  EXPECT_NE(lines.find("] 引擎没有 FlutterEngineSendKeyEvent（Flutter 2.2 起才有）："), std::string::npos);
  EXPECT_NE(lines.find("] 引擎没有 FlutterEngineScheduleFrame（Flutter 3.0 起才有）："), std::string::npos);
}

TEST(Table, AWholeTableIsTakenAsItIs) {
  StderrCapture err;
  ASSERT_TRUE(engine_take_table(fake::get_proc_addresses));
  EXPECT_EQ(err.text(), "");
  FlutterEngineProcTable want{};
  fake::get_proc_addresses(&want);
  EXPECT_EQ(engine_api().SendKeyEvent, want.SendKeyEvent);
  EXPECT_EQ(engine_api().SendPlatformMessage, want.SendPlatformMessage);
}

TEST(Table, AMissingRequiredFunctionEndsTheStartNamingAllOfThem) {
  StderrCapture err;
  EXPECT_FALSE(engine_take_table(fill_without_run_and_run_task));
  EXPECT_NE(err.text().find("][错误] 引擎缺少 FlutterEngineRun、FlutterEngineRunTask（Flutter 2.0 之前就有）\n"),
            std::string::npos) << err.text();
}

// What the engine draws, from the release its snapshot names, the panel and
// FOLIAN_PIXELS; a release the table lacks counts as the newest.
TEST(Pixels, TheEnginesReleaseThePanelAndTheSettingChoose) {
  EXPECT_EQ(snapshot_release_number("501ef5cbd64ca70b6b42672346af6a8a"), 307);  // 3.7.0
  EXPECT_EQ(snapshot_release_number("b6d0a1f034d158b0d37b51d559379697"), 303);  // 3.3.10
  EXPECT_EQ(snapshot_release_number("00000000000000000000000000000000"), -1);
  constexpr auto kGray = FramePixels::kGray8, kBgra = FramePixels::kBgra;
  struct Case {
    const char* setting;
    int release;
    uint32_t bpp;
    bool rgb565;
    FramePixels want;
    const char* error;
  } cases[] = {
      {nullptr, 307, 8, false, kGray, nullptr},
      {nullptr, 303, 8, false, kBgra, nullptr},
      {nullptr, -1, 8, false, kGray, nullptr},
      {nullptr, 324, 16, true, FramePixels::kRgb565, nullptr},
      {nullptr, 324, 16, false, kBgra, nullptr},
      {nullptr, 344, 32, false, kBgra, nullptr},
      {"bgra", 344, 8, false, kBgra, nullptr},
      {"gray", 344, 8, false, kGray, nullptr},
      {"gray", 200, 8, false, kBgra, "FOLIAN_PIXELS=gray"},
      {"grey", 344, 8, false, kGray, "FOLIAN_PIXELS"},
  };
  for (const Case& c : cases) {
    if (c.setting)
      setenv("FOLIAN_PIXELS", c.setting, 1);
    else
      unsetenv("FOLIAN_PIXELS");
    StderrCapture err;
    EXPECT_EQ(compositor_choose(c.release, c.bpp, c.rgb565), c.want) << c.release << " " << c.bpp;
    std::string text = err.text();
    if (c.error)
      EXPECT_NE(text.find(c.error), std::string::npos) << text;
    else
      EXPECT_EQ(text, "") << c.release;
  }
  unsetenv("FOLIAN_PIXELS");
}

}  // namespace
