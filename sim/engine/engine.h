// The engine object, shared by the exported functions (api.cpp) and the
// engine's own threads (engine.cpp).  The configuration is set by
// FlutterEngineRun before the threads start; the state after `lock` is
// guarded by it, except the threads themselves (platform thread only).
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "flutter_embedder.h"
#include "script.h"

// Exported besides those the program's header names.
extern "C" {
FlutterEngineResult FlutterEngineGetProcAddresses(FlutterEngineProcTable* table);
FlutterEngineResult FlutterEngineUpdateAccessibilityFeatures(FLUTTER_API_SYMBOL(FlutterEngine)
                                                                 engine,
                                                             FlutterAccessibilityFeature features);
}

// The engine's response handle: the program only ever sees its address.
struct _FlutterPlatformMessageResponseHandle {
  uint64_t id;
};

namespace stand_in {

// What the UI thread hears of the program's calls.
struct UiEvent {
  enum Type { kPointer, kKey, kLifecycle, kKeyMessage, kScheduleFrame, kMetrics, kReply };
  explicit UiEvent(Type t = kReply) : type(t) {}
  Type type;
  int phase = 0;
  double x = 0;
  int key_type = 0;
  uint64_t logical = 0;
  std::string text;
  uint64_t handle = 0;
};

// How a frame's pixels are laid out in memory.
enum class Pixels { kBgra, kGray8, kRgb565 };
inline int bytes_per_pixel(Pixels p) {
  return p == Pixels::kGray8 ? 1 : p == Pixels::kRgb565 ? 2 : 4;
}

struct Frame {
  Drawing drawing;
  int width = 0, rows = 0, row_bytes = 0;
  Pixels pixels = Pixels::kBgra;
};

struct Task {
  enum Kind { kNoop, kMessage, kKeyReply } kind = kNoop;
  uint64_t target = 0;
  std::string channel;
  std::vector<uint8_t> data;
  _FlutterPlatformMessageResponseHandle* handle = nullptr;
  FlutterKeyEventCallback key_callback = nullptr;
  void* key_user_data = nullptr;
};

struct HandleState {
  std::unique_ptr<_FlutterPlatformMessageResponseHandle> handle;
  std::string channel;
  bool delivered = false;
  bool answered = false;
};

inline const char* const kTaskKinds[] = {"noop", "message", "key_reply"};

// The engine's own task runner object: FlutterTask.runner points at it, so a
// task handed back with anything else belongs to no runner of this engine.
struct PlatformRunner {
  uint64_t tasks_posted = 0;
};

// What the engine's pointer converter remembers of one device.
struct PointerState {
  bool down = false;
};

}  // namespace stand_in

struct _FlutterEngine {
  // Configuration copied from FlutterEngineRun.
  std::string log_tag;
  bool has_log_tag = false;
  void* user_data = nullptr;
  SoftwareSurfacePresentCallback present = nullptr;
  // The program's compositor, as the release reads it (compositor.struct_size
  // 0: none, frames go to `present`).
  FlutterCompositor compositor{};
  FlutterPlatformMessageCallback on_message = nullptr;
  FlutterLogMessageCallback on_log = nullptr;
  FlutterTaskRunnerDescription runner{};
  stand_in::PlatformRunner platform_runner;  // its address is FlutterTask.runner
  FlutterEngineAOTData aot = nullptr;
  stand_in::Script script;

  std::mutex lock;
  std::condition_variable ui_cv, raster_cv, io_cv;
  bool stopping = false;
  std::deque<stand_in::UiEvent> ui_events;
  std::deque<stand_in::Frame> frames;
  std::map<uint64_t, stand_in::Task> tasks;
  uint64_t next_task = 1;
  std::map<const void*, stand_in::HandleState> handles;
  uint64_t next_handle = 1;
  int width = 0, height = 0;                           // from the window metrics; 0 until known
  std::map<int32_t, stand_in::PointerState> pointers;  // by device, as the converter keeps them

  std::thread ui, raster, io;

  // Starts the ui, raster and io threads; stop() ends and joins them.
  void start();
  void stop();

  // Hands a task to the program's platform runner and returns its id (0 when
  // the engine stops).  `engine_thread` is false only for the key-event
  // answer, which is posted from inside an API call.  `late` tasks are posted
  // while the engine shuts down, as the engine's own threads still do until
  // they are joined.
  uint64_t post(stand_in::Task t, uint64_t delay_ms, bool engine_thread = true, bool late = false);
  void push_ui(stand_in::UiEvent e);
};
