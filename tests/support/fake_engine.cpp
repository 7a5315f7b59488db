#include "fake_engine.h"

#include <mutex>

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

void reset(uint64_t now_ns) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_now = now_ns;
  g_run_task_hook = nullptr;
  g_tasks.clear();
  g_messages.clear();
  g_responses.clear();
  g_pointers.clear();
  g_keys.clear();
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

using namespace fake;

extern "C" {

uint64_t FlutterEngineGetCurrentTime(void) { return time_ns(); }

FlutterEngineResult FlutterEngineRunTask(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterTask* task) {
  g_tasks.push_back(*task);
  if (g_run_task_hook) g_run_task_hook(task);
  return kSuccess;
}

FlutterEngineResult FlutterEngineSendPlatformMessage(FLUTTER_API_SYMBOL(FlutterEngine),
                                                     const FlutterPlatformMessage* m) {
  g_messages.push_back({m->channel, std::vector<uint8_t>(m->message, m->message + m->message_size)});
  return kSuccess;
}

FlutterEngineResult FlutterEngineSendPlatformMessageResponse(
    FLUTTER_API_SYMBOL(FlutterEngine), const FlutterPlatformMessageResponseHandle* handle,
    const uint8_t* data, size_t size) {
  Response r{handle, {}, data != nullptr};
  if (data) r.bytes.assign(data, data + size);
  g_responses.push_back(r);
  return kSuccess;
}

FlutterEngineResult FlutterEngineSendPointerEvent(FLUTTER_API_SYMBOL(FlutterEngine),
                                                  const FlutterPointerEvent* events, size_t count) {
  for (size_t i = 0; i < count; i++) g_pointers.push_back(events[i]);
  return kSuccess;
}

FlutterEngineResult FlutterEngineSendKeyEvent(FLUTTER_API_SYMBOL(FlutterEngine),
                                              const FlutterKeyEvent* event, FlutterKeyEventCallback,
                                              void*) {
  g_keys.push_back(*event);
  g_keys.back().character = nullptr;
  return kSuccess;
}

FlutterEngineResult FlutterEngineScheduleFrame(FLUTTER_API_SYMBOL(FlutterEngine)) { return kSuccess; }

}  // extern "C"
