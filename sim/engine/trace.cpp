#include "trace.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <thread>

namespace stand_in {
namespace {

std::mutex g_trace_lock;
int g_trace_fd = -1;
bool g_trace_opened = false;
thread_local const char* t_thread_name = nullptr;  // set on engine threads
std::mutex g_platform_lock;
std::thread::id g_platform_thread;  // the thread that called FlutterEngineRun
bool g_platform_known = false;

}  // namespace

const Settings& settings() {
  static const Settings s = [] {
    Settings r;
    if (const char* v = getenv("FOLIAN_SIM_TRACE")) r.trace_path = v;
    if (const char* v = getenv("FOLIAN_SIM_FAIL_RUN")) r.fail_run = atoi(v);
    if (const char* v = getenv("FOLIAN_SIM_RUN_DELAY_MS")) r.run_delay_ms = atoi(v);
    if (const char* v = getenv("FOLIAN_SIM_SHUTDOWN_HANG_MS")) r.shutdown_hang_ms = atoi(v);
    const char* aot = getenv("FOLIAN_SIM_AOT");
    r.aot = aot && strcmp(aot, "1") == 0;
    const char* log = getenv("FOLIAN_SIM_LOG");
    r.log = log && strcmp(log, "1") == 0;
    return r;
  }();
  return s;
}

uint64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

void set_platform_thread() {
  std::lock_guard<std::mutex> l(g_platform_lock);
  g_platform_thread = std::this_thread::get_id();
  g_platform_known = true;
}

bool on_platform_thread() {
  std::lock_guard<std::mutex> l(g_platform_lock);
  if (g_platform_known) return std::this_thread::get_id() == g_platform_thread;
  // Before the first run the process's main thread is the only candidate.
  return syscall(SYS_gettid) == getpid();
}

void set_thread_name(const char* name) { t_thread_name = name; }

const char* thread_name() {
  if (t_thread_name) return t_thread_name;
  return on_platform_thread() ? "platform" : "other";
}

std::string enc(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c > 0x20 && c < 0x7f && c != '%') {
      out += (char)c;
    } else {
      char b[4];
      snprintf(b, sizeof b, "%%%02X", c);
      out += b;
    }
  }
  return out;
}

std::string hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; i++) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

std::string fmt(const char* f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

void trace(const char* event, const std::string& fields) {
  const Settings& s = settings();
  if (s.trace_path.empty()) return;
  std::string line = std::to_string(now_ns()) + " " + thread_name() + " " + event;
  if (!fields.empty()) line += " " + fields;
  line += "\n";
  std::lock_guard<std::mutex> l(g_trace_lock);
  if (!g_trace_opened) {
    g_trace_opened = true;
    g_trace_fd = open(s.trace_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  if (g_trace_fd < 0) return;
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t w = write(g_trace_fd, p, left);
    if (w <= 0) break;
    p += w;
    left -= (size_t)w;
  }
}

void violation(const std::string& text) { trace("violation", "text=" + enc(text)); }

}  // namespace stand_in
