// The engine's own threads: `ui` runs the application script, `raster` draws
// its frames and hands them to the present callback, `io` posts a few
// platform tasks of its own.  Work for the platform thread is posted to the
// program's task runner and runs in FlutterEngineRunTask (api.cpp).

#include "engine.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "compositor.h"
#include "release.h"
#include "trace.h"

using namespace stand_in;

namespace {

constexpr uint64_t kReplyWaitMs = 5000;
constexpr uint64_t kLogicalPageDown = 0x100000307ull;
constexpr uint64_t kLogicalPageUp = 0x100000308ull;

void log(_FlutterEngine& e, const std::string& msg) {
  if (!e.on_log) return;
  trace("log",
        "tag=" + (e.has_log_tag ? enc(e.log_tag) : std::string("null")) + " text=" + enc(msg));
  e.on_log(e.has_log_tag ? e.log_tag.c_str() : nullptr, msg.c_str(), e.user_data);
}

// Script errors reach the user through the program's log, or stderr.
void report(_FlutterEngine& e, const std::string& msg) {
  if (e.on_log)
    log(e, msg);
  else
    fprintf(stderr, "%s\n", msg.c_str());
}

// Engine threads must never be taken for the platform thread.
void check_not_platform(const _FlutterEngine& e) {
  if (e.runner.runs_task_on_current_thread_callback(e.runner.user_data))
    violation(std::string("runs_task_on_current_thread_callback returned true on the ") +
              thread_name() + " thread");
}

}  // namespace

uint64_t _FlutterEngine::post(Task t, uint64_t delay_ms, bool engine_thread, bool late) {
  if (engine_thread) check_not_platform(*this);
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
  trace("post_task",
        fmt("id=%llu kind=%s target=%llu delay=%llu", (unsigned long long)id, kTaskKinds[kind],
            (unsigned long long)target, (unsigned long long)(target - now)));
  FlutterTask ft;
  ft.runner = reinterpret_cast<FlutterTaskRunner>(&platform_runner);
  ft.task = id;
  runner.post_task_callback(ft, target, runner.user_data);
  return id;
}

void _FlutterEngine::push_ui(UiEvent e) {
  {
    std::lock_guard<std::mutex> l(lock);
    ui_events.push_back(std::move(e));
  }
  ui_cv.notify_all();
}

namespace {

// ------------------------------------------------------------- UI thread

// Before 2.2 there were no key events: the framework heard keys from the
// raw key messages alone, so the application takes those as its keys.
UiEvent key_from_message(const UiEvent& message) {
  UiEvent key(UiEvent::kKey);
  key.key_type = message.text.find("\"keydown\"") != std::string::npos ? kFlutterKeyEventTypeDown
                                                                       : kFlutterKeyEventTypeUp;
  key.logical = message.text.find("\"keyCode\":65366") != std::string::npos   ? kLogicalPageDown
                : message.text.find("\"keyCode\":65365") != std::string::npos ? kLogicalPageUp
                                                                              : 0;
  return key;
}

// Runs the script and follows what the program tells the application.
struct Ui {
  explicit Ui(_FlutterEngine& e) : engine(e) {}

  _FlutterEngine& engine;
  std::string lifecycle = "resumed";
  bool paused = false;
  bool shown = false;  // a frame was requested once
  bool present_pending = false;
  Frame pending_frame;
  Drawing current;
  size_t page = 0;
  bool pages_mode = false;
  int last_key_dir = 0;

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
      std::lock_guard<std::mutex> l(engine.lock);
      mw = engine.width;
      mh = engine.height;
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
      std::lock_guard<std::mutex> l(engine.lock);
      engine.frames.push_back(std::move(f));
    }
    engine.raster_cv.notify_all();
  }

  void turn_page(int dir) {
    size_t next = page;
    if (dir > 0 && page + 1 < engine.script.pages.size()) next = page + 1;
    if (dir < 0 && page > 0) next = page - 1;
    if (next == page) return;
    page = next;
    current = engine.script.pages[page];
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
            std::lock_guard<std::mutex> l(engine.lock);
            w = engine.width;
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
        std::unique_lock<std::mutex> l(engine.lock);
        for (;;) {
          if (engine.stopping) return false;
          if (!engine.ui_events.empty()) break;
          if (deadline == 0) {
            engine.ui_cv.wait(l);
          } else {
            uint64_t now = now_ns();
            if (now >= deadline) return false;
            engine.ui_cv.wait_for(l, std::chrono::nanoseconds(deadline - now));
          }
        }
        e = std::move(engine.ui_events.front());
        engine.ui_events.pop_front();
      }
      if (kRelease < 202 && e.type == UiEvent::kKeyMessage) e = key_from_message(e);
      apply(e);
      if (match(e)) return true;
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
      std::lock_guard<std::mutex> l(engine.lock);
      h->id = engine.next_handle++;
      HandleState& st = engine.handles[h.get()];
      st.channel = channel;
      st.handle = std::move(h);
    }
    uint64_t id = t.handle->id;
    trace("message_to_app", fmt("channel=%s handle=%llu size=%zu hex=", enc(channel).c_str(),
                                (unsigned long long)id, bytes.size()) +
                                hex(bytes.data(), bytes.size()));
    engine.post(std::move(t), 0);
    return id;
  }

  bool stopped() {
    std::lock_guard<std::mutex> l(engine.lock);
    return engine.stopping;
  }

  void exchange(const Command& c, const std::string& channel, const std::vector<uint8_t>& bytes) {
    uint64_t id = send(channel, bytes);
    if (!id) return;
    bool got = pump(now_ns() + kReplyWaitMs * 1000000ull,
                    [id](const UiEvent& e) { return e.type == UiEvent::kReply && e.handle == id; });
    if (!got && !stopped()) {
      std::string text =
          fmt("no reply on %s within %llu ms", channel.c_str(), (unsigned long long)kReplyWaitMs);
      report(engine, script_error(c.line, text));
    }
  }

  void run_command(const Command& c) {
    const std::string& n = c.name;
    const auto& a = c.args;
    if (is_draw(n)) {
      if (c.op.kind == DrawOp::kClear)
        current.clear();
      else
        current.push_back(c.op);
    } else if (n == "present") {
      request_present(current, c.width, c.rows, c.row_bytes);
    } else if (n == "wait") {
      pump(now_ns() + (uint64_t)atoll(a[0].c_str()) * 1000000ull,
           [](const UiEvent&) { return false; });
    } else if (n == "task") {
      engine.post(Task{}, (uint64_t)atoll(a[0].c_str()));
    } else if (n == "wait_pointer" || n == "wait_key") {
      UiEvent::Type type = n == "wait_key" ? UiEvent::kKey : UiEvent::kPointer;
      pump(0, [&c, type](const UiEvent& e) {
        return e.type == type &&
               (c.want < 0 || (type == UiEvent::kKey ? e.key_type : e.phase) == c.want);
      });
    } else if (n == "wait_lifecycle") {
      if (lifecycle == a[0]) return;
      std::string want = a[0];
      pump(0,
           [&want](const UiEvent& e) { return e.type == UiEvent::kLifecycle && e.text == want; });
    } else if (n == "call" || n == "message" || n == "message_hex") {
      exchange(c, a[0], command_bytes(c));
    } else if (n == "quit") {
      trace("quit_request");
      exchange(c, "flutter/platform", command_bytes(c));
    } else if (n == "log") {
      log(engine, c.tail);
    } else if (n == "crash") {
      crash(a[0]);
    } else if (n == "pages") {
      pages_mode = true;
      page = 0;
      current = engine.script.pages[0];
      trace("page", "index=0");
      request_present(current);
    }
  }

  // An engine that dies on one of its own threads: a stray store, as a
  // faulty plugin or engine bug makes, or the abort of a failed check.  The
  // store goes to a page no one may write, not through a null pointer, so
  // that the kernel ends the process even where a sanitizer would report a
  // null store and exit.
  [[noreturn]] static void crash(const std::string& how) {
    trace("crash", "how=" + how);
    if (how == "abort") abort();
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
    abort();  // not reached
  }

  void main() {
    set_thread_name("ui");
    check_not_platform(engine);
    if (settings().log) log(engine, "stand-in engine ui thread up");
    for (const std::string& err : engine.script.errors) report(engine, err);
    for (const Command& c : engine.script.commands) {
      if (stopped()) return;
      run_command(c);
    }
    pump(0, [](const UiEvent&) { return false; });
  }
};

// ---------------------------------------------------------- raster thread

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
    void* m =
        mmap(nullptr, body + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
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

// One colour in the frame's pixel: premultiplied BGRA, opaque; RGB565 in a
// native 16-bit word; or the BT.709 luma of the sRGB values, which is how
// Skia makes 8-bit gray (the engine's own tests: red 0x36, green 0xB6, blue
// 0x12), and which is not the program's weighting of BGRA frames.
struct Colour {
  uint8_t bytes[4];
  Colour(Pixels p, uint8_t r, uint8_t g, uint8_t b) {
    if (p == Pixels::kGray8) {
      bytes[0] = (uint8_t)lrint(0.2126 * r + 0.7152 * g + 0.0722 * b);
    } else if (p == Pixels::kRgb565) {
      uint16_t v = (uint16_t)(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
      memcpy(bytes, &v, 2);
    } else {
      bytes[0] = b;
      bytes[1] = g;
      bytes[2] = r;
      bytes[3] = 255;
    }
  }
};

void put(uint8_t* buf, const Frame& f, int x0, int y0, int x1, int y1, uint8_t r, uint8_t g,
         uint8_t b) {
  const int bpp = bytes_per_pixel(f.pixels);
  int pw = std::min(f.width, f.row_bytes / bpp);
  x0 = std::max(x0, 0);
  y0 = std::max(y0, 0);
  x1 = std::min(x1, pw);
  y1 = std::min(y1, f.rows);
  if (x0 >= x1 || y0 >= y1) return;
  // One row by hand, the others copied: a whole-screen fill stays cheap
  // under the sanitizers, where frames race the program's timeouts.
  const Colour c(f.pixels, r, g, b);
  uint8_t* first = buf + (size_t)y0 * f.row_bytes + (size_t)x0 * bpp;
  uint8_t* p = first;
  for (int x = x0; x < x1; x++, p += bpp) memcpy(p, c.bytes, (size_t)bpp);
  for (int y = y0 + 1; y < y1; y++)
    memcpy(buf + (size_t)y * f.row_bytes + (size_t)x0 * bpp, first, (size_t)(x1 - x0) * bpp);
}

// On a transparent background: where the page draws nothing the pixels are
// 0 (BGRA 0,0,0,0, as an application without a background leaves them; an
// opaque gray or RGB565 store shows that as black).
void draw(uint8_t* buf, const Frame& f) {
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
            if (((x / op.n) + (y / op.n)) % 2) put(buf, f, x, y, x + op.n, y + op.n, 0, 0, 0);
        break;
    }
  }
}

const char* pixels_name(Pixels p) {
  return p == Pixels::kGray8 ? "gray8" : p == Pixels::kRgb565 ? "rgb565" : "bgra";
}

void raster_main(_FlutterEngine& e) {
  set_thread_name("raster");
  check_not_platform(e);
  if (settings().log) log(e, "stand-in engine raster thread up");
  Surface surface;
  Compositor compositor(e);
  unsigned frame_no = 0;
  for (;;) {
    Frame f;
    {
      std::unique_lock<std::mutex> l(e.lock);
      e.raster_cv.wait(l, [&e] { return e.stopping || !e.frames.empty(); });
      if (e.stopping) break;
      f = std::move(e.frames.front());
      e.frames.pop_front();
    }
    bool ok;
    if (e.compositor.struct_size) {
      const FlutterBackingStore* store = compositor.get(f);
      if (!store) continue;
      uint8_t* buf =
          (uint8_t*)(store->type == kFlutterBackingStoreTypeSoftware2 ? store->software2.allocation
                                                                      : store->software.allocation);
      draw(buf, f);
      frame_no++;
      ok = compositor.present(store, f);
    } else {
      uint8_t* buf = surface.get((size_t)f.row_bytes * f.rows);
      if (!buf) {
        violation("stand-in: no memory for a frame");
        continue;
      }
      draw(buf, f);
      frame_no++;
      ok = e.present(e.user_data, buf, (size_t)f.row_bytes, (size_t)f.rows);
    }
    trace("present", fmt("frame=%u width=%d row_bytes=%d rows=%d result=%d pixels=%s", frame_no,
                         f.width, f.row_bytes, f.rows, ok ? 1 : 0, pixels_name(f.pixels)));
  }
}

// ------------------------------------------------------------- I/O thread

// A few platform tasks of its own, some due now, some later, and two more
// while the engine shuts down (FlutterEngineShutdown is then joining this
// thread), which may take a while to finish.

void io_main(_FlutterEngine& e) {
  set_thread_name("io");
  e.post(Task{}, 0);
  e.post(Task{}, 3);
  e.post(Task{}, 20);
  {
    std::unique_lock<std::mutex> l(e.lock);
    e.io_cv.wait(l, [&e] { return e.stopping; });
  }
  e.post(Task{}, 0, true, true);
  e.post(Task{}, 5, true, true);
  if (settings().shutdown_hang_ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(settings().shutdown_hang_ms));
}

}  // namespace

void _FlutterEngine::start() {
  ui = std::thread([this] { Ui(*this).main(); });
  raster = std::thread([this] { raster_main(*this); });
  io = std::thread([this] { io_main(*this); });
}

void _FlutterEngine::stop() {
  {
    std::lock_guard<std::mutex> l(lock);
    stopping = true;
  }
  ui_cv.notify_all();
  raster_cv.notify_all();
  io_cv.notify_all();
  ui.join();
  raster.join();
  io.join();
}
