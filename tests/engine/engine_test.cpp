// The engine module: the table an engine fills, as engines of different
// releases fill it.
#include "engine.h"

#include <gtest/gtest.h>
#include <string.h>

#include "fake_engine.h"
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

}  // namespace
