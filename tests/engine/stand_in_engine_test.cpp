// The stand-in engine itself: what it refuses, which contract breaches it
// records, and what its application script does.  A tiny embedder on the
// test's main thread plays the program's part.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "flutter_embedder.h"

namespace {

struct Posted {
  FlutterTask task;
  uint64_t target;
};

struct Received {
  std::string channel;
  std::vector<uint8_t> bytes;
  const FlutterPlatformMessageResponseHandle* handle;
};

struct Presented {
  size_t row_bytes, rows;
  uint8_t b, g, r, a;
};

std::mutex g_lock;
std::vector<Posted> g_posted;
std::vector<Presented> g_frames;
std::vector<std::string> g_logs;
std::vector<Received> g_received;  // platform thread only
bool g_auto_respond = true;
std::thread::id g_main = std::this_thread::get_id();
FLUTTER_API_SYMBOL(FlutterEngine) g_engine = nullptr;

bool on_runs_here(void*) { return std::this_thread::get_id() == g_main; }

void on_post(FlutterTask task, uint64_t target, void*) {
  std::lock_guard<std::mutex> l(g_lock);
  g_posted.push_back({task, target});
}

bool on_present(void*, const void* pixels, size_t row_bytes, size_t rows) {
  const uint8_t* p = (const uint8_t*)pixels;
  std::lock_guard<std::mutex> l(g_lock);
  g_frames.push_back({row_bytes, rows, p[0], p[1], p[2], p[3]});
  return true;
}

void on_message(const FlutterPlatformMessage* m, void*) {
  g_received.push_back({m->channel, std::vector<uint8_t>(m->message, m->message + m->message_size),
                        m->response_handle});
  if (g_auto_respond) FlutterEngineSendPlatformMessageResponse(g_engine, m->response_handle, nullptr, 0);
}

void on_log(const char* tag, const char* text, void*) {
  std::lock_guard<std::mutex> l(g_lock);
  g_logs.push_back(std::string(tag ? tag : "null") + ": " + text);
}

size_t frame_count() {
  std::lock_guard<std::mutex> l(g_lock);
  return g_frames.size();
}

Presented last_frame() {
  std::lock_guard<std::mutex> l(g_lock);
  return g_frames.back();
}

// Runs due tasks on this (the platform) thread until `done` or the timeout.
bool pump(const std::function<bool()>& done, int timeout_ms = 3000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::vector<Posted> due;
    {
      std::lock_guard<std::mutex> l(g_lock);
      uint64_t now = FlutterEngineGetCurrentTime();
      for (auto it = g_posted.begin(); it != g_posted.end();) {
        if (it->target <= now) {
          due.push_back(*it);
          it = g_posted.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (const Posted& p : due) FlutterEngineRunTask(g_engine, &p.task);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void pump_for(int ms) {
  pump([] { return false; }, ms);
}

std::string trace_path() { return getenv("FOLIAN_SIM_TRACE"); }

size_t trace_size() {
  struct stat st;
  return stat(trace_path().c_str(), &st) == 0 ? (size_t)st.st_size : 0;
}

// Trace lines written since `from` (a byte offset) with the given event.
std::vector<std::string> trace_since(size_t from, const std::string& event) {
  std::ifstream f(trace_path());
  f.seekg((std::streamoff)from);
  std::vector<std::string> out;
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream s(line);
    std::string t, thread, ev;
    s >> t >> thread >> ev;
    if (ev == event) out.push_back(line);
  }
  return out;
}

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/stand-in-engine-XXXXXX";
    dir_ = mkdtemp(tmpl);
    assets_ = dir_ + "/flutter_assets";
    icu_ = dir_ + "/icudtl.dat";
    mkdir(assets_.c_str(), 0755);
    std::ofstream(icu_) << "icu";
    {
      std::lock_guard<std::mutex> l(g_lock);
      g_posted.clear();
      g_frames.clear();
      g_logs.clear();
    }
    g_received.clear();
    g_auto_respond = true;
    mark_ = trace_size();
    configure();
  }

  // The program's records, filled as folian fills them.
  void configure() {
    desc_ = {};
    runners_ = {};
    config_ = {};
    args_ = {};
    desc_.struct_size = sizeof desc_;
    desc_.runs_task_on_current_thread_callback = on_runs_here;
    desc_.post_task_callback = on_post;
    desc_.identifier = 7;
    runners_.struct_size = sizeof runners_;
    runners_.platform_task_runner = &desc_;
    config_.type = kSoftware;
    config_.software.struct_size = sizeof config_.software;
    config_.software.surface_present_callback = on_present;
    args_.struct_size = sizeof args_;
    args_.assets_path = assets_.c_str();
    args_.icu_data_path = icu_.c_str();
    args_.platform_message_callback = on_message;
    args_.custom_task_runners = &runners_;
    args_.log_message_callback = on_log;
    args_.log_tag = "tag";
  }

  void TearDown() override {
    if (g_engine) FlutterEngineShutdown(g_engine);
    g_engine = nullptr;
    std::string cmd = "rm -rf " + dir_;
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  void script(const std::string& text) { std::ofstream(assets_ + "/folian_app.txt") << text; }

  FlutterEngineResult run() {
    return FlutterEngineRun(FLUTTER_ENGINE_VERSION, &config_, &args_, nullptr, &g_engine);
  }

  void metrics(size_t w, size_t h) {
    FlutterWindowMetricsEvent m{};
    m.struct_size = sizeof m;
    m.width = w;
    m.height = h;
    m.pixel_ratio = 1.0;
    ASSERT_EQ(FlutterEngineSendWindowMetricsEvent(g_engine, &m), kSuccess);
  }

  void tap(double x) {
    FlutterPointerEvent e{};
    e.struct_size = sizeof e;
    e.phase = kUp;
    e.x = x;
    e.device_kind = kFlutterPointerDeviceKindTouch;
    ASSERT_EQ(FlutterEngineSendPointerEvent(g_engine, &e, 1), kSuccess);
  }

  void page_key(uint64_t logical) {
    FlutterKeyEvent k{};
    k.struct_size = sizeof k;
    k.type = kFlutterKeyEventTypeDown;
    k.logical = logical;
    ASSERT_EQ(FlutterEngineSendKeyEvent(g_engine, &k, nullptr, nullptr), kSuccess);
  }

  void send(const char* channel, const std::string& text) {
    FlutterPlatformMessage m{};
    m.struct_size = sizeof m;
    m.channel = channel;
    m.message = (const uint8_t*)text.data();
    m.message_size = text.size();
    ASSERT_EQ(FlutterEngineSendPlatformMessage(g_engine, &m), kSuccess);
  }

  // Waits for the next frame and returns its gray level (blue byte).
  int next_gray(size_t before) {
    EXPECT_TRUE(pump([before] { return frame_count() > before; })) << "no frame";
    return frame_count() > before ? last_frame().b : -1;
  }

  std::vector<std::string> violations() { return trace_since(mark_, "violation"); }

  std::string dir_, assets_, icu_;
  size_t mark_ = 0;
  FlutterTaskRunnerDescription desc_{};
  FlutterCustomTaskRunners runners_{};
  FlutterRendererConfig config_{};
  FlutterProjectArgs args_{};
};

TEST_F(Engine, RefusesWhatTheEngineRefuses) {
  EXPECT_EQ(FlutterEngineRun(2, &config_, &args_, nullptr, &g_engine), kInvalidLibraryVersion);
  EXPECT_EQ(FlutterEngineRun(1, nullptr, &args_, nullptr, &g_engine), kInvalidArguments);
  EXPECT_EQ(FlutterEngineRun(1, &config_, nullptr, nullptr, &g_engine), kInvalidArguments);
  EXPECT_EQ(FlutterEngineRun(1, &config_, &args_, nullptr, nullptr), kInvalidArguments);

  std::vector<std::pair<const char*, std::function<void()>>> breaks = {
      {"args size", [this] { args_.struct_size -= 8; }},
      {"software size", [this] { config_.software.struct_size = 4; }},
      {"renderer", [this] { config_.type = kOpenGL; }},
      {"present", [this] { config_.software.surface_present_callback = nullptr; }},
      {"runners", [this] { args_.custom_task_runners = nullptr; }},
      {"runners size", [this] { runners_.struct_size = 16; }},
      {"description size", [this] { desc_.struct_size = 20; }},
      {"post", [this] { desc_.post_task_callback = nullptr; }},
      {"runs-on", [this] { desc_.runs_task_on_current_thread_callback = nullptr; }},
      {"assets", [this] { args_.assets_path = "/nonexistent/assets"; }},
      {"no assets", [this] { args_.assets_path = nullptr; }},
      {"icu", [this] { args_.icu_data_path = "/nonexistent/icudtl.dat"; }},
      {"icu dir", [this] { args_.icu_data_path = dir_.c_str(); }},
  };
  for (auto& [name, spoil] : breaks) {
    configure();
    spoil();
    EXPECT_EQ(run(), kInvalidArguments) << name;
    EXPECT_EQ(g_engine, nullptr) << name;
  }
  EXPECT_TRUE(violations().empty());
  EXPECT_FALSE(FlutterEngineRunsAOTCompiledDartCode());
}

TEST_F(Engine, RecordsContractBreaches) {
  g_auto_respond = false;
  script("message one/chan a\nmessage two/chan b\n");
  ASSERT_EQ(run(), kSuccess);
  // The script sends its second message once the first is answered.
  ASSERT_TRUE(pump([] { return g_received.size() == 1; }));
  const auto* first = g_received[0].handle;
  EXPECT_EQ(FlutterEngineSendPlatformMessageResponse(g_engine, first, nullptr, 0), kSuccess);
  ASSERT_TRUE(pump([] { return g_received.size() == 2; }));
  EXPECT_EQ(FlutterEngineSendPlatformMessageResponse(g_engine, first, nullptr, 0),
            kInvalidArguments);
  int foreign = 0;
  EXPECT_EQ(FlutterEngineSendPlatformMessageResponse(
                g_engine, (const FlutterPlatformMessageResponseHandle*)&foreign, nullptr, 0),
            kInvalidArguments);
  FlutterTask bogus{nullptr, 999999};
  EXPECT_EQ(FlutterEngineRunTask(g_engine, &bogus), kInvalidArguments);
  // A real task handed back on another thread.
  std::thread([] {
    FlutterTask t;
    {
      std::lock_guard<std::mutex> l(g_lock);
      t = g_posted.empty() ? FlutterTask{nullptr, 1} : g_posted.front().task;
    }
    FlutterEngineRunTask(g_engine, &t);
  }).join();

  FlutterWindowMetricsEvent m{};
  m.struct_size = 80;  // an older header's size
  m.width = m.height = 10;
  m.pixel_ratio = 1;
  EXPECT_EQ(FlutterEngineSendWindowMetricsEvent(g_engine, &m), kInvalidArguments);
  FlutterKeyEvent k{};
  k.struct_size = 48;
  EXPECT_EQ(FlutterEngineSendKeyEvent(g_engine, &k, nullptr, nullptr), kInvalidArguments);
  FlutterPointerEvent p{};
  p.struct_size = 112;
  EXPECT_EQ(FlutterEngineSendPointerEvent(g_engine, &p, 1), kInvalidArguments);
  FlutterLocale loc{16, "en", "US", nullptr, nullptr};
  const FlutterLocale* locs[] = {&loc};
  EXPECT_EQ(FlutterEngineUpdateLocales(g_engine, locs, 1), kInvalidArguments);

  EXPECT_EQ(FlutterEngineShutdown(g_engine), kSuccess);
  EXPECT_EQ(FlutterEngineScheduleFrame(g_engine), kInvalidArguments);
  g_engine = nullptr;

  std::string all;
  for (const auto& v : violations()) all += v + "\n";
  for (const char* expected :
       {"second%20response%20to%20message%201", "handle%20the%20engine%20never%20gave%20out",
        "unknown%20task%20999999", "off%20the%20platform%20thread",
        "FlutterWindowMetricsEvent.struct_size%2080", "FlutterKeyEvent.struct_size%2048",
        "FlutterPointerEvent.struct_size%20112", "FlutterLocale.struct_size%2016",
        "message%202%20on%20two/chan%20never%20answered", "after%20FlutterEngineShutdown"})
    EXPECT_NE(all.find(expected), std::string::npos) << expected << " not in\n" << all;
}

TEST_F(Engine, EncodesMethodCallsWithTheStandardCodec) {
  script("call my.channel doIt i=i:-2 l=l:5 s=s:\"a b\" t=b:true f=b:false n=n d=d:1.5\n"
         "call my.channel bare\n");
  ASSERT_EQ(run(), kSuccess);
  ASSERT_TRUE(pump([] { return g_received.size() == 2; }));
  const std::vector<uint8_t> expected = {
      7, 4, 'd', 'o', 'I', 't', 13, 7,                                   // method, map of 7
      7, 1, 'i', 3, 0xfe, 0xff, 0xff, 0xff,                              // i: int32 -2
      7, 1, 'l', 4, 5, 0, 0, 0, 0, 0, 0, 0,                              // l: int64 5
      7, 1, 's', 7, 3, 'a', ' ', 'b',                                    // s: "a b"
      7, 1, 't', 1, 7, 1, 'f', 2, 7, 1, 'n', 0,                          // t, f, n
      7, 1, 'd', 6, 0, 0, 0, 0,                                          // d, padding to 8
      0, 0, 0, 0, 0, 0, 0xf8, 0x3f};                                     // 1.5
  EXPECT_EQ(g_received[0].channel, "my.channel");
  EXPECT_EQ(g_received[0].bytes, expected);
  EXPECT_EQ(g_received[1].bytes, (std::vector<uint8_t>{7, 4, 'b', 'a', 'r', 'e', 0}));
  EXPECT_TRUE(violations().empty());
}

TEST_F(Engine, PagesTurnOnTapsAndPageKeys) {
  script("page\nfill gray 10\npage\nfill gray 20\npage\nfill rgb 30 0 0\npages\n");
  ASSERT_EQ(run(), kSuccess);
  metrics(100, 40);
  EXPECT_EQ(next_gray(0), 10);
  tap(80);
  EXPECT_EQ(next_gray(1), 20);
  tap(10);
  EXPECT_EQ(next_gray(2), 10);
  tap(10);  // already on the first page: nothing
  page_key(0x100000307);
  EXPECT_EQ(next_gray(3), 20);
  // The raw key message of the same press must not turn a second time.
  send("flutter/keyevent", "{\"type\":\"keydown\",\"keyCode\":65366}");
  pump_for(50);
  EXPECT_EQ(frame_count(), 4u);
  // A key message on its own does.
  send("flutter/keyevent", "{\"type\":\"keydown\",\"keyCode\":65366}");
  ASSERT_TRUE(pump([] { return frame_count() == 5; }));
  EXPECT_EQ(last_frame().r, 30);
  EXPECT_EQ(last_frame().b, 0);
  EXPECT_EQ(last_frame().a, 255);
  EXPECT_EQ(last_frame().row_bytes, 400u);
  EXPECT_EQ(last_frame().rows, 40u);
  EXPECT_TRUE(violations().empty());
}

TEST_F(Engine, NothingIsPresentedWhilePaused) {
  ASSERT_EQ(run(), kSuccess);  // no script: one white page
  metrics(20, 10);
  EXPECT_EQ(next_gray(0), 255);
  send("flutter/lifecycle", "AppLifecycleState.paused");
  FlutterEngineScheduleFrame(g_engine);
  pump_for(50);
  EXPECT_EQ(frame_count(), 1u);
  send("flutter/lifecycle", "AppLifecycleState.resumed");
  FlutterEngineScheduleFrame(g_engine);
  EXPECT_EQ(next_gray(1), 255);
  EXPECT_EQ(trace_since(mark_, "present_skipped").size(), 1u);
  EXPECT_TRUE(violations().empty());
}

TEST_F(Engine, PresentOverridesAndScriptErrors) {
  script("fill gray 7\nbogus command\nrect 1 2 3\npresent rows=60 row_bytes=500 width=110\n");
  ASSERT_EQ(run(), kSuccess);
  metrics(100, 40);
  ASSERT_TRUE(pump([] { return frame_count() == 1; }));
  EXPECT_EQ(last_frame().row_bytes, 500u);
  EXPECT_EQ(last_frame().rows, 60u);
  EXPECT_EQ(last_frame().b, 7);
  EXPECT_EQ(trace_since(mark_, "script_error").size(), 2u);
  std::lock_guard<std::mutex> l(g_lock);
  ASSERT_EQ(g_logs.size(), 2u);
  EXPECT_EQ(g_logs[0], "tag: folian_app.txt:2: unknown command bogus");
}

}  // namespace
