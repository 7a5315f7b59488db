// Stand-in Flutter engine for the desktop and the tests: the exported API.
//
// It exports the Embedder API functions folian uses, behaves like the real
// engine towards the program (own UI, raster and I/O threads; platform work
// only through the program's custom task runner; software frames from the
// raster thread) and checks the program's side of the contract on the way:
// tasks run on the platform thread, exactly one response per delivered
// message, correct struct sizes, calls from the platform thread, pointer
// sequences the engine's converter accepts.  Everything that crosses the API
// is written to a trace file (trace.h), one line per event, which the
// end-to-end tests read.  The engine's threads are in engine.cpp, the
// application script in script.cpp; README.md beside this file describes
// the environment, the script and the trace.

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <type_traits>

#include "engine.h"
#include "features.h"
#include "release.h"
#include "trace.h"

using namespace stand_in;

namespace {

[[gnu::used]] const char kSnapshotString[] = "\0" STAND_IN_SNAPSHOT_HASH;
// The mode word of this VM's features, a string of its own in the library
// as the real VM's literal is: "product" in a release engine, "release" in
// a profile one.
[[gnu::used]] const char kModeString[] = "\0" STAND_IN_MODE;

}  // namespace

const char* stand_in::snapshot_hash() { return kSnapshotString + 1; }

namespace {

std::mutex g_engines_lock;
std::vector<_FlutterEngine*> g_live;                 // running engines
std::vector<std::unique_ptr<_FlutterEngine>> g_all;  // kept so late calls can be recognised
std::map<FlutterEngineAOTData, int> g_aot;           // handle -> 1 live, 0 collected

// What the engine took from an app: the snapshot hash and features of the
// VM that made it.  Kept after collection, so that handles stay unique.
struct AotApp {
  void* library = nullptr;
  std::string hash, features;
};

// A call the real engine refuses.
FlutterEngineResult refuse(const std::string& text) {
  violation(text);
  return kInvalidArguments;
}

// Null, unknown and shut-down engines are the program's fault.
_FlutterEngine* live(FLUTTER_API_SYMBOL(FlutterEngine) e, const char* call) {
  std::lock_guard<std::mutex> l(g_engines_lock);
  for (_FlutterEngine* x : g_live)
    if (x == e) return x;
  bool dead = false;
  for (auto& x : g_all)
    if (x.get() == e) dead = true;
  violation(std::string(call) + (e == nullptr ? " with a null engine"
                                 : dead       ? " after FlutterEngineShutdown"
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

// The engine's pointer converter: per device, added or not and down or
// not.  Returns what the converter would assert on, empty when the event
// fits.  A down or hover of a device never added adds it; a cancel of such
// a device is dropped.
std::string convert_pointer(_FlutterEngine* e, int32_t device, int phase) {
  std::lock_guard<std::mutex> l(e->lock);
  auto it = e->pointers.find(device);
  bool known = it != e->pointers.end();
  bool down = known && it->second.down;
  switch (phase) {
    case kCancel:
      if (!known) return "";
      it->second.down = false;
      return down ? "" : "cancel while not down";
    case kAdd:
      if (known) return "add of a device already added";
      e->pointers[device] = PointerState{};
      return "";
    case kRemove:
      if (!known) return "remove of a device never added";
      e->pointers.erase(it);
      return "";
    case kHover:
      if (!known) e->pointers[device] = PointerState{};
      return down ? "hover while down" : "";
    case kDown:
      e->pointers[device].down = true;
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

const char* phase_name(int p) {
  static const char* names[] = {
      "cancel",          "up",          "down", "move", "add", "remove", "hover", "pan_zoom_start",
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

// The snapshot hashes this library holds as strings of their own: its own,
// and any a test joined to it.  The VM takes an app only of one of them.
std::vector<std::string> library_hashes() {
  std::vector<std::string> hashes;
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&library_hashes), &info) || !info.dli_fname) return hashes;
  int fd = open(info.dli_fname, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    return hashes;
  }
  size_t n = (size_t)st.st_size;
  void* m = mmap(nullptr, n, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (m == MAP_FAILED) return hashes;
  const char* p = static_cast<const char*>(m);
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  for (size_t i = 0; i + 33 < n; i++) {
    if (p[i] || p[i + 33] || !std::all_of(p + i + 1, p + i + 33, hex)) continue;
    hashes.emplace_back(p + i + 1, 32);
  }
  munmap(m, n);
  return hashes;
}

// What this VM was built for, as the features of an app it runs must say:
// its mode first (a profile app on a release engine or the reverse aborts),
// then the architecture.  The real VM compares the whole string; the other
// flags are left to the tools that make the app.
const char kVmFeatures[] = STAND_IN_MODE STAND_IN_VM_FLAGS;
#if defined(__arm__)
const char* const kVmArchWords[] = {"arm-eabi", "hardfp"};
#else
const char* const kVmArchWords[] = {"x64-sysv"};
#endif

bool features_fit(const std::string& features) {
  std::string words = " " + features + " ";
  return words.rfind(" " STAND_IN_MODE " ", 0) == 0 &&
         std::all_of(std::begin(kVmArchWords), std::end(kVmArchWords), [&](const char* w) {
           return words.find(std::string(" ") + w + " ") != std::string::npos;
         });
}

// The Dart VM does not return an error for an app it cannot run: it logs a
// fatal line and aborts the process, before any engine thread exists.
[[noreturn]] void vm_abort(std::string& fields, const std::string& message) {
  fields += " result=abort reason=" + enc(message);
  trace("run", fields);
  fprintf(
      stderr,
      "[FATAL:flutter/runtime/dart_vm_initializer.cc(89)] Error while initializing the Dart VM: "
      "%s\n",
      message.c_str());
  abort();
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
  // The engine's loader takes only a shared object of its own architecture
  // that exports the snapshot symbols; anything else is a wrong argument.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  const char* data = nullptr;
  if (library) {
    data = static_cast<const char*>(dlsym(library, "_kDartVmSnapshotData"));
    if (!data) data = static_cast<const char*>(dlsym(library, "_kDartSnapshotData"));
  }
  if (!data || !dlsym(library, "_kDartIsolateSnapshotData")) {
    if (library) dlclose(library);
    trace("aot", "op=create path=" + enc(path) + " result=2");
    return kInvalidArguments;
  }
  auto* app = new AotApp;
  app->library = library;
  // Header: magic, length, kind, then the hash and the features string.
  if (memcmp(data, "\xf5\xf5\xdc\xdc", 4) == 0) {
    app->hash.assign(data + 20, strnlen(data + 20, 32));
    if (app->hash.size() == 32) app->features.assign(data + 52, strnlen(data + 52, 1024));
  }
  FlutterEngineAOTData d = reinterpret_cast<FlutterEngineAOTData>(app);
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
  if (it == g_aot.end() || it->second == 0)
    return refuse(it == g_aot.end() ? "FlutterEngineCollectAOTData with an unknown handle"
                                    : "FlutterEngineCollectAOTData twice");
  for (_FlutterEngine* e : g_live)
    if (e->aot == data) violation("FlutterEngineCollectAOTData while an engine still uses it");
  it->second = 0;
  dlclose(reinterpret_cast<AotApp*>(data)->library);
  trace("aot", "op=collect result=0");
  return kSuccess;
}

FlutterEngineResult FlutterEngineRun(size_t version, const FlutterRendererConfig* config,
                                     const FlutterProjectArgs* args, void* user_data,
                                     FLUTTER_API_SYMBOL(FlutterEngine) * engine_out) {
  set_platform_thread();
  std::string f = fmt("version=%zu", version);
  if (version != FLUTTER_ENGINE_VERSION) return reject(f, "version", kInvalidLibraryVersion);
  if (!config || !args || !engine_out) return reject(f, "null argument", kInvalidArguments);
  f += fmt(" renderer=%d", (int)config->type);
  if (config->type == kSoftware)
    f += fmt(" software_size=%zu present_cb=%d", config->software.struct_size,
             config->software.surface_present_callback ? 1 : 0);
  f += fmt(" args_size=%zu", args->struct_size);
  if (args->struct_size != sizeof(FlutterProjectArgs))
    return reject(f, "FlutterProjectArgs.struct_size", kInvalidArguments);
  // What the release reads of the records; the rest has its defaults.
  const char* const log_tag = STAND_IN_READ(args, log_tag, nullptr);
  const FlutterLogMessageCallback on_log = STAND_IN_READ(args, log_message_callback, nullptr);
  const FlutterCustomTaskRunners* tr = args->custom_task_runners;
  const FlutterTaskRunnerDescription* ui_runner =
      tr ? STAND_IN_READ(tr, ui_task_runner, nullptr) : nullptr;
  f += " assets=" + opt(args->assets_path) + " icu=" + opt(args->icu_data_path) +
       fmt(" argc=%d", args->command_line_argc) + " argv0=" +
       (args->command_line_argc > 0 && args->command_line_argv ? opt(args->command_line_argv[0])
                                                               : std::string("none")) +
       " log_tag=" + opt(log_tag) +
       fmt(" log_cb=%d message_cb=%d shutdown_vm=%d aot_data=%s snapshots=%d vsync=%d "
           "compositor=%d entrypoint=%s",
           on_log ? 1 : 0, args->platform_message_callback ? 1 : 0,
           args->shutdown_dart_vm_when_done ? 1 : 0, args->aot_data ? "set" : "null",
           (args->vm_snapshot_data || args->isolate_snapshot_data) ? 1 : 0,
           args->vsync_callback ? 1 : 0, args->compositor ? 1 : 0,
           args->custom_dart_entrypoint ? "set" : "null");
  if (tr) {
    f += fmt(" runners_size=%zu", tr->struct_size);
    if (tr->platform_task_runner)
      f += fmt(" platform_runner_size=%zu identifier=%zu", tr->platform_task_runner->struct_size,
               tr->platform_task_runner->identifier);
    f += fmt(" render_runner=%s ui_runner=%s", tr->render_task_runner ? "set" : "null",
             ui_runner ? "set" : "null");
  } else {
    f += " runners=null";
  }
  if (config->type != kSoftware) return reject(f, "renderer type", kInvalidArguments);
  if (config->software.struct_size != sizeof(FlutterSoftwareRendererConfig))
    return reject(f, "FlutterSoftwareRendererConfig.struct_size", kInvalidArguments);
  if (!config->software.surface_present_callback)
    return reject(f, "no present callback", kInvalidArguments);
  // The compositor as InferExternalViewEmbedderFromArgs (embedder.cc) takes
  // it: both backing store callbacks, or "Required compositor callbacks
  // absent."; exactly one present callback, or "Either
  // present_layers_callback or present_view_callback must be provided but
  // not both."  FlutterEngineRun then answers kInvalidArguments.
  FlutterCompositor compositor{};
  if (const FlutterCompositor* c = args->compositor) {
    compositor.struct_size = c->struct_size;
    compositor.user_data = STAND_IN_READ(c, user_data, nullptr);
    compositor.create_backing_store_callback =
        STAND_IN_READ(c, create_backing_store_callback, nullptr);
    compositor.collect_backing_store_callback =
        STAND_IN_READ(c, collect_backing_store_callback, nullptr);
    compositor.present_layers_callback = STAND_IN_READ(c, present_layers_callback, nullptr);
    compositor.present_view_callback = STAND_IN_READ(c, present_view_callback, nullptr);
    f += fmt(" compositor_size=%zu create_cb=%d collect_cb=%d layers_cb=%d view_cb=%d",
             c->struct_size, compositor.create_backing_store_callback ? 1 : 0,
             compositor.collect_backing_store_callback ? 1 : 0,
             compositor.present_layers_callback ? 1 : 0, compositor.present_view_callback ? 1 : 0);
    if (!compositor.create_backing_store_callback || !compositor.collect_backing_store_callback)
      return reject(f, "Required compositor callbacks absent.", kInvalidArguments);
    if (!compositor.present_layers_callback == !compositor.present_view_callback)
      return reject(f,
                    "Either present_layers_callback or present_view_callback must be provided "
                    "but not both.",
                    kInvalidArguments);
  }
  if (!tr || tr->struct_size != sizeof(FlutterCustomTaskRunners))
    return reject(f, "FlutterCustomTaskRunners missing or wrong struct_size", kInvalidArguments);
  for (const FlutterTaskRunnerDescription* d :
       {tr->platform_task_runner, tr->render_task_runner, ui_runner}) {
    if (d && (d->struct_size != sizeof(FlutterTaskRunnerDescription) || !d->post_task_callback ||
              !d->runs_task_on_current_thread_callback))
      return reject(f, "task runner description", kInvalidArguments);
  }
  if (!tr->platform_task_runner) return reject(f, "no platform task runner", kInvalidArguments);
  if (tr->render_task_runner || ui_runner)
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
    if (!args->aot_data || it == g_aot.end() || it->second == 0)
      return reject(f, "aot_data", kInvalidArguments);
  }
  // The engine loads the ICU data when it starts the VM, and a file it cannot
  // map is not an error result: the process aborts.
  if (!args->icu_data_path || !readable_file(args->icu_data_path)) {
    f += " result=abort reason=icu%20data%20unreadable";
    trace("run", f);
    abort();
  }
  if (settings().aot) {
    const AotApp* app = reinterpret_cast<const AotApp*>(args->aot_data);
    std::vector<std::string> own = library_hashes();
    if (std::find(own.begin(), own.end(), app->hash) == own.end())
      vm_abort(f, std::string("Wrong full snapshot version, expected '") + snapshot_hash() +
                      "' found '" + app->hash + "'");
    if (!features_fit(app->features))
      vm_abort(f,
               "Snapshot not compatible with the current VM configuration: the snapshot "
               "requires '" +
                   app->features + "' but the VM has '" + kVmFeatures + "'");
  }
  if (settings().fail_run)
    return reject(f, "FOLIAN_SIM_FAIL_RUN", (FlutterEngineResult)settings().fail_run);

  auto owned = std::make_unique<_FlutterEngine>();
  _FlutterEngine* e = owned.get();
  e->has_log_tag = log_tag != nullptr;
  if (log_tag) e->log_tag = log_tag;
  e->user_data = user_data;
  e->present = config->software.surface_present_callback;
  e->compositor = compositor;
  e->on_message = args->platform_message_callback;
  e->on_log = on_log;
  e->runner = *tr->platform_task_runner;
  e->runner.destruction_callback =
      STAND_IN_READ(tr->platform_task_runner, destruction_callback, nullptr);
  e->aot = args->aot_data;

  // The platform thread must be recognised as the runner's own thread.
  if (!e->runner.runs_task_on_current_thread_callback(e->runner.user_data))
    violation("runs_task_on_current_thread_callback returned false on the platform thread");

  f += fmt(" result=0 engine=%p", (void*)e);
  trace("run", f);
  e->script = load_script(args->assets_path);
  {
    std::lock_guard<std::mutex> l(g_engines_lock);
    g_live.push_back(e);
    g_all.push_back(std::move(owned));
  }
  e->start();
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
  e->stop();
  {
    std::lock_guard<std::mutex> l(g_engines_lock);
    g_live.erase(std::find(g_live.begin(), g_live.end(), e));
  }
  size_t pending = 0;
  std::vector<std::string> unanswered;
  {
    std::lock_guard<std::mutex> l(e->lock);
    pending = e->tasks.size();
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
  if (!displays || display_count == 0)
    return refuse("FlutterEngineNotifyDisplayUpdate without displays");
  const uint8_t* p = (const uint8_t*)displays;
  for (size_t i = 0; i < display_count; i++) {
    const FlutterEngineDisplay* d = (const FlutterEngineDisplay*)p;
    trace("display_update",
          fmt("type=%d count=%zu index=%zu struct_size=%zu id=%llu single=%d refresh=%.3f "
              "width=%zu height=%zu dpr=%.3f",
              (int)update_type, display_count, i, d->struct_size, (unsigned long long)d->display_id,
              d->single_display ? 1 : 0, d->refresh_rate, STAND_IN_READ(d, width, (size_t)0),
              STAND_IN_READ(d, height, (size_t)0), STAND_IN_READ(d, device_pixel_ratio, 1.0)));
    if (d->struct_size != sizeof(FlutterEngineDisplay))
      return refuse(fmt("FlutterEngineDisplay.struct_size %zu", d->struct_size));
    if (d->single_display && display_count != 1)
      return refuse("single_display with more than one display");
    p += d->struct_size;
  }
  if (update_type != kFlutterEngineDisplaysUpdateTypeStartup)
    return refuse("display update type other than startup");
  return kSuccess;
}

FlutterEngineResult FlutterEngineSendWindowMetricsEvent(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                                        const FlutterWindowMetricsEvent* m) {
  _FlutterEngine* e = live(engine, "FlutterEngineSendWindowMetricsEvent");
  if (!e) return kInvalidArguments;
  check_platform("FlutterEngineSendWindowMetricsEvent");
  if (!m) return refuse("FlutterEngineSendWindowMetricsEvent with a null event");
  // What the release reads of the record; the rest has its defaults.
  const double top = STAND_IN_READ(m, physical_view_inset_top, 0.0),
               right = STAND_IN_READ(m, physical_view_inset_right, 0.0),
               bottom = STAND_IN_READ(m, physical_view_inset_bottom, 0.0),
               left = STAND_IN_READ(m, physical_view_inset_left, 0.0);
  trace(
      "window_metrics",
      fmt("struct_size=%zu width=%zu height=%zu pixel_ratio=%.3f left=%zu top=%zu "
          "insets=%g,%g,%g,%g display_id=%llu view_id=%lld constraints=%d",
          m->struct_size, m->width, m->height, m->pixel_ratio, m->left, m->top, top, right, bottom,
          left, (unsigned long long)STAND_IN_READ(m, display_id, (FlutterEngineDisplayId)0),
          (long long)STAND_IN_READ(m, view_id, (int64_t)0),
          STAND_IN_READ(m, has_constraints, false) ? 1 : 0));
  if (m->struct_size != sizeof(FlutterWindowMetricsEvent))
    return refuse(fmt("FlutterWindowMetricsEvent.struct_size %zu", m->struct_size));
  if (!(m->pixel_ratio > 0) || m->width == 0 || m->height == 0)
    return refuse("window metrics with an empty size or a pixel ratio that is not positive");
  // The engine refuses insets that are negative or larger than the view.
  const double w = (double)m->width, h = (double)m->height;
  if (!(top >= 0 && top <= h && bottom >= 0 && bottom <= h && left >= 0 && left <= w &&
        right >= 0 && right <= w))
    return refuse("window metrics with insets that are negative or larger than the view");
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
    if (!l || !l->language_code || !*l->language_code)
      return refuse("FlutterEngineUpdateLocales with a null locale or an empty language");
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
    if (locales[i]->struct_size != sizeof(FlutterLocale))
      return refuse(fmt("FlutterLocale.struct_size %zu", locales[i]->struct_size));
  }
  return kSuccess;
}

FlutterEngineResult FlutterEngineSendPlatformMessage(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                                     const FlutterPlatformMessage* m) {
  _FlutterEngine* e = live(engine, "FlutterEngineSendPlatformMessage");
  if (!e) return kInvalidArguments;
  check_platform("FlutterEngineSendPlatformMessage");
  if (!m || !m->channel)
    return refuse("FlutterEngineSendPlatformMessage without a message or channel");
  if (m->message_size && !m->message)
    return refuse("FlutterEngineSendPlatformMessage with a size but no bytes");
  std::string text(m->message ? (const char*)m->message : "", m->message_size);
  trace("message_from_embedder",
        fmt("struct_size=%zu channel=%s size=%zu response_handle=%s hex=", m->struct_size,
            enc(m->channel).c_str(), m->message_size, m->response_handle ? "set" : "null") +
            hex(m->message, m->message_size));
  if (m->struct_size != sizeof(FlutterPlatformMessage))
    return refuse(fmt("FlutterPlatformMessage.struct_size %zu", m->struct_size));
  // The stand-in hands out no handles for messages going the other way.
  if (m->response_handle)
    return refuse("FlutterEngineSendPlatformMessage with a response handle the engine never made");
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
  if (data_length && !data) return refuse("response with a length but no bytes");
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
  if (!problem.empty()) return refuse(problem);
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
  if (!task) return refuse("FlutterEngineRunTask with a null task");
  if (!on_platform_thread())
    return refuse(fmt("FlutterEngineRunTask for task %llu off the platform thread",
                      (unsigned long long)task->task));
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
    // A task is forgotten once it has run, so that a long session does not
    // grow the engine; ids are handed out in order, so a known id that is
    // gone has run already.
    auto it = e->tasks.find(task->task);
    if (it == e->tasks.end()) {
      bool ran = task->task != 0 && task->task < e->next_task;
      problem =
          ran ? fmt("task %llu run twice", (unsigned long long)task->task)
              : fmt("FlutterEngineRunTask for unknown task %llu", (unsigned long long)task->task);
    } else if (now < it->second.target) {
      problem = fmt("task %llu run %llu ns before its target time", (unsigned long long)task->task,
                    (unsigned long long)(it->second.target - now));
    } else {
      t = std::move(it->second);
      e->tasks.erase(it);
      if (t.kind == Task::kMessage) e->handles[t.handle].delivered = true;
    }
  }
  if (!problem.empty()) return refuse(problem);
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
  if (!events && events_count) return refuse("FlutterEngineSendPointerEvent with a null array");
  const uint8_t* p = (const uint8_t*)events;
  for (size_t i = 0; i < events_count; i++) {
    const FlutterPointerEvent* ev = (const FlutterPointerEvent*)p;
    if (ev->struct_size != sizeof(FlutterPointerEvent))
      return refuse(fmt("FlutterPointerEvent.struct_size %zu", ev->struct_size));
    trace("pointer",
          fmt("phase=%s x=%.3f y=%.3f device=%d device_kind=%d buttons=%lld timestamp=%zu "
              "signal_kind=%d view_id=%lld pressure=%g count=%zu",
              phase_name(ev->phase), ev->x, ev->y, ev->device, (int)ev->device_kind,
              (long long)ev->buttons, ev->timestamp, (int)ev->signal_kind,
              (long long)STAND_IN_READ(ev, view_id, (FlutterViewId)0),
              STAND_IN_READ(ev, pressure, 0.0), events_count));
    if (!near_engine_clock_us(ev->timestamp))
      violation(fmt("pointer timestamp %zu us more than 1 s from the engine clock", ev->timestamp));
    if (ev->signal_kind == kFlutterPointerSignalKindNone) {
      std::string problem = convert_pointer(e, ev->device, ev->phase);
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

#if STAND_IN_RELEASE >= 202
FlutterEngineResult FlutterEngineSendKeyEvent(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                                              const FlutterKeyEvent* ev,
                                              FlutterKeyEventCallback callback, void* user_data) {
  _FlutterEngine* e = live(engine, "FlutterEngineSendKeyEvent");
  if (!e) return kInvalidArguments;
  check_platform("FlutterEngineSendKeyEvent");
  if (!ev) return refuse("FlutterEngineSendKeyEvent with a null event");
  static const char* types[] = {"invalid", "up", "down", "repeat"};
  int type = ev->type >= 1 && ev->type <= 3 ? ev->type : 0;
  trace("key",
        fmt("struct_size=%zu type=%s physical=0x%llx logical=0x%llx character=%s "
            "synthesized=%d device_type=%d timestamp=%.0f callback=%s",
            ev->struct_size, types[type], (unsigned long long)ev->physical,
            (unsigned long long)ev->logical, opt(ev->character).c_str(), ev->synthesized ? 1 : 0,
            (int)STAND_IN_READ(ev, device_type, kFlutterKeyEventDeviceTypeKeyboard), ev->timestamp,
            callback ? "set" : "null"));
  if (ev->struct_size != sizeof(FlutterKeyEvent))
    return refuse(fmt("FlutterKeyEvent.struct_size %zu", ev->struct_size));
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
#endif

#if STAND_IN_RELEASE >= 300
FlutterEngineResult FlutterEngineScheduleFrame(FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  _FlutterEngine* e = live(engine, "FlutterEngineScheduleFrame");
  if (!e) return kInvalidArguments;
  check_platform("FlutterEngineScheduleFrame");
  trace("schedule_frame");
  e->push_ui(UiEvent(UiEvent::kScheduleFrame));
  return kSuccess;
}
#endif

FlutterEngineResult FlutterEngineUpdateAccessibilityFeatures(FLUTTER_API_SYMBOL(FlutterEngine)
                                                                 engine,
                                                             FlutterAccessibilityFeature features) {
  _FlutterEngine* e = live(engine, "FlutterEngineUpdateAccessibilityFeatures");
  if (!e) return kInvalidArguments;
  check_platform("FlutterEngineUpdateAccessibilityFeatures");
  trace("accessibility_features", fmt("bits=0x%x", (unsigned)features));
  return kSuccess;
}

// The table as the release fills it: its own order, every entry the
// caller's struct_size covers.  Until 2.2 there was no SendKeyEvent, and the
// entries after SendPointerEvent sat one place earlier.  Entries of
// functions the stand-in does not play stay null.
FlutterEngineResult FlutterEngineGetProcAddresses(FlutterEngineProcTable* table) {
  if (!table) return kInvalidArguments;
  using Fn = void (*)(void);
  auto fn = [](auto f) { return reinterpret_cast<Fn>(f); };
  const Fn entries[] = {
    fn(FlutterEngineCreateAOTData),
    fn(FlutterEngineCollectAOTData),
    fn(FlutterEngineRun),
    fn(FlutterEngineShutdown),
    nullptr,
    nullptr,
    nullptr,  // Initialize .. RunInitialized
    fn(FlutterEngineSendWindowMetricsEvent),
    fn(FlutterEngineSendPointerEvent),
#if STAND_IN_RELEASE >= 202
    fn(FlutterEngineSendKeyEvent),
#endif
    fn(FlutterEngineSendPlatformMessage),
    nullptr,
    nullptr,  // response handles
    fn(FlutterEngineSendPlatformMessageResponse),
    nullptr,
    nullptr,
    nullptr,  // textures
    nullptr,
    fn(FlutterEngineUpdateAccessibilityFeatures),  // semantics, accessibility
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,  // .. PostRenderThreadTask
    fn(FlutterEngineGetCurrentTime),
    fn(FlutterEngineRunTask),
    fn(FlutterEngineUpdateLocales),
    fn(FlutterEngineRunsAOTCompiledDartCode),
    nullptr,
    nullptr,
    nullptr,
    fn(FlutterEngineNotifyDisplayUpdate),
#if STAND_IN_RELEASE >= 300
    fn(FlutterEngineScheduleFrame),
#endif
  };
  char* bytes = reinterpret_cast<char*>(table);
  for (size_t i = 0; i < sizeof entries / sizeof entries[0]; i++) {
    size_t at = sizeof(size_t) + i * sizeof(Fn);
    if (at + sizeof(Fn) <= table->struct_size) memcpy(bytes + at, &entries[i], sizeof(Fn));
  }
  trace("proc_table", fmt("struct_size=%zu release=%d", table->struct_size, stand_in::kRelease));
  return kSuccess;
}

}  // extern "C"
