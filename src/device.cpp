// The reader's services for the application.  Calls are decoded and checked
// here on the platform thread and handed to one worker thread as jobs; the
// worker talks to the daemon or sysfs, which may be slow or hang, and the
// loop sends each reply when its job is done, or an "unknown" one when the
// job is not done within the time limit.
#include "device.h"

#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "codec.h"
#include "engine.h"
#include "log.h"
#include "sources.h"
#include "tasks.h"

namespace {

const char kChannel[] = "app.folian.device";
const char kBatteryChannel[] = "app.folian.device/battery";
const char kBadArgument[] = "bad_argument";
constexpr uint64_t kNsPerMs = 1000000ull;
// How long a call may wait for the daemon or a sysfs node before it is
// answered as unknown.
constexpr uint64_t kAnswerWithinNs = 1500 * kNsPerMs;
// sysfs tells no one when the battery changes: while someone listens it is
// read this often.
constexpr uint64_t kPollNs = 30000 * kNsPerMs;
// How long the shutdown waits for the screensaver lock to be given back.
constexpr int kReleaseWaitMs = 1000;
constexpr int kMaxJobs = 16;

enum class Work { kBattery, kFrontlight, kSetFrontlight, kKeepAwake, kCapabilities, kSetBattery };
enum class Slot { kFree, kQueued, kRunning, kDone };

struct Job {
  Slot slot = Slot::kFree;
  Work work = Work::kBattery;
  uint64_t seq = 0;
  // Null for work nobody waits for: battery events, the release at exit.
  const FlutterPlatformMessageResponseHandle* handle = nullptr;
  uint64_t deadline = 0;  // engine clock
  bool answered = false;  // a late reply went out; the result is dropped
  bool event = false;     // the result goes to the battery listeners
  int a = 0, b = 0;
  BatteryReading battery{-1, false, "unknown"};
  LightReading light{-1, -1};
  DeviceCapabilities caps{};
  bool ok = false;
};

// Guards g_jobs and g_seq, shared with the worker.
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_work = PTHREAD_COND_INITIALIZER;
Job g_jobs[kMaxJobs];
uint64_t g_seq = 0;
std::atomic<bool> g_polled{false};

// Platform thread only.
FLUTTER_API_SYMBOL(FlutterEngine) g_engine = nullptr;
bool g_started = false;
bool g_listening = false;
bool g_told = false;  // an event went out since the last listen
BatteryReading g_last_told{-1, false, "unknown"};
uint64_t g_poll_at = 0;
bool g_awake = false;  // the application asked to keep the screensaver away

void run(Job& job) {
  switch (job.work) {
    case Work::kBattery:
      job.battery = sources_battery();
      break;
    case Work::kFrontlight:
      job.light = sources_frontlight();
      break;
    case Work::kSetFrontlight:
      job.ok = sources_set_frontlight(job.a, job.b);
      break;
    case Work::kKeepAwake:
      job.ok = sources_keep_awake(job.a != 0);
      break;
    case Work::kCapabilities:
      job.caps = sources_capabilities();
      break;
    case Work::kSetBattery:
      job.ok = sources_set_battery(job.a, job.b != 0);
      job.battery = sources_battery();
      break;
  }
}

Job* oldest(Slot slot) {
  Job* found = nullptr;
  for (Job& j : g_jobs)
    if (j.slot == slot && (!found || j.seq < found->seq)) found = &j;
  return found;
}

void* worker(void*) {
  sources_open();
  g_polled = sources_battery_polled();
  pthread_mutex_lock(&g_mutex);
  for (;;) {
    Job* job = oldest(Slot::kQueued);
    if (!job) {
      pthread_cond_wait(&g_work, &g_mutex);
      continue;
    }
    job->slot = Slot::kRunning;
    Job copy = *job;
    pthread_mutex_unlock(&g_mutex);
    run(copy);
    pthread_mutex_lock(&g_mutex);
    copy.answered = job->answered;
    *job = copy;
    job->slot = copy.answered ? Slot::kFree : Slot::kDone;
    tasks_wakeup();
  }
  return nullptr;
}

// Queues work; its sequence number, or 0 when the queue is full (the worker
// is stuck on a node that hangs, or is missing).
uint64_t queue(Work work, const FlutterPlatformMessageResponseHandle* handle, int a, int b,
               bool event) {
  if (!g_started) return 0;
  uint64_t deadline = engine_api().GetCurrentTime() + kAnswerWithinNs;
  pthread_mutex_lock(&g_mutex);
  uint64_t seq = 0;
  for (Job& j : g_jobs) {
    if (j.slot != Slot::kFree) continue;
    j = Job{};
    j.slot = Slot::kQueued;
    j.work = work;
    j.seq = seq = ++g_seq;
    j.handle = handle;
    j.deadline = deadline;
    j.event = event;
    j.a = a;
    j.b = b;
    pthread_cond_signal(&g_work);
    break;
  }
  pthread_mutex_unlock(&g_mutex);
  return seq;
}

void respond(const FlutterPlatformMessageResponseHandle* handle, const codec_writer& w) {
  if (handle) engine_api().SendPlatformMessageResponse(g_engine, handle, w.buffer, w.used);
}

void write_level(codec_writer& w, const char* key, int value) {
  write_string(w, key);
  if (value < 0)
    write_null(w);
  else
    write_int(w, value);
}

void write_bool_entry(codec_writer& w, const char* key, bool value) {
  write_string(w, key);
  write_bool(w, value);
}

void write_battery(codec_writer& w, const BatteryReading& b) {
  write_map_header(w, 3);
  write_level(w, "level", b.level);
  write_bool_entry(w, "charging", b.charging);
  write_string(w, "state");
  write_string(w, b.state);
}

bool same(const BatteryReading& a, const BatteryReading& b) {
  return a.level == b.level && a.charging == b.charging && strcmp(a.state, b.state) == 0;
}

// To the listeners, when it differs from what they were told last.
void tell_listeners(const BatteryReading& b) {
  if (!g_listening || (g_told && same(b, g_last_told))) return;
  g_told = true;
  g_last_told = b;
  codec_writer w;
  write_success_envelope(w);
  write_battery(w, b);
  FlutterPlatformMessage message{};
  message.struct_size = sizeof(FlutterPlatformMessage);
  message.channel = kBatteryChannel;
  message.message = w.buffer;
  message.message_size = w.used;
  engine_api().SendPlatformMessage(g_engine, &message);
}

const char* work_name(Work work) {
  switch (work) {
    case Work::kBattery:
      return "battery";
    case Work::kFrontlight:
      return "frontlight";
    case Work::kSetFrontlight:
      return "setFrontlight";
    case Work::kKeepAwake:
      return "keepAwake";
    case Work::kCapabilities:
      return "capabilities";
    case Work::kSetBattery:
      return "battery";
  }
  return "";
}

// The reply of a finished job; a job not done in time has its result fields
// still at "unknown", false and none.
void answer(const Job& job) {
  if (job.event) tell_listeners(job.battery);
  codec_writer w;
  write_success_envelope(w);
  switch (job.work) {
    case Work::kBattery:
    case Work::kSetBattery:
      write_battery(w, job.battery);
      break;
    case Work::kFrontlight:
      write_map_header(w, 2);
      write_level(w, "brightness", job.light.brightness);
      write_level(w, "warmth", job.light.warmth);
      break;
    case Work::kSetFrontlight:
    case Work::kKeepAwake:
      write_bool(w, job.ok);
      break;
    case Work::kCapabilities:
      write_map_header(w, 4);
      write_bool_entry(w, "battery", job.caps.battery);
      write_bool_entry(w, "frontlight", job.caps.frontlight);
      write_bool_entry(w, "warmth", job.caps.warmth);
      write_bool_entry(w, "keepAwake", job.caps.keep_awake);
      break;
  }
  respond(job.handle, w);
}

// Replies to finished jobs, and to those past their time limit (or all
// waiting ones when `all`) as unknown.
void answer_due(bool all) {
  uint64_t now = engine_api().GetCurrentTime();
  Job ready[kMaxJobs];
  int n = 0;
  pthread_mutex_lock(&g_mutex);
  for (Job& j : g_jobs) {
    if (j.slot == Slot::kDone) {
      ready[n++] = j;
      j.slot = Slot::kFree;
    } else if ((j.slot == Slot::kQueued || j.slot == Slot::kRunning) && j.handle && !j.answered &&
               (all || now >= j.deadline)) {
      Job late{};
      late.work = j.work;
      late.handle = j.handle;
      late.seq = 0;  // marks a reply past its time
      ready[n++] = late;
      j.answered = true;
      if (j.slot == Slot::kQueued) j.slot = Slot::kFree;
    }
  }
  pthread_mutex_unlock(&g_mutex);
  for (int i = 0; i < n; i++) {
    if (ready[i].seq == 0)
      log_error("设备服务：%s 超过 %llu 毫秒没读到，答复未知\n", work_name(ready[i].work),
                (unsigned long long)(kAnswerWithinNs / kNsPerMs));
    answer(ready[i]);
  }
}

void reply_empty(const FlutterPlatformMessage* message) {
  if (message->response_handle)
    engine_api().SendPlatformMessageResponse(g_engine, message->response_handle, nullptr, 0);
}

void reply_null(const FlutterPlatformMessage* message) {
  codec_writer w;
  write_success_envelope(w);
  write_null(w);
  respond(message->response_handle, w);
}

void reply_error(const FlutterPlatformMessage* message, const char* method, const char* why) {
  log_error("设备服务：%s 的参数不对：%s\n", method, why);
  codec_writer w;
  write_error_envelope(w, kBadArgument, why);
  respond(message->response_handle, w);
}

// A level argument: absent (or null) leaves it at -1; anything but an integer
// in 0..100 is refused.
bool level_arg(const codec_reader& args, const char* key, int* out) {
  codec_reader at;
  int type = find_map_key(args, key, &at);
  *out = -1;
  if (type < 0 || type == kCodecNull) return true;
  if (type != kCodecInt32 && type != kCodecInt64) return false;
  int64_t v = reader_int_body(at, type);
  if (!at.valid || v < 0 || v > 100) return false;
  *out = (int)v;
  return true;
}

// Hands the call to the worker; a full queue answers at once as unknown.
void queue_call(const FlutterPlatformMessage* message, Work work, int a = 0, int b = 0) {
  if (queue(work, message->response_handle, a, b, false)) return;
  Job late{};
  late.work = work;
  late.handle = message->response_handle;
  answer(late);
}

void on_method(const FlutterPlatformMessage* message, const char* method,
               const codec_reader& args) {
  auto is = [method](const char* name) { return strcmp(method, name) == 0; };
  if (is("battery")) {
    queue_call(message, Work::kBattery);
  } else if (is("frontlight")) {
    queue_call(message, Work::kFrontlight);
  } else if (is("capabilities")) {
    queue_call(message, Work::kCapabilities);
  } else if (is("setFrontlight")) {
    int brightness = -1, warmth = -1;
    if (!level_arg(args, "brightness", &brightness))
      reply_error(message, method, "brightness: an integer 0..100");
    else if (!level_arg(args, "warmth", &warmth))
      reply_error(message, method, "warmth: an integer 0..100");
    else if (brightness < 0 && warmth < 0)
      reply_error(message, method, "brightness or warmth is needed");
    else
      queue_call(message, Work::kSetFrontlight, brightness, warmth);
  } else if (is("keepAwake")) {
    codec_reader at;
    int type = find_map_key(args, "enabled", &at);
    if (type != kCodecTrue && type != kCodecFalse) {
      reply_error(message, method, "enabled: true or false");
      return;
    }
    bool on = type == kCodecTrue;
    // Once asked for, the lock is given back at exit whatever came of it.
    g_awake = g_awake || on;
    queue_call(message, Work::kKeepAwake, on);
  } else {
    reply_empty(message);
  }
}

void on_stream(const FlutterPlatformMessage* message, const char* method) {
  if (strcmp(method, "listen") == 0) {
    g_listening = true;
    g_told = false;
    g_poll_at = engine_api().GetCurrentTime() + kPollNs;
    reply_null(message);
    device_on_battery_event();
  } else if (strcmp(method, "cancel") == 0) {
    g_listening = false;
    g_poll_at = 0;
    // Reads queued for the listeners are not wanted any more.
    pthread_mutex_lock(&g_mutex);
    for (Job& j : g_jobs)
      if (j.slot == Slot::kQueued && j.event && !j.handle) j.slot = Slot::kFree;
    pthread_mutex_unlock(&g_mutex);
    reply_null(message);
  } else {
    reply_empty(message);
  }
}

bool event_queued() {
  bool found = false;
  pthread_mutex_lock(&g_mutex);
  for (const Job& j : g_jobs) found = found || (j.slot == Slot::kQueued && j.event);
  pthread_mutex_unlock(&g_mutex);
  return found;
}

}  // namespace

void device_open(FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  g_engine = engine;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, worker, nullptr) != 0) {
    log_error("设备服务：工作线程起不来，电池和前光都答未知\n");
    return;
  }
  // It may be stuck on a node that hangs when we exit; nobody waits for it.
  pthread_detach(thread);
  g_started = true;
}

bool device_handle(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                   const FlutterPlatformMessage* message) {
  bool methods = message->channel && strcmp(message->channel, kChannel) == 0;
  bool stream = message->channel && strcmp(message->channel, kBatteryChannel) == 0;
  if (!methods && !stream) return false;
  g_engine = engine;
  char method[64];
  uint32_t length = 0;
  codec_reader r;
  bool is_call = false;
  if (message->message_size <= UINT32_MAX) {
    reader_init(r, message->message, (uint32_t)message->message_size);
    is_call = read_method_call(r, method, sizeof method, &length) == 1 && length == strlen(method);
  }
  if (!is_call)
    reply_empty(message);
  else if (methods)
    on_method(message, method, r);
  else
    on_stream(message, method);
  return true;
}

void device_on_battery_event() {
  if (!g_listening || event_queued()) return;
  queue(Work::kBattery, nullptr, 0, 0, true);
}

void device_set_battery(int level, bool charging) {
  queue(Work::kSetBattery, nullptr, level, charging, true);
}

int device_next_timeout_ms() {
  uint64_t now = engine_api().GetCurrentTime();
  uint64_t first = g_listening ? g_poll_at : 0;
  pthread_mutex_lock(&g_mutex);
  for (const Job& j : g_jobs)
    if ((j.slot == Slot::kQueued || j.slot == Slot::kRunning) && j.handle && !j.answered &&
        (!first || j.deadline < first))
      first = j.deadline;
  pthread_mutex_unlock(&g_mutex);
  if (!first) return -1;
  if (now >= first) return 0;
  return (int)((first - now) / kNsPerMs + 1);
}

void device_run_due() {
  if (!g_started) return;
  answer_due(false);
  if (g_listening && g_poll_at && engine_api().GetCurrentTime() >= g_poll_at) {
    g_poll_at = engine_api().GetCurrentTime() + kPollNs;
    if (g_polled) device_on_battery_event();
  }
}

void device_close() {
  if (!g_started) return;
  g_listening = false;
  if (g_awake) {
    uint64_t seq = queue(Work::kKeepAwake, nullptr, 0, 0, false);
    bool done = false, released = false;
    for (int waited = 0; seq && !done && waited < kReleaseWaitMs; waited += 5) {
      struct timespec step = {0, 5 * 1000 * 1000};
      nanosleep(&step, nullptr);
      pthread_mutex_lock(&g_mutex);
      for (const Job& j : g_jobs) {
        if (j.seq != seq || j.slot != Slot::kDone) continue;
        done = true;
        released = j.ok;
      }
      pthread_mutex_unlock(&g_mutex);
    }
    if (released)
      log_info("设备服务：屏保交还给系统（preventScreenSaver 0）\n");
    else if (!done)
      log_error("设备服务：交还屏保超时，留给启动脚本\n");
  }
  answer_due(true);
}

void device_check() { sources_open(); }
