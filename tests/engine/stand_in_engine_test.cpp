// The stand-in engine's contract checking: what it refuses and which breaches
// it records.  Everything else it does is exercised by the end-to-end tests.
// A tiny embedder on the test's main thread plays the program's part.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
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
FlutterTaskRunner g_runner = nullptr;  // the one the engine hands out
void on_post(FlutterTask task, uint64_t target, void*) {
  std::lock_guard<std::mutex> l(g_lock);
  g_runner = task.runner;
  g_posted.emplace_back(task, target);
}
// What the last present callback saw: whether the byte right after the frame
// could be read (it must not, so that a program reading past it crashes).
std::atomic<int> g_presents{0};
std::atomic<bool> g_end_on_page{false}, g_past_end_readable{true};
bool on_present(void*, const void* pixels, size_t row_bytes, size_t rows) {
  const uint8_t* end = static_cast<const uint8_t*>(pixels) + row_bytes * rows;
  g_end_on_page = (uintptr_t)end % (uintptr_t)sysconf(_SC_PAGESIZE) == 0;
  char byte;
  struct iovec local = {&byte, 1}, remote = {const_cast<uint8_t*>(end), 1};
  g_past_end_readable = process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == 1;
  g_presents++;
  return true;
}
void on_message(const FlutterPlatformMessage* m, void*) { g_received.push_back(m->response_handle); }

// A compositor of gray stores; `g_spoil_size` makes the create callback
// change the struct_size the engine set.
std::vector<uint8_t> g_store;
std::atomic<bool> g_spoil_size{false};
std::atomic<int> g_collected{0};
std::atomic<int> g_layer_presents{0};
std::atomic<unsigned> g_first_gray{0};
bool on_create(const FlutterBackingStoreConfig* config, FlutterBackingStore* out, void*) {
  g_store.assign((size_t)config->size.width * (size_t)config->size.height, 0xAA);
  out->type = kFlutterBackingStoreTypeSoftware2;
  if (g_spoil_size) out->struct_size = 8;
  out->software2 = {sizeof out->software2, g_store.data(), (size_t)config->size.width,
                    (size_t)config->size.height, nullptr, nullptr,
                    kFlutterSoftwarePixelFormatGray8};
  return true;
}
bool on_collect(const FlutterBackingStore*, void*) { return ++g_collected, true; }
bool on_layers(const FlutterLayer** layers, size_t count, void*) {
  if (count == 1) g_first_gray = static_cast<const uint8_t*>(layers[0]->backing_store->software2.allocation)[0];
  return ++g_layer_presents, true;
}
bool on_view(const FlutterPresentViewInfo*) { return true; }

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
    std::ofstream(assets_ + "/kernel_blob.bin") << "kernel";
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
    compositor_ = {sizeof compositor_, nullptr, on_create, on_collect, on_layers, false, nullptr};
  }

  FlutterEngineResult run() { return FlutterEngineRun(FLUTTER_ENGINE_VERSION, &config_, &args_, nullptr, &g_engine); }

  // The trace lines of one event written since SetUp.
  std::string traced(const char* event = "violation") {
    std::ifstream f(getenv("FOLIAN_SIM_TRACE"));
    f.seekg(mark_);
    std::string line, out, tag = std::string(" ") + event + " ";
    while (std::getline(f, line))
      if (line.find(tag) != std::string::npos) out += line + "\n";
    return out;
  }
  std::string violations() { return traced(); }

  std::string dir_, assets_, icu_;
  std::streamoff mark_ = 0;
  FlutterTaskRunnerDescription desc_{};
  FlutterCustomTaskRunners runners_{};
  FlutterRendererConfig config_{};
  FlutterProjectArgs args_{};
  FlutterCompositor compositor_{};
};

TEST_F(Engine, RefusesWhatTheEngineRefuses) {
  EXPECT_EQ(FlutterEngineRun(2, &config_, &args_, nullptr, &g_engine), kInvalidLibraryVersion);
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
      {"no kernel", [this] { args_.assets_path = dir_.c_str(); }},
      {"no assets", [this] { args_.assets_path = nullptr; }},
      {"no create", [this] {
         compositor_.create_backing_store_callback = nullptr;
         args_.compositor = &compositor_;
       }},
      {"no collect", [this] {
         compositor_.collect_backing_store_callback = nullptr;
         args_.compositor = &compositor_;
       }},
      {"no present", [this] {
         compositor_.present_layers_callback = nullptr;
         args_.compositor = &compositor_;
       }},
      {"both presents", [this] {
         compositor_.present_view_callback = on_view;
         args_.compositor = &compositor_;
       }},
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
}

// Like the engine, the stand-in takes as ahead-of-time code only a shared
// object of its architecture, and returns no error for an app of another
// release: its VM aborts the process, with the real message.  Run in a
// process of its own with FOLIAN_SIM_AOT=1, which the engine reads once.
class AheadOfTime : public Engine {};

TEST_F(AheadOfTime, AnAppOfAnotherReleaseAbortsTheProcess) {
  if (!getenv("FOLIAN_SIM_AOT")) GTEST_SKIP() << "runs with FOLIAN_SIM_AOT=1";
  EXPECT_EXIT(
      {
        FlutterEngineAOTDataSource source{};
        source.type = kFlutterEngineAOTDataSourceTypeElfPath;
        source.elf_path = icu_.c_str();
        FlutterEngineAOTData data = nullptr;
        if (FlutterEngineCreateAOTData(&source, &data) != kInvalidArguments) exit(3);
        source.elf_path = STAND_IN_FOREIGN_APP;
        if (FlutterEngineCreateAOTData(&source, &data) != kSuccess) exit(4);
        args_.aot_data = data;
        run();
        exit(5);
      },
      testing::KilledBySignal(SIGABRT),
      "Error while initializing the Dart VM: Wrong full snapshot version, expected '" STAND_IN_HASH
      "' found '" STAND_IN_FOREIGN_HASH "'");
}

// Its release's hash, but made for a profile build's VM: the release
// engine's VM aborts on the features, as the real one does.
TEST_F(AheadOfTime, AProfileAppOnAReleaseEngineAbortsTheProcess) {
  if (!getenv("FOLIAN_SIM_AOT")) GTEST_SKIP() << "runs with FOLIAN_SIM_AOT=1";
  EXPECT_EXIT(
      {
        FlutterEngineAOTDataSource source{};
        source.type = kFlutterEngineAOTDataSourceTypeElfPath;
        source.elf_path = STAND_IN_PROFILE_APP;
        FlutterEngineAOTData data = nullptr;
        if (FlutterEngineCreateAOTData(&source, &data) != kSuccess) exit(4);
        args_.aot_data = data;
        run();
        exit(5);
      },
      testing::KilledBySignal(SIGABRT),
      "Error while initializing the Dart VM: Snapshot not compatible with the current VM "
      "configuration: the snapshot requires 'release [^']*' but the VM has 'product ");
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
  // The runner is the engine's own object, not the program's identifier; a
  // task of an unknown runner is dropped, one of an unknown id refused.
  FlutterTask bogus{reinterpret_cast<FlutterTaskRunner>(uintptr_t{1}), 1};
  EXPECT_EQ(FlutterEngineRunTask(g_engine, &bogus), kSuccess);
  {
    std::lock_guard<std::mutex> l(g_lock);
    bogus = {g_runner, 999999};
  }
  EXPECT_EQ(FlutterEngineRunTask(g_engine, &bogus), kInvalidArguments);
  std::thread([] {  // a real task handed back on another thread
    std::lock_guard<std::mutex> l(g_lock);
    FlutterTask t = g_posted.empty() ? FlutterTask{g_runner, 1} : g_posted.front().first;
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
        "unknown%20task%20999999", "task%201%20handed%20back%20with%20a%20runner%20the%20engine%20never",
        "off%20the%20platform%20thread",
        "FlutterWindowMetricsEvent.struct_size%2080", "FlutterKeyEvent.struct_size%2048",
        "FlutterPointerEvent.struct_size%20112", "FlutterLocale.struct_size%2016",
        "message%202%20on%20two/chan%20never%20answered", "after%20FlutterEngineShutdown",
        "insets%20that%20are%20negative", "an%20empty%20language"})
    EXPECT_NE(all.find(expected), std::string::npos) << expected << " not in\n" << all;
}

// What the program's own tests cannot tell: that the stand-in flags what the
// engine asserts on, lets pass what it allows, and hands out frames as the
// engine does.
TEST_F(Engine, PointersThreadsAndFrames) {
  std::ofstream(assets_ + "/folian_app.txt") << "rect 0 0 1 1 gray 0\npresent\n"
                                                "wait_lifecycle paused\npresent\n";
  ASSERT_EQ(run(), kSuccess);
  auto metrics = [] {
    FlutterWindowMetricsEvent m{};
    m.struct_size = sizeof m;
    m.width = 30;
    m.height = 20;
    m.pixel_ratio = 1;
    return FlutterEngineSendWindowMetricsEvent(g_engine, &m);
  };
  auto wait_presents = [](int n) {
    for (int i = 0; i < 2000 && g_presents < n; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return g_presents >= n;
  };
  g_presents = 0;
  ASSERT_EQ(metrics(), kSuccess);
  ASSERT_TRUE(wait_presents(1));
  EXPECT_TRUE(g_end_on_page);
  EXPECT_FALSE(g_past_end_readable);
  // Paused, the application draws nothing of its own, but a scheduled frame
  // and new metrics are drawn anyway.
  FlutterPlatformMessage paused{sizeof paused, "flutter/lifecycle",
                                reinterpret_cast<const uint8_t*>("AppLifecycleState.paused"), 24,
                                nullptr};
  ASSERT_EQ(FlutterEngineSendPlatformMessage(g_engine, &paused), kSuccess);
  ASSERT_EQ(FlutterEngineScheduleFrame(g_engine), kSuccess);
  ASSERT_EQ(metrics(), kSuccess);
  ASSERT_TRUE(wait_presents(3));

  // Pointer sequences, each on a device of its own, that the converter
  // asserts on at the last event.  (Sequences it allows are the program's
  // own, and the end-to-end tests fail on any breach recorded.)
  const uint64_t now_us = FlutterEngineGetCurrentTime() / 1000;
  struct Case {
    std::vector<FlutterPointerPhase> phases;
    const char* violation;
  } cases[] = {
      {{kMove}, "move%20without%20down"},
      {{kDown, kUp, kUp}, "up%20without%20down"},
      {{kDown, kDown}, "down%20while%20already%20down"},
      {{kAdd, kAdd}, "add%20of%20a%20device%20already%20added"},
      {{kAdd, kCancel}, "cancel%20while%20not%20down"},
      {{kRemove}, "remove%20of%20a%20device%20never%20added"},
      {{kDown, kHover}, "hover%20while%20down"},
  };
  int32_t device = 100;
  for (const Case& c : cases) {
    device++;
    for (FlutterPointerPhase phase : c.phases) {
      FlutterPointerEvent p{};
      p.struct_size = sizeof p;
      p.phase = phase;
      p.device = device;
      p.timestamp = (size_t)now_us;
      EXPECT_EQ(FlutterEngineSendPointerEvent(g_engine, &p, 1), kSuccess);
    }
    std::string all = violations(), tag = "pointer%20device%20" + std::to_string(device) + ":%20";
    EXPECT_NE(all.find(tag + c.violation), std::string::npos) << device << "\n" << all;
  }
  FlutterPointerEvent stale{};
  stale.struct_size = sizeof stale;
  stale.phase = kHover;
  stale.device = 1;
  stale.timestamp = (size_t)(now_us - 2000000);
  EXPECT_EQ(FlutterEngineSendPointerEvent(g_engine, &stale, 1), kSuccess);

  // Calls the shell makes on the platform thread only; a response may come
  // from anywhere.  A key event is answered even without a callback.
  std::thread([] {
    FlutterEngineScheduleFrame(g_engine);
    FlutterKeyEvent k{};
    k.struct_size = sizeof k;
    k.type = kFlutterKeyEventTypeDown;
    k.timestamp = (double)(FlutterEngineGetCurrentTime() / 1000);
    FlutterEngineSendKeyEvent(g_engine, &k, nullptr, nullptr);
  }).join();
  EXPECT_NE(traced("post_task").find("kind=key_reply"), std::string::npos);
  std::string all = violations();
  for (const char* expected :
       {"FlutterEngineScheduleFrame%20off%20the%20platform%20thread",
        "FlutterEngineSendKeyEvent%20off%20the%20platform%20thread",
        "pointer%20timestamp%20"})
    EXPECT_NE(all.find(expected), std::string::npos) << expected << " not in\n" << all;
}

// From 3.7 the engine draws into gray stores as Skia does, in BT.709 luma,
// keeps a store while the size stays, collects it at shutdown, and refuses
// one whose struct_size the program changed.
TEST_F(Engine, DrawsIntoTheCompositorsGrayStores) {
  std::ofstream(assets_ + "/folian_app.txt") << "fill rgb 255 0 0\npresent\n";
  args_.compositor = &compositor_;
  g_collected = g_layer_presents = 0;
  ASSERT_EQ(run(), kSuccess);
  FlutterWindowMetricsEvent m{};
  m.struct_size = sizeof m;
  m.width = 30;
  m.height = 20;
  m.pixel_ratio = 1;
  ASSERT_EQ(FlutterEngineSendWindowMetricsEvent(g_engine, &m), kSuccess);
  for (int i = 0; i < 2000 && g_layer_presents < 1; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(FlutterEngineScheduleFrame(g_engine), kSuccess);
  for (int i = 0; i < 2000 && g_layer_presents < 2; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Two frames at least: the metrics may show the page once more.
  EXPECT_GE(g_layer_presents, 2);
  EXPECT_EQ(g_first_gray, 0x36u);
  EXPECT_EQ(g_collected, 0);
  EXPECT_EQ(FlutterEngineShutdown(g_engine), kSuccess);
  g_engine = nullptr;
  EXPECT_EQ(g_collected, 1);
  EXPECT_EQ(violations(), "");

  g_spoil_size = true;
  configure();
  args_.compositor = &compositor_;
  ASSERT_EQ(run(), kSuccess);
  ASSERT_EQ(FlutterEngineSendWindowMetricsEvent(g_engine, &m), kSuccess);
  for (int i = 0; i < 2000 && violations().empty(); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  g_spoil_size = false;
  EXPECT_NE(violations().find("modified%20the%20backing%20store%20struct%20size"), std::string::npos);
}

}  // namespace
