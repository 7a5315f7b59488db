// Stand-in Flutter engine for the desktop and the tests.
//
// It exports the Embedder API functions folian uses, behaves like the real
// engine towards the program (own UI, raster and I/O threads; platform work
// only through the program's custom task runner; software frames from the
// raster thread) and checks the program's side of the contract on the way:
// tasks run on the platform thread, exactly one response per delivered
// message, correct struct sizes, calls from the platform thread, pointer
// sequences the engine's converter accepts.  Everything that crosses the API is written
// to a trace file, one line per event, which the end-to-end tests read.
//
// Environment (read once, at the first API call):
//   FOLIAN_SIM_TRACE=path     append the trace to this file (no trace when unset)
//   FOLIAN_SIM_FAIL_RUN=N     FlutterEngineRun validates, then returns result N
//   FOLIAN_SIM_RUN_DELAY_MS=N FlutterEngineRun takes N ms longer (after the
//                             engine threads have started)
//   FOLIAN_SIM_AOT=1          act as an AOT engine: FlutterEngineRunsAOTCompiledDartCode
//                             is true, FlutterEngineCreateAOTData wants an existing
//                             ELF file, FlutterEngineRun wants that handle as aot_data
//   FOLIAN_SIM_LOG=1          the UI and raster threads greet through the
//                             program's log callback when they start
//   FOLIAN_SIM_SHUTDOWN_HANG_MS=N  FlutterEngineShutdown takes N ms longer (the
//                             I/O thread is slow to stop)
//
// The application is a small text script, <assets_path>/folian_app.txt; the
// format and the trace format are described in README.md beside this file.

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "flutter_embedder.h"

// The engine's response handle: the program only ever sees its address.
struct _FlutterPlatformMessageResponseHandle {
  uint64_t id;
};

namespace {

constexpr uint64_t kReplyWaitMs = 5000;
constexpr uint64_t kLogicalPageDown = 0x100000307ull;
constexpr uint64_t kLogicalPageUp = 0x100000308ull;

uint64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

// ---------------------------------------------------------------- settings

struct Settings {
  std::string trace_path;
  int fail_run = 0;
  int run_delay_ms = 0;
  bool aot = false;
  bool log = false;
  int shutdown_hang_ms = 0;
};

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

// ------------------------------------------------------------------- trace

std::mutex g_trace_lock;
int g_trace_fd = -1;
bool g_trace_opened = false;
thread_local const char* t_thread_name = nullptr;  // set on engine threads
std::mutex g_platform_lock;
std::thread::id g_platform_thread;  // the thread that called FlutterEngineRun
bool g_platform_known = false;

bool on_platform_thread() {
  std::lock_guard<std::mutex> l(g_platform_lock);
  if (g_platform_known) return std::this_thread::get_id() == g_platform_thread;
  // Before the first run the process's main thread is the only candidate.
  return syscall(SYS_gettid) == getpid();
}

const char* thread_name() {
  if (t_thread_name) return t_thread_name;
  return on_platform_thread() ? "platform" : "other";
}

// Trace values never contain spaces: bytes outside '!'..'~' and '%' are
// written as %XX.
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

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

// One trace line: "<ns> <thread> <event> <fields>", written with one write()
// so that a killed process leaves whole lines behind.
void trace(const char* event, const std::string& fields = "") {
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

// ------------------------------------------------------------ method codec

// Just enough of the standard message codec to build method calls.
struct Encoder {
  std::vector<uint8_t> b;
  void size(uint32_t n) {
    if (n < 254) {
      b.push_back((uint8_t)n);
    } else if (n <= 0xffff) {
      b.push_back(254);
      b.push_back((uint8_t)n);
      b.push_back((uint8_t)(n >> 8));
    } else {
      b.push_back(255);
      for (int i = 0; i < 4; i++) b.push_back((uint8_t)(n >> (8 * i)));
    }
  }
  void string(const std::string& s) {
    b.push_back(7);
    size((uint32_t)s.size());
    b.insert(b.end(), s.begin(), s.end());
  }
  void int32(int32_t v) {
    b.push_back(3);
    for (int i = 0; i < 4; i++) b.push_back((uint8_t)((uint32_t)v >> (8 * i)));
  }
  void int64(int64_t v) {
    b.push_back(4);
    for (int i = 0; i < 8; i++) b.push_back((uint8_t)((uint64_t)v >> (8 * i)));
  }
  void float64(double v) {
    b.push_back(6);
    while (b.size() % 8 != 0) b.push_back(0);
    uint64_t bits;
    memcpy(&bits, &v, 8);
    for (int i = 0; i < 8; i++) b.push_back((uint8_t)(bits >> (8 * i)));
  }
};

// ----------------------------------------------------------------- script

struct Len {
  double value = 0;
  bool percent = false;
  int px(int whole) const { return percent ? (int)(value * whole / 100.0 + 0.5) : (int)value; }
};

struct DrawOp {
  enum Kind { kClear, kFill, kRect, kBands, kChecker } kind = kFill;
  Len x, y, w, h;
  uint8_t r = 255, g = 255, b = 255;
  int n = 0;
};
using Drawing = std::vector<DrawOp>;

struct Command {
  int line = 0;
  std::string name;
  std::vector<std::string> args;  // tokens after the name
  std::string tail;               // raw text after the name
  std::string rest;               // raw text after the first argument
  DrawOp op;                      // for drawing commands
  int width = 0, rows = 0, row_bytes = 0;  // present overrides (0 = default)
};

struct Script {
  std::vector<std::string> errors;  // told through the log callback once running
  std::vector<Command> commands;
  std::vector<Drawing> pages;
  bool has_pages = false;
};

std::vector<std::string> tokenize(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  bool in_token = false, quoted = false;
  for (size_t i = 0; i < s.size(); i++) {
    char c = s[i];
    if (quoted) {
      if (c == '\\' && i + 1 < s.size()) {
        cur += s[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        cur += c;
      }
    } else if (c == '"') {
      quoted = in_token = true;
    } else if (c == ' ' || c == '\t') {
      if (in_token) out.push_back(cur);
      cur.clear();
      in_token = false;
    } else {
      cur += c;
      in_token = true;
    }
  }
  if (in_token) out.push_back(cur);
  return out;
}

bool parse_int(const std::string& s, long long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long long v = strtoll(s.c_str(), &end, 0);
  if (*end) return false;
  *out = v;
  return true;
}

bool parse_len(const std::string& s, Len* out) {
  if (s.empty()) return false;
  std::string t = s;
  out->percent = t.back() == '%';
  if (out->percent) t.pop_back();
  char* end = nullptr;
  out->value = strtod(t.c_str(), &end);
  return !t.empty() && *end == 0;
}

// "gray G" or "rgb R G B" starting at args[i].
bool parse_colour(const std::vector<std::string>& a, size_t i, DrawOp* op) {
  long long v[3];
  if (i + 2 == a.size() && a[i] == "gray" && parse_int(a[i + 1], &v[0]) && v[0] >= 0 &&
      v[0] <= 255) {
    op->r = op->g = op->b = (uint8_t)v[0];
    return true;
  }
  if (i < a.size() && a[i] == "rgb" && i + 4 == a.size()) {
    for (int k = 0; k < 3; k++) {
      if (!parse_int(a[i + 1 + k], &v[k]) || v[k] < 0 || v[k] > 255) return false;
    }
    op->r = (uint8_t)v[0];
    op->g = (uint8_t)v[1];
    op->b = (uint8_t)v[2];
    return true;
  }
  return false;
}

// Returns an error text, empty when the line is a valid drawing command.
std::string parse_draw(Command* c) {
  const auto& a = c->args;
  DrawOp& op = c->op;
  if (c->name == "clear") {
    op.kind = DrawOp::kClear;
    return a.empty() ? "" : "clear takes no arguments";
  }
  if (c->name == "fill") {
    op.kind = DrawOp::kFill;
    return parse_colour(a, 0, &op) ? "" : "expected: fill gray G | fill rgb R G B";
  }
  if (c->name == "rect") {
    op.kind = DrawOp::kRect;
    if (a.size() >= 4 && parse_len(a[0], &op.x) && parse_len(a[1], &op.y) &&
        parse_len(a[2], &op.w) && parse_len(a[3], &op.h) && parse_colour(a, 4, &op))
      return "";
    return "expected: rect X Y W H gray G | rect X Y W H rgb R G B (X.. in px or %)";
  }
  if (c->name == "bands" || c->name == "checker") {
    op.kind = c->name == "bands" ? DrawOp::kBands : DrawOp::kChecker;
    long long n;
    if (a.size() == 1 && parse_int(a[0], &n) && n >= 1 && n <= 4096) {
      op.n = (int)n;
      return "";
    }
    return c->name + " takes one count from 1 to 4096";
  }
  return "?";
}

bool is_draw(const std::string& name) {
  return name == "clear" || name == "fill" || name == "rect" || name == "bands" ||
         name == "checker";
}

std::string parse_command(Command* c) {
  const std::string& n = c->name;
  const auto& a = c->args;
  if (is_draw(n)) return parse_draw(c);
  if (n == "present") {
    for (const auto& t : a) {
      size_t eq = t.find('=');
      long long v;
      if (eq == std::string::npos || !parse_int(t.substr(eq + 1), &v) || v < 0 || v > 100000)
        return "expected: present [width=N] [rows=N] [row_bytes=N]";
      std::string k = t.substr(0, eq);
      if (k == "width") c->width = (int)v;
      else if (k == "rows") c->rows = (int)v;
      else if (k == "row_bytes") c->row_bytes = (int)v;
      else return "unknown present option " + k;
    }
    return "";
  }
  long long v;
  if (n == "wait" || n == "task")
    return a.size() == 1 && parse_int(a[0], &v) && v >= 0 ? "" : n + " takes milliseconds";
  if (n == "wait_pointer") {
    static const char* phases[] = {"cancel", "up", "down", "move", "add", "remove", "hover", "any"};
    if (a.size() == 1)
      for (const char* p : phases)
        if (a[0] == p) return "";
    return "expected: wait_pointer cancel|up|down|move|add|remove|hover|any";
  }
  if (n == "wait_key")
    return a.empty() || (a.size() == 1 && (a[0] == "up" || a[0] == "down" || a[0] == "repeat" ||
                                           a[0] == "any"))
               ? ""
               : "expected: wait_key [up|down|repeat|any]";
  if (n == "wait_lifecycle")
    return a.size() == 1 ? "" : "expected: wait_lifecycle resumed|inactive|paused|detached|hidden";
  if (n == "call") {
    if (a.size() < 2) return "expected: call CHANNEL METHOD [key=TYPE:VALUE ...]";
    for (size_t i = 2; i < a.size(); i++) {
      size_t eq = a[i].find('=');
      if (eq == std::string::npos || eq + 1 >= a[i].size()) return "bad argument " + a[i];
      std::string tv = a[i].substr(eq + 1);
      char t = tv[0];
      if (tv == "n" || tv == "n:") continue;
      if (tv.size() < 2 || tv[1] != ':' || !strchr("silbd", t)) return "bad argument " + a[i];
      std::string val = tv.substr(2);
      if ((t == 'i' || t == 'l') && !parse_int(val, &v)) return "bad integer in " + a[i];
      if (t == 'i' && (v < INT32_MIN || v > INT32_MAX)) return "int32 out of range in " + a[i];
      if (t == 'b' && val != "true" && val != "false") return "bad bool in " + a[i];
      if (t == 'd') {
        char* end = nullptr;
        strtod(val.c_str(), &end);
        if (val.empty() || *end) return "bad double in " + a[i];
      }
    }
    return "";
  }
  if (n == "message" || n == "message_hex") {
    if (a.empty()) return "expected: " + n + " CHANNEL BYTES";
    if (n == "message_hex") {
      std::string h;
      for (char ch : c->rest)
        if (ch != ' ') h += ch;
      if (h.size() % 2 || h.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return "bad hex bytes";
    }
    return "";
  }
  if (n == "quit" || n == "pages") return a.empty() ? "" : n + " takes no arguments";
  if (n == "log") return "";
  return "unknown command " + n;
}

Script load_script(const std::string& assets) {
  Script s;
  std::string path = assets + "/folian_app.txt";
  FILE* f = fopen(path.c_str(), "r");
  if (!f) {
    // No script: an idle application that shows one white page.
    Command fill;
    fill.name = "fill";  // the default DrawOp fills white
    s.commands.push_back(fill);
    Command c;
    c.name = "present";
    s.commands.push_back(c);
    return s;
  }
  trace("script", "path=" + enc(path));
  auto error = [&s](int line, const std::string& text) {
    trace("script_error", fmt("line=%d text=", line) + enc(text));
    s.errors.push_back(fmt("folian_app.txt:%d: ", line) + text);
  };
  char buf[4096];
  int line = 0;
  bool in_page = false, after_pages = false;
  while (fgets(buf, sizeof buf, f)) {
    line++;
    std::string text(buf);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos || text[start] == '#') continue;
    text = text.substr(start);
    Command c;
    c.line = line;
    size_t sp = text.find_first_of(" \t");
    c.name = text.substr(0, sp);
    std::string tail = sp == std::string::npos ? "" : text.substr(sp + 1);
    c.args = tokenize(tail);
    c.tail = tail;
    // The raw bytes of "message CHANNEL BYTES": everything after the channel.
    size_t t0 = tail.find_first_not_of(" \t");
    if (t0 != std::string::npos) {
      size_t t1 = tail.find_first_of(" \t", t0);
      if (t1 != std::string::npos) c.rest = tail.substr(t1 + 1);
    }
    if (c.name == "page") {
      if (after_pages) {
        error(line, "page after pages");
        continue;
      }
      s.pages.emplace_back();
      in_page = true;
      continue;
    }
    std::string err = parse_command(&c);
    if (!err.empty()) {
      error(line, err);
      continue;
    }
    if (after_pages) {
      error(line, "nothing runs after pages");
      continue;
    }
    if (in_page) {
      if (is_draw(c.name)) {
        s.pages.back().push_back(c.op);
        continue;
      }
      if (c.name != "pages") {
        error(line, "only drawing commands belong to a page");
        continue;
      }
    }
    if (c.name == "pages") {
      if (s.pages.empty()) {
        error(line, "pages without any page");
        continue;
      }
      after_pages = true;
      s.has_pages = true;
      in_page = false;
    }
    s.commands.push_back(c);
  }
  fclose(f);
  return s;
}

// ---------------------------------------------------------------- engine

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

struct Frame {
  Drawing drawing;
  int width = 0, rows = 0, row_bytes = 0;
};

struct Task {
  enum Kind { kNoop, kMessage, kKeyReply } kind = kNoop;
  uint64_t target = 0;
  bool ran = false;
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

const char* kTaskKinds[] = {"noop", "message", "key_reply"};

// The engine's own task runner object: FlutterTask.runner points at it, so a
// task handed back with anything else belongs to no runner of this engine.
struct PlatformRunner {
  uint64_t tasks_posted = 0;
};

// What the engine's pointer converter remembers of one device.
struct PointerState {
  bool down = false;
};

}  // namespace

struct _FlutterEngine {
  // Configuration copied from FlutterEngineRun.
  std::string assets, icu, log_tag;
  bool has_log_tag = false;
  void* user_data = nullptr;
  SoftwareSurfacePresentCallback present = nullptr;
  FlutterPlatformMessageCallback on_message = nullptr;
  FlutterLogMessageCallback on_log = nullptr;
  FlutterTaskRunnerDescription runner{};
  PlatformRunner platform_runner;  // its address is FlutterTask.runner
  FlutterEngineAOTData aot = nullptr;
  Script script;

  std::mutex lock;
  std::condition_variable ui_cv, raster_cv, io_cv;
  bool stopping = false;
  bool shut_down = false;
  std::deque<UiEvent> ui_events;
  std::deque<Frame> frames;
  std::map<uint64_t, Task> tasks;
  uint64_t next_task = 1;
  std::map<const void*, HandleState> handles;
  uint64_t next_handle = 1;
  int width = 0, height = 0;  // from the window metrics; 0 until known
  std::map<int32_t, PointerState> pointers;  // by device, as the converter keeps them

  std::thread ui, raster, io;

  // UI-thread state (touched only by the UI thread).
  std::string lifecycle = "resumed";
  bool paused = false;
  bool shown = false;  // a frame was requested once
  bool present_pending = false;
  Frame pending_frame;
  Drawing current;
  size_t page = 0;
  bool pages_mode = false;
  int last_key_dir = 0;

  // Script errors reach the user through the program's log, or stderr.
  void report(const std::string& msg) {
    if (on_log) log(msg);
    else fprintf(stderr, "%s\n", msg.c_str());
  }

  void log(const std::string& msg) {
    if (!on_log) return;
    trace("log", "tag=" + (has_log_tag ? enc(log_tag) : std::string("null")) + " text=" + enc(msg));
    on_log(has_log_tag ? log_tag.c_str() : nullptr, msg.c_str(), user_data);
  }

  // Engine threads must never be taken for the platform thread.
  void check_not_platform() {
    if (runner.runs_task_on_current_thread_callback(runner.user_data))
      violation(std::string("runs_task_on_current_thread_callback returned true on the ") +
                thread_name() + " thread");
  }

  // Hands a task to the program's platform runner.  `engine_thread` is false
  // only for the key-event answer, which is posted from inside an API call.
  // `late` tasks are posted while the engine shuts down, as the engine's own
  // threads still do until they are joined.
  uint64_t post(Task t, uint64_t delay_ms, bool engine_thread = true, bool late = false) {
    if (engine_thread) check_not_platform();
    uint64_t now = now_ns();
    t.target = now + delay_ms * 1000000ull;
    uint64_t id;
    Task::Kind kind = t.kind;
    uint64_t target = t.target;
    {
      std::lock_guard<std::mutex> l(lock);
      if (stopping && !late) return 0;
      id = next_task++;
      platform_runner.tasks_posted++;
      tasks[id] = std::move(t);
    }
    trace("post_task", fmt("id=%llu kind=%s target=%llu delay=%llu", (unsigned long long)id,
                           kTaskKinds[kind], (unsigned long long)target,
                           (unsigned long long)(target - now)));
    FlutterTask ft;
    ft.runner = reinterpret_cast<FlutterTaskRunner>(&platform_runner);
    ft.task = id;
    runner.post_task_callback(ft, target, runner.user_data);
    return id;
  }

  // The engine's pointer converter: per device, added or not and down or
  // not.  Returns what the converter would assert on, empty when the event
  // fits.  A down or hover of a device never added adds it; a cancel of such
  // a device is dropped.
  std::string convert_pointer(int32_t device, int phase) {
    std::lock_guard<std::mutex> l(lock);
    auto it = pointers.find(device);
    bool known = it != pointers.end();
    bool down = known && it->second.down;
    switch (phase) {
      case kCancel:
        if (!known) return "";
        it->second.down = false;
        return down ? "" : "cancel while not down";
      case kAdd:
        if (known) return "add of a device already added";
        pointers[device] = PointerState{};
        return "";
      case kRemove:
        if (!known) return "remove of a device never added";
        pointers.erase(it);
        return "";
      case kHover:
        if (!known) pointers[device] = PointerState{};
        return down ? "hover while down" : "";
      case kDown:
        pointers[device].down = true;
        return down ? "down while already down" : "";
      case kMove:
      case kUp:
        if (!down) return std::string(phase == kMove ? "move" : "up") + " without down";
        it->second.down = phase == kMove;
        return "";
      default:
        return "";
    }
  }

  // Sends a message to the program and returns its handle id (0 when stopping).
  uint64_t send(const std::string& channel, const std::vector<uint8_t>& bytes) {
    auto h = std::make_unique<_FlutterPlatformMessageResponseHandle>();
    Task t;
    t.kind = Task::kMessage;
    t.channel = channel;
    t.data = bytes;
    t.handle = h.get();
    {
      std::lock_guard<std::mutex> l(lock);
      h->id = next_handle++;
      HandleState& st = handles[h.get()];
      st.channel = channel;
      st.handle = std::move(h);
    }
    uint64_t id = t.handle->id;
    trace("message_to_app", fmt("channel=%s handle=%llu size=%zu hex=", enc(channel).c_str(),
                                (unsigned long long)id, bytes.size()) +
                                hex(bytes.data(), bytes.size()));
    post(std::move(t), 0);
    return id;
  }

  void push_ui(UiEvent e) {
    {
      std::lock_guard<std::mutex> l(lock);
      ui_events.push_back(std::move(e));
    }
    ui_cv.notify_all();
  }

  // ---- UI thread

  // The application stops drawing by itself while paused, but a frame the
  // program schedules or a change of the window metrics is drawn anyway
  // (`forced`): keeping such frames off the panel is the program's business.
  void request_present(const Drawing& d, int w = 0, int rows = 0, int row_bytes = 0,
                       bool forced = false) {
    Frame f;
    f.drawing = d;
    f.width = w;
    f.rows = rows;
    f.row_bytes = row_bytes;
    if (paused && !forced) {
      trace("present_skipped", "reason=paused");
      return;
    }
    shown = true;
    int mw, mh;
    {
      std::lock_guard<std::mutex> l(lock);
      mw = width;
      mh = height;
    }
    if (mw <= 0 || mh <= 0) {
      // No window size yet: draw as soon as the metrics arrive.
      present_pending = true;
      pending_frame = f;
      return;
    }
    if (!f.width) f.width = mw;
    if (!f.rows) f.rows = mh;
    if (!f.row_bytes) f.row_bytes = f.width * 4;
    {
      std::lock_guard<std::mutex> l(lock);
      frames.push_back(std::move(f));
    }
    raster_cv.notify_all();
  }

  void turn_page(int dir) {
    size_t next = page;
    if (dir > 0 && page + 1 < script.pages.size()) next = page + 1;
    if (dir < 0 && page > 0) next = page - 1;
    if (next == page) return;
    page = next;
    current = script.pages[page];
    trace("page", fmt("index=%zu", page));
    request_present(current);
  }

  void apply(const UiEvent& e) {
    switch (e.type) {
      case UiEvent::kMetrics:
        if (present_pending) {
          present_pending = false;
          request_present(pending_frame.drawing, pending_frame.width, pending_frame.rows,
                          pending_frame.row_bytes, true);
        } else if (shown) {
          request_present(current, 0, 0, 0, true);
        }
        break;
      case UiEvent::kLifecycle:
        lifecycle = e.text;
        paused = e.text == "paused";
        break;
      case UiEvent::kScheduleFrame:
        request_present(current, 0, 0, 0, true);
        break;
      case UiEvent::kPointer:
        if (pages_mode && e.phase == kUp) {
          int w;
          {
            std::lock_guard<std::mutex> l(lock);
            w = width;
          }
          turn_page(e.x >= w / 2.0 ? 1 : -1);
        }
        break;
      case UiEvent::kKey:
        if (e.key_type == kFlutterKeyEventTypeDown &&
            (e.logical == kLogicalPageDown || e.logical == kLogicalPageUp)) {
          int dir = e.logical == kLogicalPageDown ? 1 : -1;
          last_key_dir = dir;
          if (pages_mode) turn_page(dir);
        }
        break;
      case UiEvent::kKeyMessage: {
        // The raw key message follows the key event of the same press; only
        // a message without one turns the page.
        if (e.text.find("\"keydown\"") == std::string::npos) break;
        int dir = e.text.find("\"keyCode\":65366") != std::string::npos   ? 1
                  : e.text.find("\"keyCode\":65365") != std::string::npos ? -1
                                                                           : 0;
        if (!dir) break;
        if (last_key_dir == dir) {
          last_key_dir = 0;
        } else if (pages_mode) {
          turn_page(dir);
        }
        break;
      }
      case UiEvent::kReply:
        break;
    }
  }

  // Handles UI events until `match` accepts one (true), the deadline passes
  // or the engine stops (false).  A deadline of 0 waits without limit.
  template <typename Match>
  bool pump(uint64_t deadline, Match match) {
    for (;;) {
      UiEvent e;
      {
        std::unique_lock<std::mutex> l(lock);
        for (;;) {
          if (stopping) return false;
          if (!ui_events.empty()) break;
          if (deadline == 0) {
            ui_cv.wait(l);
          } else {
            uint64_t now = now_ns();
            if (now >= deadline) return false;
            ui_cv.wait_for(l, std::chrono::nanoseconds(deadline - now));
          }
        }
        e = std::move(ui_events.front());
        ui_events.pop_front();
      }
      apply(e);
      if (match(e)) return true;
    }
  }

  bool stopped() {
    std::lock_guard<std::mutex> l(lock);
    return stopping;
  }

  void exchange(const Command& c, const std::string& channel, const std::vector<uint8_t>& bytes) {
    uint64_t id = send(channel, bytes);
    if (!id) return;
    bool got = pump(now_ns() + kReplyWaitMs * 1000000ull, [id](const UiEvent& e) {
      return e.type == UiEvent::kReply && e.handle == id;
    });
    if (!got && !stopped()) {
      std::string text = fmt("no reply on %s within %llu ms", channel.c_str(),
                             (unsigned long long)kReplyWaitMs);
      trace("script_error", fmt("line=%d text=", c.line) + enc(text));
      report(fmt("folian_app.txt:%d: ", c.line) + text);
    }
  }

  void run_command(const Command& c) {
    const std::string& n = c.name;
    const auto& a = c.args;
    if (is_draw(n)) {
      if (c.op.kind == DrawOp::kClear) current.clear();
      else current.push_back(c.op);
    } else if (n == "present") {
      request_present(current, c.width, c.rows, c.row_bytes);
    } else if (n == "wait") {
      pump(now_ns() + (uint64_t)atoll(a[0].c_str()) * 1000000ull,
           [](const UiEvent&) { return false; });
    } else if (n == "task") {
      Task t;
      post(std::move(t), (uint64_t)atoll(a[0].c_str()));
    } else if (n == "wait_pointer") {
      static const char* phases[] = {"cancel", "up", "down", "move", "add", "remove", "hover"};
      int want = -1;
      for (int i = 0; i < 7; i++)
        if (a[0] == phases[i]) want = i;
      pump(0, [want](const UiEvent& e) {
        return e.type == UiEvent::kPointer && (want < 0 || e.phase == want);
      });
    } else if (n == "wait_key") {
      int want = a.empty() || a[0] == "any" ? 0 : a[0] == "up" ? 1 : a[0] == "down" ? 2 : 3;
      pump(0, [want](const UiEvent& e) {
        return e.type == UiEvent::kKey && (want == 0 || e.key_type == want);
      });
    } else if (n == "wait_lifecycle") {
      if (lifecycle == a[0]) return;
      std::string want = a[0];
      pump(0, [&want](const UiEvent& e) { return e.type == UiEvent::kLifecycle && e.text == want; });
    } else if (n == "call") {
      Encoder enc_;
      enc_.string(a[1]);
      if (a.size() == 2) {
        enc_.b.push_back(0);
      } else {
        enc_.b.push_back(13);
        enc_.size((uint32_t)(a.size() - 2));
        for (size_t i = 2; i < a.size(); i++) {
          size_t eq = a[i].find('=');
          enc_.string(a[i].substr(0, eq));
          std::string tv = a[i].substr(eq + 1);
          std::string val = tv.size() > 2 ? tv.substr(2) : "";
          switch (tv[0]) {
            case 'n': enc_.b.push_back(0); break;
            case 's': enc_.string(val); break;
            case 'i': enc_.int32((int32_t)strtoll(val.c_str(), nullptr, 0)); break;
            case 'l': enc_.int64((int64_t)strtoll(val.c_str(), nullptr, 0)); break;
            case 'b': enc_.b.push_back(val == "true" ? 1 : 2); break;
            case 'd': enc_.float64(strtod(val.c_str(), nullptr)); break;
          }
        }
      }
      exchange(c, a[0], enc_.b);
    } else if (n == "message") {
      exchange(c, a[0], std::vector<uint8_t>(c.rest.begin(), c.rest.end()));
    } else if (n == "message_hex") {
      std::string h;
      for (char ch : c.rest)
        if (ch != ' ') h += ch;
      std::vector<uint8_t> bytes;
      for (size_t i = 0; i + 1 < h.size(); i += 2)
        bytes.push_back((uint8_t)strtoul(h.substr(i, 2).c_str(), nullptr, 16));
      exchange(c, a[0], bytes);
    } else if (n == "quit") {
      static const char pop[] = "{\"method\":\"SystemNavigator.pop\",\"args\":null}";
      trace("quit_request");
      exchange(c, "flutter/platform", std::vector<uint8_t>(pop, pop + sizeof pop - 1));
    } else if (n == "log") {
      log(c.tail);
    } else if (n == "pages") {
      pages_mode = true;
      page = 0;
      current = script.pages[0];
      trace("page", "index=0");
      request_present(current);
    }
  }

  void ui_main() {
    t_thread_name = "ui";
    check_not_platform();
    if (settings().log) log("stand-in engine ui thread up");
    for (const std::string& err : script.errors) report(err);
    for (const Command& c : script.commands) {
      if (stopped()) return;
      run_command(c);
    }
    pump(0, [](const UiEvent&) { return false; });
  }

  // ---- raster thread

  // The one surface the raster thread draws into and hands to the present
  // callback, reused from frame to frame.  It is exactly row_bytes x rows long
  // and ends at an inaccessible page, so a read past the frame faults.
  struct Surface {
    uint8_t* base = nullptr;
    size_t mapped = 0, size = 0;
    uint8_t* data = nullptr;

    uint8_t* get(size_t bytes) {
      if (base && bytes == size) return data;
      release();
      size_t page = (size_t)sysconf(_SC_PAGESIZE);
      size_t body = (bytes + page - 1) / page * page;
      void* m = mmap(nullptr, body + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
      if (m == MAP_FAILED) return nullptr;
      base = (uint8_t*)m;
      mapped = body + page;
      mprotect(base + body, page, PROT_NONE);
      size = bytes;
      data = base + body - bytes;
      return data;
    }
    void release() {
      if (base) munmap(base, mapped);
      base = data = nullptr;
      mapped = size = 0;
    }
    ~Surface() { release(); }
  };
  Surface surface;  // raster thread only

  static void put(uint8_t* buf, const Frame& f, int x0, int y0, int x1, int y1, uint8_t r,
                  uint8_t g, uint8_t b) {
    int pw = std::min(f.width, f.row_bytes / 4);
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, pw);
    y1 = std::min(y1, f.rows);
    if (x0 >= x1 || y0 >= y1) return;
    // One row by hand, the others copied: a whole-screen fill stays cheap
    // under the sanitizers, where frames race the program's timeouts.
    uint8_t* first = buf + (size_t)y0 * f.row_bytes + (size_t)x0 * 4;
    uint8_t* p = first;
    for (int x = x0; x < x1; x++, p += 4) {
      p[0] = b;
      p[1] = g;
      p[2] = r;
      p[3] = 255;
    }
    for (int y = y0 + 1; y < y1; y++)
      memcpy(buf + (size_t)y * f.row_bytes + (size_t)x0 * 4, first, (size_t)(x1 - x0) * 4);
  }

  // Premultiplied BGRA on a transparent background: where the page draws
  // nothing the pixels are 0,0,0,0, as an application without a background
  // leaves them.
  static void draw(uint8_t* buf, const Frame& f) {
    memset(buf, 0, (size_t)f.row_bytes * f.rows);
    for (const DrawOp& op : f.drawing) {
      switch (op.kind) {
        case DrawOp::kClear:
          break;
        case DrawOp::kFill:
          put(buf, f, 0, 0, f.width, f.rows, op.r, op.g, op.b);
          break;
        case DrawOp::kRect: {
          int x = op.x.px(f.width), y = op.y.px(f.rows);
          put(buf, f, x, y, x + op.w.px(f.width), y + op.h.px(f.rows), op.r, op.g, op.b);
          break;
        }
        case DrawOp::kBands:
          // Black at the top to white at the bottom.
          for (int i = 0; i < op.n; i++) {
            uint8_t v = op.n == 1 ? 0 : (uint8_t)(i * 255 / (op.n - 1));
            put(buf, f, 0, (int)((long long)f.rows * i / op.n), f.width,
                (int)((long long)f.rows * (i + 1) / op.n), v, v, v);
          }
          break;
        case DrawOp::kChecker:
          for (int y = 0; y < f.rows; y += op.n)
            for (int x = 0; x < f.width; x += op.n)
              if (((x / op.n) + (y / op.n)) % 2)
                put(buf, f, x, y, x + op.n, y + op.n, 0, 0, 0);
          break;
      }
    }
  }

  void raster_main() {
    t_thread_name = "raster";
    check_not_platform();
    if (settings().log) log("stand-in engine raster thread up");
    unsigned frame_no = 0;
    for (;;) {
      Frame f;
      {
        std::unique_lock<std::mutex> l(lock);
        raster_cv.wait(l, [this] { return stopping || !frames.empty(); });
        if (stopping) break;
        f = std::move(frames.front());
        frames.pop_front();
      }
      uint8_t* buf = surface.get((size_t)f.row_bytes * f.rows);
      if (!buf) {
        violation("stand-in: no memory for a frame");
        continue;
      }
      draw(buf, f);
      frame_no++;
      bool ok = present(user_data, buf, (size_t)f.row_bytes, (size_t)f.rows);
      trace("present", fmt("frame=%u width=%d row_bytes=%d rows=%d result=%d", frame_no, f.width,
                           f.row_bytes, f.rows, ok ? 1 : 0));
    }
    surface.release();
  }

  // ---- I/O thread: a few platform tasks of its own, some due now, some
  // later, and two more while the engine shuts down (FlutterEngineShutdown
  // is then joining this thread), which may take a while to finish.

  void io_main() {
    t_thread_name = "io";
    post(Task{}, 0);
    post(Task{}, 3);
    post(Task{}, 20);
    {
      std::unique_lock<std::mutex> l(lock);
      io_cv.wait(l, [this] { return stopping; });
    }
    post(Task{}, 0, true, true);
    post(Task{}, 5, true, true);
    if (settings().shutdown_hang_ms > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(settings().shutdown_hang_ms));
  }
};

namespace {

std::mutex g_engines_lock;
std::vector<_FlutterEngine*> g_live;  // running engines
std::vector<std::unique_ptr<_FlutterEngine>> g_all;  // kept so late calls can be recognised
std::map<FlutterEngineAOTData, int> g_aot;  // handle -> 1 live, 0 collected

// Null, unknown and shut-down engines are the program's fault.
_FlutterEngine* live(FLUTTER_API_SYMBOL(FlutterEngine) e, const char* call) {
  std::lock_guard<std::mutex> l(g_engines_lock);
  for (_FlutterEngine* x : g_live)
    if (x == e) return x;
  bool dead = false;
  for (auto& x : g_all)
    if (x.get() == e) dead = true;
  violation(std::string(call) + (e == nullptr ? " with a null engine"
                                 : dead      ? " after FlutterEngineShutdown"
                                             : " with an unknown engine"));
  return nullptr;
}

// The shell asserts that these calls come from the platform thread.
void check_platform(const char* call) {
  if (!on_platform_thread()) violation(std::string(call) + " off the platform thread");
}

// Event timestamps are meant to be on the engine clock, in microseconds; the
// field is a size_t, so on a 32-bit target the value wraps and is compared
// modulo 2^32.
bool near_engine_clock_us(size_t timestamp) {
  size_t now_us = (size_t)(now_ns() / 1000);
  long long d = (long long)(std::make_signed_t<size_t>)(now_us - timestamp);
  return d >= -1000000 && d <= 1000000;
}

const char* phase_name(int p) {
  static const char* names[] = {"cancel", "up",     "down",           "move",
                                "add",    "remove", "hover",          "pan_zoom_start",
                                "pan_zoom_update", "pan_zoom_end"};
  return p >= 0 && p <= 9 ? names[p] : "invalid";
}

std::string opt(const char* s) { return s ? enc(s) : std::string("null"); }

FlutterEngineResult reject(std::string& fields, const char* reason, FlutterEngineResult r) {
  fields += fmt(" result=%d reason=", (int)r) + enc(reason);
  trace("run", fields);
  return r;
}

bool readable_file(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  close(fd);
  return ok;
}

}  // namespace

extern "C" {

bool FlutterEngineRunsAOTCompiledDartCode(void) { return settings().aot; }

FlutterEngineResult FlutterEngineCreateAOTData(const FlutterEngineAOTDataSource* source,
                                               FlutterEngineAOTData* data_out) {
  if (!settings().aot) {
    trace("aot", "op=create result=2 reason=not%20an%20AOT%20engine");
    return kInvalidArguments;
  }
  if (!source || !data_out || source->type != kFlutterEngineAOTDataSourceTypeElfPath ||
      !source->elf_path) {
    trace("aot", "op=create result=2 reason=bad%20source");
    return kInvalidArguments;
  }
  std::string path = source->elf_path;
  unsigned char magic[4] = {0, 0, 0, 0};
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = fd >= 0 && read(fd, magic, 4) == 4 && memcmp(magic, "\x7f" "ELF", 4) == 0;
  if (fd >= 0) close(fd);
  if (!ok) {
    trace("aot", "op=create path=" + enc(path) + " result=2");
    return kInvalidArguments;
  }
  FlutterEngineAOTData d = reinterpret_cast<FlutterEngineAOTData>(new char[1]);
  {
    std::lock_guard<std::mutex> l(g_engines_lock);
    g_aot[d] = 1;
  }
  *data_out = d;
  trace("aot", "op=create path=" + enc(path) + " result=0");
  return kSuccess;
}

FlutterEngineResult FlutterEngineCollectAOTData(FlutterEngineAOTData data) {
  std::lock_guard<std::mutex> l(g_engines_lock);
  auto it = g_aot.find(data);
  if (it == g_aot.end() || it->second == 0) {
    violation(it == g_aot.end() ? "FlutterEngineCollectAOTData with an unknown handle"
                                : "FlutterEngineCollectAOTData twice");
    return kInvalidArguments;
  }
  for (_FlutterEngine* e : g_live)
    if (e->aot == data) violation("FlutterEngineCollectAOTData while an engine still uses it");
  it->second = 0;
  trace("aot", "op=collect result=0");
  return kSuccess;
}

FlutterEngineResult FlutterEngineRun(size_t version, const FlutterRendererConfig* config,
                                     const FlutterProjectArgs* args, void* user_data,
                                     FLUTTER_API_SYMBOL(FlutterEngine) * engine_out) {
  {
    std::lock_guard<std::mutex> l(g_platform_lock);
    g_platform_thread = std::this_thread::get_id();
    g_platform_known = true;
  }
  std::string f = fmt("version=%zu", version);
  if (version != FLUTTER_ENGINE_VERSION)
    return reject(f, "version", kInvalidLibraryVersion);
  if (!config || !args || !engine_out) return reject(f, "null argument", kInvalidArguments);
  f += fmt(" renderer=%d", (int)config->type);
  if (config->type == kSoftware)
    f += fmt(" software_size=%zu present_cb=%d", config->software.struct_size,
             config->software.surface_present_callback ? 1 : 0);
  f += fmt(" args_size=%zu", args->struct_size);
  if (args->struct_size != sizeof(FlutterProjectArgs))
    return reject(f, "FlutterProjectArgs.struct_size", kInvalidArguments);
  f += " assets=" + opt(args->assets_path) + " icu=" + opt(args->icu_data_path) +
       fmt(" argc=%d", args->command_line_argc) + " argv0=" +
       (args->command_line_argc > 0 && args->command_line_argv ? opt(args->command_line_argv[0])
                                                               : std::string("none")) +
       " log_tag=" + opt(args->log_tag) +
       fmt(" log_cb=%d message_cb=%d shutdown_vm=%d aot_data=%s snapshots=%d vsync=%d "
           "compositor=%d entrypoint=%s",
           args->log_message_callback ? 1 : 0, args->platform_message_callback ? 1 : 0,
           args->shutdown_dart_vm_when_done ? 1 : 0, args->aot_data ? "set" : "null",
           (args->vm_snapshot_data || args->isolate_snapshot_data) ? 1 : 0,
           args->vsync_callback ? 1 : 0, args->compositor ? 1 : 0,
           args->custom_dart_entrypoint ? "set" : "null");
  const FlutterCustomTaskRunners* tr = args->custom_task_runners;
  if (tr) {
    f += fmt(" runners_size=%zu", tr->struct_size);
    if (tr->platform_task_runner)
      f += fmt(" platform_runner_size=%zu identifier=%zu", tr->platform_task_runner->struct_size,
               tr->platform_task_runner->identifier);
    f += fmt(" render_runner=%s ui_runner=%s", tr->render_task_runner ? "set" : "null",
             tr->ui_task_runner ? "set" : "null");
  } else {
    f += " runners=null";
  }
  if (config->type != kSoftware) return reject(f, "renderer type", kInvalidArguments);
  if (config->software.struct_size != sizeof(FlutterSoftwareRendererConfig))
    return reject(f, "FlutterSoftwareRendererConfig.struct_size", kInvalidArguments);
  if (!config->software.surface_present_callback)
    return reject(f, "no present callback", kInvalidArguments);
  if (!tr || tr->struct_size != sizeof(FlutterCustomTaskRunners))
    return reject(f, "FlutterCustomTaskRunners missing or wrong struct_size", kInvalidArguments);
  for (const FlutterTaskRunnerDescription* d :
       {tr->platform_task_runner, tr->render_task_runner, tr->ui_task_runner}) {
    if (d && (d->struct_size != sizeof(FlutterTaskRunnerDescription) ||
              !d->post_task_callback || !d->runs_task_on_current_thread_callback))
      return reject(f, "task runner description", kInvalidArguments);
  }
  if (!tr->platform_task_runner) return reject(f, "no platform task runner", kInvalidArguments);
  if (tr->render_task_runner || tr->ui_task_runner)
    return reject(f, "the stand-in runs its own raster and UI threads", kInvalidArguments);
  // The engine only insists on an assets path; whether the folder exists is
  // found out later, when the application asks for an asset.  A JIT engine
  // needs the application's kernel in it, though.
  if (!args->assets_path) return reject(f, "no assets path", kInvalidArguments);
  if (args->aot_data && (args->vm_snapshot_data || args->vm_snapshot_instructions ||
                         args->isolate_snapshot_data || args->isolate_snapshot_instructions))
    return reject(f, "both aot_data and snapshot buffers", kInvalidArguments);
  if (!settings().aot &&
      !readable_file((std::string(args->assets_path) + "/kernel_blob.bin").c_str()))
    return reject(f, "not AOT and no kernel_blob.bin in the assets", kInvalidArguments);
  if (settings().aot) {
    std::lock_guard<std::mutex> l(g_engines_lock);
    auto it = g_aot.find(args->aot_data);
    if (!args->aot_data || it == g_aot.end() || it->second == 0) {
      f += fmt(" result=%d reason=aot_data", (int)kInvalidArguments);
      trace("run", f);
      return kInvalidArguments;
    }
  }
  // The engine loads the ICU data when it starts the VM, and a file it cannot
  // map is not an error result: the process aborts.
  if (!args->icu_data_path || !readable_file(args->icu_data_path)) {
    f += " result=abort reason=icu%20data%20unreadable";
    trace("run", f);
    abort();
  }
  if (settings().fail_run) return reject(f, "FOLIAN_SIM_FAIL_RUN", (FlutterEngineResult)settings().fail_run);

  auto owned = std::make_unique<_FlutterEngine>();
  _FlutterEngine* e = owned.get();
  e->assets = args->assets_path;
  e->icu = args->icu_data_path;
  e->has_log_tag = args->log_tag != nullptr;
  if (args->log_tag) e->log_tag = args->log_tag;
  e->user_data = user_data;
  e->present = config->software.surface_present_callback;
  e->on_message = args->platform_message_callback;
  e->on_log = args->log_message_callback;
  e->runner = *tr->platform_task_runner;
  e->aot = args->aot_data;

  // The platform thread must be recognised as the runner's own thread.
  if (!e->runner.runs_task_on_current_thread_callback(e->runner.user_data))
    violation("runs_task_on_current_thread_callback returned false on the platform thread");

  f += fmt(" result=0 engine=%p", (void*)e);
  trace("run", f);
  e->script = load_script(e->assets);
  {
    std::lock_guard<std::mutex> l(g_engines_lock);
    g_live.push_back(e);
    g_all.push_back(std::move(owned));
  }
  e->ui = std::thread([e] { e->ui_main(); });
  e->raster = std::thread([e] { e->raster_main(); });
  e->io = std::thread([e] { e->io_main(); });
  *engine_out = e;
  if (settings().run_delay_ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(settings().run_delay_ms));
  return kSuccess;
}

FlutterEngineResult FlutterEngineShutdown(FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  _FlutterEngine* e = live(engine, "FlutterEngineShutdown");
  if (!e) return kInvalidArguments;
  if (!on_platform_thread()) violation("FlutterEngineShutdown off the platform thread");
  trace("shutdown", "phase=begin");
  {
    std::lock_guard<std::mutex> l(e->lock);
    e->stopping = true;
  }
  e->ui_cv.notify_all();
  e->raster_cv.notify_all();
  e->io_cv.notify_all();
  e->ui.join();
  e->raster.join();
  e->io.join();
  {
    std::lock_guard<std::mutex> l(g_engines_lock);
    g_live.erase(std::find(g_live.begin(), g_live.end(), e));
  }
  size_t pending = 0;
  std::vector<std::string> unanswered;
  {
    std::lock_guard<std::mutex> l(e->lock);
    for (auto& [id, t] : e->tasks)
      if (!t.ran) pending++;
    for (auto& [p, h] : e->handles)
      if (h.delivered && !h.answered)
        unanswered.push_back(fmt("message %llu on %s never answered",
                                 (unsigned long long)h.handle->id, h.channel.c_str()));
  }
  for (const auto& u : unanswered) violation(u);
  if (e->runner.destruction_callback) e->runner.destruction_callback(e->runner.user_data);
  trace("shutdown", fmt("phase=end tasks_not_run=%zu", pending));
  return kSuccess;
}

FlutterEngineResult FlutterEngineNotifyDisplayUpdate(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                                     FlutterEngineDisplaysUpdateType update_type,
                                                     const FlutterEngineDisplay* displays,
                                                     size_t display_count) {
  _FlutterEngine* e = live(engine, "FlutterEngineNotifyDisplayUpdate");
  if (!e) return kInvalidArguments;
  check_platform("FlutterEngineNotifyDisplayUpdate");
  if (!displays || display_count == 0) {
    violation("FlutterEngineNotifyDisplayUpdate without displays");
    return kInvalidArguments;
  }
  const uint8_t* p = (const uint8_t*)displays;
  for (size_t i = 0; i < display_count; i++) {
    const FlutterEngineDisplay* d = (const FlutterEngineDisplay*)p;
    trace("display_update",
          fmt("type=%d count=%zu index=%zu struct_size=%zu id=%llu single=%d refresh=%.3f "
              "width=%zu height=%zu dpr=%.3f",
              (int)update_type, display_count, i, d->struct_size,
              (unsigned long long)d->display_id, d->single_display ? 1 : 0, d->refresh_rate,
              d->width, d->height, d->device_pixel_ratio));
    if (d->struct_size != sizeof(FlutterEngineDisplay)) {
      violation(fmt("FlutterEngineDisplay.struct_size %zu", d->struct_size));
      return kInvalidArguments;
    }
    if (d->single_display && display_count != 1) {
      violation("single_display with more than one display");
      return kInvalidArguments;
    }
    p += d->struct_size;
  }
  if (update_type != kFlutterEngineDisplaysUpdateTypeStartup) {
    violation("display update type other than startup");
    return kInvalidArguments;
  }
  return kSuccess;
}

FlutterEngineResult FlutterEngineSendWindowMetricsEvent(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                                        const FlutterWindowMetricsEvent* m) {
  _FlutterEngine* e = live(engine, "FlutterEngineSendWindowMetricsEvent");
  if (!e) return kInvalidArguments;
  check_platform("FlutterEngineSendWindowMetricsEvent");
  if (!m) {
    violation("FlutterEngineSendWindowMetricsEvent with a null event");
    return kInvalidArguments;
  }
  trace("window_metrics",
        fmt("struct_size=%zu width=%zu height=%zu pixel_ratio=%.3f left=%zu top=%zu "
            "insets=%g,%g,%g,%g display_id=%llu view_id=%lld constraints=%d",
            m->struct_size, m->width, m->height, m->pixel_ratio, m->left, m->top,
            m->physical_view_inset_top, m->physical_view_inset_right,
            m->physical_view_inset_bottom, m->physical_view_inset_left,
            (unsigned long long)m->display_id, (long long)m->view_id, m->has_constraints ? 1 : 0));
  if (m->struct_size != sizeof(FlutterWindowMetricsEvent)) {
    violation(fmt("FlutterWindowMetricsEvent.struct_size %zu", m->struct_size));
    return kInvalidArguments;
  }
  if (!(m->pixel_ratio > 0) || m->width == 0 || m->height == 0) {
    violation("window metrics with an empty size or a pixel ratio that is not positive");
    return kInvalidArguments;
  }
  // The engine refuses insets that are negative or larger than the view.
  const double w = (double)m->width, h = (double)m->height;
  if (!(m->physical_view_inset_top >= 0 && m->physical_view_inset_top <= h &&
        m->physical_view_inset_bottom >= 0 && m->physical_view_inset_bottom <= h &&
        m->physical_view_inset_left >= 0 && m->physical_view_inset_left <= w &&
        m->physical_view_inset_right >= 0 && m->physical_view_inset_right <= w)) {
    violation("window metrics with insets that are negative or larger than the view");
    return kInvalidArguments;
  }
  {
    std::lock_guard<std::mutex> l(e->lock);
    e->width = (int)m->width;
    e->height = (int)m->height;
  }
  UiEvent ev(UiEvent::kMetrics);
  e->push_ui(ev);
  return kSuccess;
}

FlutterEngineResult FlutterEngineUpdateLocales(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                               const FlutterLocale** locales, size_t count) {
  _FlutterEngine* e = live(engine, "FlutterEngineUpdateLocales");
  if (!e) return kInvalidArguments;
  check_platform("FlutterEngineUpdateLocales");
  std::string list, sizes;
  for (size_t i = 0; i < count; i++) {
    const FlutterLocale* l = locales ? locales[i] : nullptr;
    if (!l || !l->language_code || !*l->language_code) {
      violation("FlutterEngineUpdateLocales with a null locale or an empty language");
      return kInvalidArguments;
    }
    if (i) {
      list += ",";
      sizes += ",";
    }
    sizes += std::to_string(l->struct_size);
    list += l->language_code;
    if (l->country_code) list += std::string("_") + l->country_code;
    if (l->script_code) list += std::string("-") + l->script_code;
    if (l->variant_code) list += std::string("@") + l->variant_code;
  }
  trace("locales", fmt("count=%zu list=", count) + enc(list) + " struct_size=" + sizes);
  for (size_t i = 0; i < count; i++) {
    if (locales[i]->struct_size != sizeof(FlutterLocale)) {
      violation(fmt("FlutterLocale.struct_size %zu", locales[i]->struct_size));
      return kInvalidArguments;
    }
  }
  return kSuccess;
}

FlutterEngineResult FlutterEngineSendPlatformMessage(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                                     const FlutterPlatformMessage* m) {
  _FlutterEngine* e = live(engine, "FlutterEngineSendPlatformMessage");
  if (!e) return kInvalidArguments;
  check_platform("FlutterEngineSendPlatformMessage");
  if (!m || !m->channel) {
    violation("FlutterEngineSendPlatformMessage without a message or channel");
    return kInvalidArguments;
  }
  if (m->message_size && !m->message) {
    violation("FlutterEngineSendPlatformMessage with a size but no bytes");
    return kInvalidArguments;
  }
  std::string text(m->message ? (const char*)m->message : "", m->message_size);
  trace("message_from_embedder",
        fmt("struct_size=%zu channel=%s size=%zu response_handle=%s hex=", m->struct_size,
            enc(m->channel).c_str(), m->message_size, m->response_handle ? "set" : "null") +
            hex(m->message, m->message_size));
  if (m->struct_size != sizeof(FlutterPlatformMessage)) {
    violation(fmt("FlutterPlatformMessage.struct_size %zu", m->struct_size));
    return kInvalidArguments;
  }
  if (m->response_handle) {
    // The stand-in hands out no handles for messages going the other way.
    violation("FlutterEngineSendPlatformMessage with a response handle the engine never made");
    return kInvalidArguments;
  }
  std::string channel = m->channel;
  if (channel == "flutter/lifecycle") {
    static const char prefix[] = "AppLifecycleState.";
    std::string state = text.rfind(prefix, 0) == 0 ? text.substr(sizeof prefix - 1) : text;
    trace("lifecycle", "state=" + enc(state));
    UiEvent ev(UiEvent::kLifecycle);
    ev.text = state;
    e->push_ui(ev);
  } else if (channel == "flutter/keyevent") {
    UiEvent ev(UiEvent::kKeyMessage);
    ev.text = text;
    e->push_ui(ev);
  }
  return kSuccess;
}

FlutterEngineResult FlutterEngineSendPlatformMessageResponse(
    FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterPlatformMessageResponseHandle* handle,
    const uint8_t* data, size_t data_length) {
  _FlutterEngine* e = live(engine, "FlutterEngineSendPlatformMessageResponse");
  if (!e) return kInvalidArguments;
  // A response may come from any thread: the engine hands it to the UI thread.
  if (data_length && !data) {
    violation("response with a length but no bytes");
    return kInvalidArguments;
  }
  std::string problem, channel;
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> l(e->lock);
    auto it = e->handles.find(handle);
    if (it == e->handles.end()) {
      problem = "response on a handle the engine never gave out";
    } else if (!it->second.delivered) {
      problem = "response on a handle whose message was not delivered yet";
    } else if (it->second.answered) {
      problem = fmt("second response to message %llu", (unsigned long long)it->second.handle->id);
    } else {
      it->second.answered = true;
      id = it->second.handle->id;
      channel = it->second.channel;
    }
  }
  if (!problem.empty()) {
    violation(problem);
    return kInvalidArguments;
  }
  trace("response", fmt("handle=%llu channel=%s size=%zu hex=", (unsigned long long)id,
                        enc(channel).c_str(), data_length) +
                        hex(data, data_length));
  UiEvent ev(UiEvent::kReply);
  ev.handle = id;
  e->push_ui(ev);
  return kSuccess;
}

uint64_t FlutterEngineGetCurrentTime(void) { return now_ns(); }

FlutterEngineResult FlutterEngineRunTask(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                         const FlutterTask* task) {
  _FlutterEngine* e = live(engine, "FlutterEngineRunTask");
  if (!e) return kInvalidArguments;
  if (!task) {
    violation("FlutterEngineRunTask with a null task");
    return kInvalidArguments;
  }
  if (!on_platform_thread()) {
    violation(fmt("FlutterEngineRunTask for task %llu off the platform thread",
                  (unsigned long long)task->task));
    return kInvalidArguments;
  }
  // A runner the engine does not know is taken for a task that came too late
  // and is dropped without an error.
  if ((const void*)task->runner != &e->platform_runner) {
    violation(fmt("task %llu handed back with a runner the engine never gave out; dropped",
                  (unsigned long long)task->task));
    return kSuccess;
  }
  uint64_t now = now_ns();
  Task t;
  std::string problem;
  {
    std::lock_guard<std::mutex> l(e->lock);
    auto it = e->tasks.find(task->task);
    if (it == e->tasks.end()) {
      problem = fmt("FlutterEngineRunTask for unknown task %llu", (unsigned long long)task->task);
    } else if (it->second.ran) {
      problem = fmt("task %llu run twice", (unsigned long long)task->task);
    } else if (now < it->second.target) {
      problem = fmt("task %llu run %llu ns before its target time", (unsigned long long)task->task,
                    (unsigned long long)(it->second.target - now));
    } else {
      it->second.ran = true;
      t = it->second;
      if (t.kind == Task::kMessage) e->handles[t.handle].delivered = true;
    }
  }
  if (!problem.empty()) {
    violation(problem);
    return kInvalidArguments;
  }
  trace("run_task", fmt("id=%llu kind=%s late=%llu", (unsigned long long)task->task,
                        kTaskKinds[t.kind], (unsigned long long)(now - t.target)));
  if (t.kind == Task::kMessage) {
    trace("message_delivered", fmt("channel=%s handle=%llu size=%zu", enc(t.channel).c_str(),
                                   (unsigned long long)t.handle->id, t.data.size()));
    FlutterPlatformMessage m{};
    m.struct_size = sizeof m;
    m.channel = t.channel.c_str();
    m.message = t.data.data();
    m.message_size = t.data.size();
    m.response_handle = t.handle;
    if (e->on_message) {
      e->on_message(&m, e->user_data);
    } else {
      violation("message to deliver but no platform_message_callback");
    }
  } else if (t.kind == Task::kKeyReply && t.key_callback) {
    t.key_callback(false, t.key_user_data);
  }
  return kSuccess;
}

FlutterEngineResult FlutterEngineSendPointerEvent(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                                  const FlutterPointerEvent* events,
                                                  size_t events_count) {
  _FlutterEngine* e = live(engine, "FlutterEngineSendPointerEvent");
  if (!e) return kInvalidArguments;
  check_platform("FlutterEngineSendPointerEvent");
  if (!events && events_count) {
    violation("FlutterEngineSendPointerEvent with a null array");
    return kInvalidArguments;
  }
  const uint8_t* p = (const uint8_t*)events;
  for (size_t i = 0; i < events_count; i++) {
    const FlutterPointerEvent* ev = (const FlutterPointerEvent*)p;
    if (ev->struct_size != sizeof(FlutterPointerEvent)) {
      violation(fmt("FlutterPointerEvent.struct_size %zu", ev->struct_size));
      return kInvalidArguments;
    }
    trace("pointer",
          fmt("phase=%s x=%.3f y=%.3f device=%d device_kind=%d buttons=%lld timestamp=%zu "
              "signal_kind=%d view_id=%lld pressure=%g count=%zu",
              phase_name(ev->phase), ev->x, ev->y, ev->device, (int)ev->device_kind,
              (long long)ev->buttons, ev->timestamp, (int)ev->signal_kind, (long long)ev->view_id,
              ev->pressure, events_count));
    if (!near_engine_clock_us(ev->timestamp))
      violation(fmt("pointer timestamp %zu us more than 1 s from the engine clock", ev->timestamp));
    if (ev->signal_kind == kFlutterPointerSignalKindNone) {
      std::string problem = e->convert_pointer(ev->device, ev->phase);
      if (!problem.empty()) violation(fmt("pointer device %d: ", ev->device) + problem);
    }
    UiEvent u(UiEvent::kPointer);
    u.phase = ev->phase;
    u.x = ev->x;
    e->push_ui(u);
    p += ev->struct_size;
  }
  return kSuccess;
}

FlutterEngineResult FlutterEngineSendKeyEvent(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                              const FlutterKeyEvent* ev,
                                              FlutterKeyEventCallback callback, void* user_data) {
  _FlutterEngine* e = live(engine, "FlutterEngineSendKeyEvent");
  if (!e) return kInvalidArguments;
  check_platform("FlutterEngineSendKeyEvent");
  if (!ev) {
    violation("FlutterEngineSendKeyEvent with a null event");
    return kInvalidArguments;
  }
  static const char* types[] = {"invalid", "up", "down", "repeat"};
  int type = ev->type >= 1 && ev->type <= 3 ? ev->type : 0;
  trace("key", fmt("struct_size=%zu type=%s physical=0x%llx logical=0x%llx character=%s "
                   "synthesized=%d device_type=%d timestamp=%.0f callback=%s",
                   ev->struct_size, types[type], (unsigned long long)ev->physical,
                   (unsigned long long)ev->logical, opt(ev->character).c_str(),
                   ev->synthesized ? 1 : 0, (int)ev->device_type, ev->timestamp,
                   callback ? "set" : "null"));
  if (ev->struct_size != sizeof(FlutterKeyEvent)) {
    violation(fmt("FlutterKeyEvent.struct_size %zu", ev->struct_size));
    return kInvalidArguments;
  }
  if (ev->timestamp < 0 || ev->timestamp > 1.8e19 ||
      !near_engine_clock_us((size_t)(uint64_t)ev->timestamp))
    violation(fmt("key timestamp %.0f us more than 1 s from the engine clock", ev->timestamp));
  UiEvent u(UiEvent::kKey);
  u.key_type = ev->type;
  u.logical = ev->logical;
  e->push_ui(u);
  // The framework's answer comes back on the platform thread later, with or
  // without a callback to call.
  Task t;
  t.kind = Task::kKeyReply;
  t.key_callback = callback;
  t.key_user_data = user_data;
  e->post(std::move(t), 0, false);
  return kSuccess;
}

FlutterEngineResult FlutterEngineScheduleFrame(FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  _FlutterEngine* e = live(engine, "FlutterEngineScheduleFrame");
  if (!e) return kInvalidArguments;
  check_platform("FlutterEngineScheduleFrame");
  trace("schedule_frame");
  e->push_ui(UiEvent(UiEvent::kScheduleFrame));
  return kSuccess;
}

}  // extern "C"
