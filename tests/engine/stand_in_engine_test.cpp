// The stand-in engine's contract checking: what it refuses and which breaches
// it records.  Everything else it does is exercised by the end-to-end tests.
// A tiny embedder on the test's main thread plays the program's part.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "flutter_embedder.h"

namespace {

std::mutex g_lock;
std::vector<std::pair<FlutterTask, uint64_t>> g_posted;  // with its target time
std::vector<const FlutterPlatformMessageResponseHandle*> g_received;  // platform thread only
std::thread::id g_main = std::this_thread::get_id();
FLUTTER_API_SYMBOL(FlutterEngine) g_engine = nullptr;

bool on_runs_here(void*) { return std::this_thread::get_id() == g_main; }
void on_post(FlutterTask task, uint64_t target, void*) {
  std::lock_guard<std::mutex> l(g_lock);
  g_posted.emplace_back(task, target);
}
bool on_present(void*, const void*, size_t, size_t) { return true; }
void on_message(const FlutterPlatformMessage* m, void*) { g_received.push_back(m->response_handle); }

// Runs posted tasks on this (the platform) thread until `count` messages came.
bool pump_until_received(size_t count) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (g_received.size() < count) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::vector<FlutterTask> due;
    {
      std::lock_guard<std::mutex> l(g_lock);
      uint64_t now = FlutterEngineGetCurrentTime();
      for (auto it = g_posted.begin(); it != g_posted.end();) {
        if (it->second > now) {
          ++it;
          continue;
        }
        due.push_back(it->first);
        it = g_posted.erase(it);
      }
    }
    for (const FlutterTask& t : due) FlutterEngineRunTask(g_engine, &t);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
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
    std::ifstream trace(getenv("FOLIAN_SIM_TRACE"), std::ios::ate);
    mark_ = trace ? (std::streamoff)trace.tellg() : 0;
    configure();
  }
  void TearDown() override {
    if (g_engine) FlutterEngineShutdown(g_engine);
    g_engine = nullptr;
    ASSERT_EQ(system(("rm -rf " + dir_).c_str()), 0);
  }

  // The program's records, filled as folian fills them.
  void configure() {
    desc_ = {};
    desc_.struct_size = sizeof desc_;
    desc_.runs_task_on_current_thread_callback = on_runs_here;
    desc_.post_task_callback = on_post;
    runners_ = {};
    runners_.struct_size = sizeof runners_;
    runners_.platform_task_runner = &desc_;
    config_ = {};
    config_.type = kSoftware;
    config_.software.struct_size = sizeof config_.software;
    config_.software.surface_present_callback = on_present;
    args_ = {};
    args_.struct_size = sizeof args_;
    args_.assets_path = assets_.c_str();
    args_.icu_data_path = icu_.c_str();
    args_.platform_message_callback = on_message;
    args_.custom_task_runners = &runners_;
  }

  FlutterEngineResult run() { return FlutterEngineRun(FLUTTER_ENGINE_VERSION, &config_, &args_, nullptr, &g_engine); }

  // The violation lines of the trace written since SetUp.
  std::string violations() {
    std::ifstream f(getenv("FOLIAN_SIM_TRACE"));
    f.seekg(mark_);
    std::string line, out;
    while (std::getline(f, line))
      if (line.find(" violation ") != std::string::npos) out += line + "\n";
    return out;
  }

  std::string dir_, assets_, icu_;
  std::streamoff mark_ = 0;
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
      {"aot and snapshots", [this] {
         args_.aot_data = reinterpret_cast<FlutterEngineAOTData>(&args_);
         args_.isolate_snapshot_data = reinterpret_cast<const uint8_t*>(&args_);
       }},
  };
  for (auto& [name, spoil] : breaks) {
    configure();
    spoil();
    EXPECT_EQ(run(), kInvalidArguments) << name;
    EXPECT_EQ(g_engine, nullptr) << name;
  }
  EXPECT_EQ(violations(), "");
  EXPECT_FALSE(FlutterEngineRunsAOTCompiledDartCode());
}

TEST_F(Engine, RecordsContractBreaches) {
  std::ofstream(assets_ + "/folian_app.txt") << "message one/chan a\nmessage two/chan b\n";
  ASSERT_EQ(run(), kSuccess);
  // The script sends its second message once the first is answered.
  ASSERT_TRUE(pump_until_received(1));
  const FlutterPlatformMessageResponseHandle* first = g_received[0];
  EXPECT_EQ(FlutterEngineSendPlatformMessageResponse(g_engine, first, nullptr, 0), kSuccess);
  ASSERT_TRUE(pump_until_received(2));
  EXPECT_EQ(FlutterEngineSendPlatformMessageResponse(g_engine, first, nullptr, 0), kInvalidArguments);
  int foreign = 0;
  EXPECT_EQ(FlutterEngineSendPlatformMessageResponse(
                g_engine, (const FlutterPlatformMessageResponseHandle*)&foreign, nullptr, 0),
            kInvalidArguments);
  FlutterTask bogus{nullptr, 999999};
  EXPECT_EQ(FlutterEngineRunTask(g_engine, &bogus), kInvalidArguments);
  std::thread([] {  // a real task handed back on another thread
    std::lock_guard<std::mutex> l(g_lock);
    FlutterTask t = g_posted.empty() ? FlutterTask{nullptr, 1} : g_posted.front().first;
    FlutterEngineRunTask(g_engine, &t);
  }).join();
  // Records of older headers' sizes.
  FlutterWindowMetricsEvent m{};
  m.struct_size = 80;
  m.width = m.height = 10;
  m.pixel_ratio = 1;
  EXPECT_EQ(FlutterEngineSendWindowMetricsEvent(g_engine, &m), kInvalidArguments);
  m.struct_size = sizeof m;
  for (double* inset : {&m.physical_view_inset_top, &m.physical_view_inset_left}) {
    for (double bad : {-1.0, 11.0}) {
      *inset = bad;
      EXPECT_EQ(FlutterEngineSendWindowMetricsEvent(g_engine, &m), kInvalidArguments) << bad;
      *inset = 0;
    }
  }
  FlutterKeyEvent k{};
  k.struct_size = 48;
  EXPECT_EQ(FlutterEngineSendKeyEvent(g_engine, &k, nullptr, nullptr), kInvalidArguments);
  FlutterPointerEvent p{};
  p.struct_size = 112;
  EXPECT_EQ(FlutterEngineSendPointerEvent(g_engine, &p, 1), kInvalidArguments);
  FlutterLocale loc{16, "en", "US", nullptr, nullptr};
  const FlutterLocale* locs[] = {&loc};
  EXPECT_EQ(FlutterEngineUpdateLocales(g_engine, locs, 1), kInvalidArguments);
  loc = {sizeof loc, "", "US", nullptr, nullptr};
  EXPECT_EQ(FlutterEngineUpdateLocales(g_engine, locs, 1), kInvalidArguments);
  EXPECT_EQ(FlutterEngineShutdown(g_engine), kSuccess);
  EXPECT_EQ(FlutterEngineScheduleFrame(g_engine), kInvalidArguments);
  g_engine = nullptr;

  std::string all = violations();
  for (const char* expected :
       {"second%20response%20to%20message%201", "handle%20the%20engine%20never%20gave%20out",
        "unknown%20task%20999999", "off%20the%20platform%20thread",
        "FlutterWindowMetricsEvent.struct_size%2080", "FlutterKeyEvent.struct_size%2048",
        "FlutterPointerEvent.struct_size%20112", "FlutterLocale.struct_size%2016",
        "message%202%20on%20two/chan%20never%20answered", "after%20FlutterEngineShutdown",
        "insets%20that%20are%20negative", "an%20empty%20language"})
    EXPECT_NE(all.find(expected), std::string::npos) << expected << " not in\n" << all;
}

}  // namespace
