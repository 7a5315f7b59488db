// A recording engine for unit tests: the Embedder API functions the modules
// call, with a clock the test sets and a log of everything sent.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "flutter_embedder.h"

namespace fake {

struct Message {
  std::string channel;
  std::vector<uint8_t> bytes;
};

struct Response {
  const FlutterPlatformMessageResponseHandle* handle;
  std::vector<uint8_t> bytes;
  bool had_data;  // false when the response was sent with a null pointer
};

// The fake engine handle the modules are given.
FLUTTER_API_SYMBOL(FlutterEngine) engine();

// Clear every record and set the clock to `now_ns`.
void reset(uint64_t now_ns = 1000000000ull);
void set_time(uint64_t now_ns);
void advance_ms(uint64_t ms);
uint64_t time_ns();

// When set, called inside FlutterEngineRunTask with the task it was given.
void on_run_task(void (*fn)(const FlutterTask* task));

const std::vector<FlutterTask>& tasks_run();
const std::vector<Message>& messages_sent();
const std::vector<Response>& responses();
const std::vector<FlutterPointerEvent>& pointer_events();
const std::vector<FlutterKeyEvent>& key_events();  // without their characters

// The engine's FlutterEngineGetProcAddresses: every entry the modules call.
// reset() hands it to engine_take_table, as the program does with a real one.
FlutterEngineResult get_proc_addresses(FlutterEngineProcTable* table);

// A response handle to put into a message handed to the code under test.
const FlutterPlatformMessageResponseHandle* new_handle();

}  // namespace fake
