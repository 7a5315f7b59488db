// Settings, the engine clock, thread names and the trace: one line per event
// that crosses the API, which the end-to-end tests read.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace stand_in {

// Read from the environment once, at the first call (the variables are
// described in README.md).
struct Settings {
  std::string trace_path;    // FOLIAN_SIM_TRACE
  int fail_run = 0;          // FOLIAN_SIM_FAIL_RUN
  int run_delay_ms = 0;      // FOLIAN_SIM_RUN_DELAY_MS
  bool aot = false;          // FOLIAN_SIM_AOT=1
  bool log = false;          // FOLIAN_SIM_LOG=1
  int shutdown_hang_ms = 0;  // FOLIAN_SIM_SHUTDOWN_HANG_MS
};
const Settings& settings();

// The engine clock (FlutterEngineGetCurrentTime): CLOCK_MONOTONIC in ns.
uint64_t now_ns();

// The thread calling FlutterEngineRun becomes the platform thread.
void set_platform_thread();
bool on_platform_thread();
// Engine threads name themselves; any other thread is "platform" or "other".
void set_thread_name(const char* name);
const char* thread_name();

// Trace values never contain spaces: bytes outside '!'..'~' and '%' are
// written as %XX.
std::string enc(const std::string& s);
std::string hex(const uint8_t* p, size_t n);  // lower-case, two digits a byte
std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));

// One trace line: "<ns> <thread> <event> <fields>", written with one write()
// so that a killed process leaves whole lines behind.
void trace(const char* event, const std::string& fields = "");
void violation(const std::string& text);

}  // namespace stand_in
