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

// FlutterEngineProcTable as the embedder.h of the releases before 2.2
// declares it, after struct_size: no SendKeyEvent yet, and nothing after
// NotifyDisplayUpdate.  Such an engine fills these slots in this order.
const char* const kTableBefore22[] = {
    "CreateAOTData",
    "CollectAOTData",
    "Run",
    "Shutdown",
    "Initialize",
    "Deinitialize",
    "RunInitialized",
    "SendWindowMetricsEvent",
    "SendPointerEvent",
    "SendPlatformMessage",
    "PlatformMessageCreateResponseHandle",
    "PlatformMessageReleaseResponseHandle",
    "SendPlatformMessageResponse",
    "RegisterExternalTexture",
    "UnregisterExternalTexture",
    "MarkExternalTextureFrameAvailable",
    "UpdateSemanticsEnabled",
    "UpdateAccessibilityFeatures",
    "DispatchSemanticsAction",
    "OnVsync",
    "ReloadSystemFonts",
    "TraceEventDurationBegin",
    "TraceEventDurationEnd",
    "TraceEventInstant",
    "PostRenderThreadTask",
    "GetCurrentTime",
    "RunTask",
    "UpdateLocales",
    "RunsAOTCompiledDartCode",
    "PostDartObject",
    "NotifyLowMemoryWarning",
    "PostCallbackOnAllNativeThreads",
    "NotifyDisplayUpdate",
};
constexpr size_t kSlots = sizeof kTableBefore22 / sizeof kTableBefore22[0];
char g_function[kSlots];  // a function of its own for each slot

// The old engine's function of that name.
Fn old_function(const char* name) {
  for (size_t i = 0; i < kSlots; i++)
    if (strcmp(kTableBefore22[i], name) == 0) return reinterpret_cast<Fn>(&g_function[i]);
  return nullptr;
}

FlutterEngineResult fill_as_before_key_events(FlutterEngineProcTable* table) {
  char* bytes = reinterpret_cast<char*>(table);
  for (size_t i = 0; i < kSlots; i++) {
    Fn f = reinterpret_cast<Fn>(&g_function[i]);
    size_t at = sizeof(size_t) + i * sizeof f;
    if (at + sizeof f <= table->struct_size) memcpy(bytes + at, &f, sizeof f);
  }
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
  const FlutterEngineProcTable& got = engine_api();
  const struct {
    const char* name;
    Fn taken;
  } kTaken[] = {
      {"CreateAOTData", reinterpret_cast<Fn>(got.CreateAOTData)},
      {"CollectAOTData", reinterpret_cast<Fn>(got.CollectAOTData)},
      {"Run", reinterpret_cast<Fn>(got.Run)},
      {"Shutdown", reinterpret_cast<Fn>(got.Shutdown)},
      {"SendWindowMetricsEvent", reinterpret_cast<Fn>(got.SendWindowMetricsEvent)},
      {"SendPointerEvent", reinterpret_cast<Fn>(got.SendPointerEvent)},
      {"SendPlatformMessage", reinterpret_cast<Fn>(got.SendPlatformMessage)},
      {"SendPlatformMessageResponse", reinterpret_cast<Fn>(got.SendPlatformMessageResponse)},
      {"UpdateAccessibilityFeatures", reinterpret_cast<Fn>(got.UpdateAccessibilityFeatures)},
      {"GetCurrentTime", reinterpret_cast<Fn>(got.GetCurrentTime)},
      {"RunTask", reinterpret_cast<Fn>(got.RunTask)},
      {"UpdateLocales", reinterpret_cast<Fn>(got.UpdateLocales)},
      {"RunsAOTCompiledDartCode", reinterpret_cast<Fn>(got.RunsAOTCompiledDartCode)},
      {"NotifyDisplayUpdate", reinterpret_cast<Fn>(got.NotifyDisplayUpdate)},
  };
  for (const auto& t : kTaken) EXPECT_EQ(t.taken, old_function(t.name)) << t.name;
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
