#include "fake_engine.h"

#include <mutex>

#include "engine.h"

namespace fake {
namespace {

std::mutex g_mutex;
uint64_t g_now = 1000000000ull;
void (*g_run_task_hook)(const FlutterTask*) = nullptr;
std::vector<FlutterTask> g_tasks;
std::vector<Message> g_messages;
std::vector<Response> g_responses;
std::vector<FlutterPointerEvent> g_pointers;
std::vector<FlutterKeyEvent> g_keys;
uintptr_t g_next_handle = 0x1000;
int g_engine_object;

}  // namespace

FLUTTER_API_SYMBOL(FlutterEngine) engine() {
  return reinterpret_cast<FLUTTER_API_SYMBOL(FlutterEngine)>(&g_engine_object);
}

void set_time(uint64_t now_ns) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_now = now_ns;
}

void advance_ms(uint64_t ms) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_now += ms * 1000000ull;
}

uint64_t time_ns() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_now;
}

void on_run_task(void (*fn)(const FlutterTask*)) { g_run_task_hook = fn; }
const std::vector<FlutterTask>& tasks_run() { return g_tasks; }
const std::vector<Message>& messages_sent() { return g_messages; }
const std::vector<Response>& responses() { return g_responses; }
const std::vector<FlutterPointerEvent>& pointer_events() { return g_pointers; }
const std::vector<FlutterKeyEvent>& key_events() { return g_keys; }

const FlutterPlatformMessageResponseHandle* new_handle() {
  return reinterpret_cast<const FlutterPlatformMessageResponseHandle*>(g_next_handle++);
}

}  // namespace fake

namespace fake {
namespace {

uint64_t current_time(void) { return time_ns(); }

FlutterEngineResult run_task(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterTask* task) {
  g_tasks.push_back(*task);
  if (g_run_task_hook) g_run_task_hook(task);
  return kSuccess;
}

FlutterEngineResult send_message(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterPlatformMessage* m) {
  g_messages.push_back({m->channel, std::vector<uint8_t>(m->message, m->message + m->message_size)});
  return kSuccess;
}

FlutterEngineResult send_response(FLUTTER_API_SYMBOL(FlutterEngine),
                                  const FlutterPlatformMessageResponseHandle* handle,
                                  const uint8_t* data, size_t size) {
  Response r{handle, {}, data != nullptr};
  if (data) r.bytes.assign(data, data + size);
  g_responses.push_back(r);
  return kSuccess;
}

FlutterEngineResult send_pointers(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterPointerEvent* events,
                                  size_t count) {
  for (size_t i = 0; i < count; i++) g_pointers.push_back(events[i]);
  return kSuccess;
}

FlutterEngineResult send_key(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterKeyEvent* event,
                             FlutterKeyEventCallback, void*) {
  g_keys.push_back(*event);
  g_keys.back().character = nullptr;
  return kSuccess;
}

// What the modules under test never call: present, so that the table is whole.
bool runs_aot(void) { return false; }
FlutterEngineResult refuse_aot(const FlutterEngineAOTDataSource*, FlutterEngineAOTData*) { return kInvalidArguments; }
FlutterEngineResult collect_aot(FlutterEngineAOTData) { return kInvalidArguments; }
FlutterEngineResult refuse_run(size_t, const FlutterRendererConfig*, const FlutterProjectArgs*, void*,
                               FLUTTER_API_SYMBOL(FlutterEngine)*) { return kInvalidArguments; }
FlutterEngineResult on_engine(FLUTTER_API_SYMBOL(FlutterEngine)) { return kSuccess; }
FlutterEngineResult on_display(FLUTTER_API_SYMBOL(FlutterEngine), FlutterEngineDisplaysUpdateType,
                               const FlutterEngineDisplay*, size_t) { return kSuccess; }
FlutterEngineResult on_metrics(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterWindowMetricsEvent*) { return kSuccess; }
FlutterEngineResult on_locales(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterLocale**, size_t) { return kSuccess; }
FlutterEngineResult on_features(FLUTTER_API_SYMBOL(FlutterEngine), FlutterAccessibilityFeature) { return kSuccess; }

}  // namespace

FlutterEngineResult get_proc_addresses(FlutterEngineProcTable* t) {
  t->RunsAOTCompiledDartCode = runs_aot;
  t->CreateAOTData = refuse_aot;
  t->CollectAOTData = collect_aot;
  t->Run = refuse_run;
  t->Shutdown = on_engine;
  t->NotifyDisplayUpdate = on_display;
  t->SendWindowMetricsEvent = on_metrics;
  t->UpdateLocales = on_locales;
  t->UpdateAccessibilityFeatures = on_features;
  t->ScheduleFrame = on_engine;
  t->GetCurrentTime = current_time;
  t->RunTask = run_task;
  t->SendPlatformMessage = send_message;
  t->SendPlatformMessageResponse = send_response;
  t->SendPointerEvent = send_pointers;
  t->SendKeyEvent = send_key;
  return kSuccess;
}

void reset(uint64_t now_ns) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_now = now_ns;
    g_run_task_hook = nullptr;
    g_tasks.clear();
    g_messages.clear();
    g_responses.clear();
    g_pointers.clear();
    g_keys.clear();
  }
  // The modules reach this engine the way they reach the real one.
  engine_take_table(get_proc_addresses);
}

}  // namespace fake
