#include "engine.h"

#include <dlfcn.h>
#include <stddef.h>
#include <string.h>

#include <string>

#include "log.h"

namespace {

FlutterEngineProcTable g_api{};

// The first stable release that has a function; those older engines had
// already are told as such.
const char kBefore20[] = "Flutter 2.0 之前就有";
const char kSince20[] = "Flutter 2.0 起才有";
const char kSince22[] = "Flutter 2.2 起才有";
const char kSince30[] = "Flutter 3.0 起才有";

struct Entry {
  size_t offset;        // in FlutterEngineProcTable
  const char* name;     // the engine's exported name
  const char* since;    // the first release that has it
  const char* without;  // what goes without it; null: the program cannot
};

constexpr Entry kEntries[] = {
    {offsetof(FlutterEngineProcTable, RunsAOTCompiledDartCode),
     "FlutterEngineRunsAOTCompiledDartCode", kBefore20, nullptr},
    {offsetof(FlutterEngineProcTable, CreateAOTData), "FlutterEngineCreateAOTData", kBefore20,
     nullptr},
    {offsetof(FlutterEngineProcTable, CollectAOTData), "FlutterEngineCollectAOTData", kBefore20,
     nullptr},
    {offsetof(FlutterEngineProcTable, Run), "FlutterEngineRun", kBefore20, nullptr},
    {offsetof(FlutterEngineProcTable, Shutdown), "FlutterEngineShutdown", kBefore20, nullptr},
    {offsetof(FlutterEngineProcTable, SendWindowMetricsEvent),
     "FlutterEngineSendWindowMetricsEvent", kBefore20, nullptr},
    {offsetof(FlutterEngineProcTable, UpdateLocales), "FlutterEngineUpdateLocales", kBefore20,
     nullptr},
    {offsetof(FlutterEngineProcTable, SendPlatformMessage), "FlutterEngineSendPlatformMessage",
     kBefore20, nullptr},
    {offsetof(FlutterEngineProcTable, SendPlatformMessageResponse),
     "FlutterEngineSendPlatformMessageResponse", kBefore20, nullptr},
    {offsetof(FlutterEngineProcTable, GetCurrentTime), "FlutterEngineGetCurrentTime", kBefore20,
     nullptr},
    {offsetof(FlutterEngineProcTable, RunTask), "FlutterEngineRunTask", kBefore20, nullptr},
    {offsetof(FlutterEngineProcTable, SendPointerEvent), "FlutterEngineSendPointerEvent",
     kBefore20, nullptr},
    {offsetof(FlutterEngineProcTable, NotifyDisplayUpdate), "FlutterEngineNotifyDisplayUpdate",
     kSince20, "不告诉引擎屏幕的刷新率"},
    {offsetof(FlutterEngineProcTable, SendKeyEvent), "FlutterEngineSendKeyEvent", kSince22,
     "翻页键只以旧式按键消息（flutter/keyevent）送出"},
    {offsetof(FlutterEngineProcTable, ScheduleFrame), "FlutterEngineScheduleFrame", kSince30,
     "唤醒后重发窗口尺寸来要新的一帧"},
    {offsetof(FlutterEngineProcTable, UpdateAccessibilityFeatures),
     "FlutterEngineUpdateAccessibilityFeatures", kBefore20, "无障碍设置不转告应用"},
};

bool present(const FlutterEngineProcTable& table, size_t offset) {
  void* entry;
  memcpy(&entry, reinterpret_cast<const char*>(&table) + offset, sizeof entry);
  return entry != nullptr;
}

// SendKeyEvent was put into the middle of the table in 2.2.  An engine from
// before fills at most the entries up to NotifyDisplayUpdate of its shorter
// table, so nothing from our NotifyDisplayUpdate on; every engine since has
// that entry.  Its entries from SendPlatformMessage on move up one place.
void move_entries_of_a_table_without_key_events(FlutterEngineProcTable* table) {
  const char* bytes = reinterpret_cast<const char*>(table);
  for (size_t at = offsetof(FlutterEngineProcTable, NotifyDisplayUpdate); at < sizeof *table; at++)
    if (bytes[at]) return;
  memmove(&table->SendPlatformMessage, &table->SendKeyEvent,
          offsetof(FlutterEngineProcTable, NotifyDisplayUpdate) -
              offsetof(FlutterEngineProcTable, SendKeyEvent));
  table->SendKeyEvent = nullptr;
}

}  // namespace

const FlutterEngineProcTable& engine_api() { return g_api; }

bool engine_take_table(FlutterEngineGetProcAddressesFnPtr get_proc_addresses) {
  FlutterEngineProcTable table{};
  table.struct_size = sizeof table;
  FlutterEngineResult result = get_proc_addresses(&table);
  if (result != kSuccess) {
    log_error("引擎不肯给出函数表（%d）\n", (int)result);
    return false;
  }
  move_entries_of_a_table_without_key_events(&table);

  // The missing functions the program cannot do without, in one line,
  // grouped by the release that brought them.
  std::string missing;
  for (const Entry& e : kEntries) {
    if (e.without || present(table, e.offset)) continue;
    std::string group = std::string("（") + e.since + "）";
    size_t at = missing.find(group);
    if (at == std::string::npos) {
      missing += (missing.empty() ? "" : "；") + std::string(e.name) + group;
    } else {
      missing.insert(at, std::string("、") + e.name);
    }
  }
  if (!missing.empty()) {
    log_error("引擎缺少 %s\n", missing.c_str());
    return false;
  }
  for (const Entry& e : kEntries)
    if (e.without && !present(table, e.offset))
      log_info("引擎没有 %s（%s）：%s\n", e.name, e.since, e.without);
  g_api = table;
  return true;
}

bool engine_load(const char* path) {
  // Loaded here rather than by the program loader, so that an engine that
  // cannot be loaded (another architecture, a newer C library than the
  // device's) is told in a line and the screen is given back.  Local: no
  // later library may bind to the engine's symbols by accident.
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* why = dlerror();
    log_error("加载引擎失败：%s\n", why ? why : path);
    return false;
  }
  void* get = dlsym(library, "FlutterEngineGetProcAddresses");
  if (!get) {
    // Every engine since 2.0 has it: this is no Embedder API engine library.
    log_error("%s 不是 Flutter 的 Embedder API 引擎库：没有 FlutterEngineGetProcAddresses\n",
              path);
    dlclose(library);
    return false;
  }
  FlutterEngineGetProcAddressesFnPtr get_proc_addresses;
  memcpy(&get_proc_addresses, &get, sizeof get);
  if (!engine_take_table(get_proc_addresses)) {
    dlclose(library);
    return false;
  }
  // The library stays for the life of the process.
  return true;
}
