// The sources of the reader's services, chosen once at start, in order: the
// power daemon com.lab126.powerd, sysfs, nothing.
//
// The daemon's integer properties used here:
//   battLevel          battery charge, 0..100
//   isCharging         1 while charging, else 0
//   flIntensity        front-light steps, 0..24
//   currentAmberLevel  warmth steps, 0..24; missing where the light has no
//                      warm LEDs
//   preventScreenSaver 1 keeps the idle screensaver away (the power button
//                      still sleeps the reader), 0 gives it back
// They are read and written through the LIPC library when it loads, else
// through the platform's property tools, each run under a time limit.
#include "sources.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "log.h"
#include "power.h"
#include "settings.h"

extern char** environ;

namespace {

const char kPowerd[] = "com.lab126.powerd";
const char kGetPropPath[] = "/usr/bin/lipc-get-prop";
const char kPowerSupplies[] = "/sys/class/power_supply";
const char kBacklights[] = "/sys/class/backlight";
// The daemon's light and warmth scale, the same on every reader with them.
constexpr int kDaemonSteps = 24;
// A property tool that has not answered by then is killed and its property
// counts as unreadable.
constexpr int kToolLimitMs = 1000;

using LipcOpenNoNameFn = void* (*)();
using LipcGetIntPropertyFn = int (*)(void* lipc, const char* service, const char* property,
                                     int* value);
using LipcSetIntPropertyFn = int (*)(void* lipc, const char* service, const char* property,
                                     int value);

enum class Daemon { kNone, kLibrary, kTools };
enum class Source { kNone, kDaemon, kSysfs };

// One light: where it is read and written and how its steps map on 0..100.
// The last value set is remembered with the step it became, so that reading
// back what was set gives the same number although several numbers share a
// step.
struct Light {
  Source source = Source::kNone;
  const char* property;
  char dir[256] = "";
  int max = 0;
  int set_percent = -1;
  int set_native = -1;
};

Daemon g_daemon = Daemon::kNone;
void* g_lipc = nullptr;
LipcGetIntPropertyFn g_get = nullptr;
LipcSetIntPropertyFn g_set = nullptr;
Source g_battery = Source::kNone;
char g_battery_dir[256] = "";
Light g_light{Source::kNone, "flIntensity"};
Light g_warmth{Source::kNone, "currentAmberLevel"};
Source g_keep_awake = Source::kNone;

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Runs a property tool with standard output into `out`; its exit status, or
// -1 when it did not start or outlived the time limit (it is killed then).
int run_tool(const char* path, const char* const* argv, char* out, size_t size) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, p[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // A property the reader lacks makes the tool complain; the probe asks
  // for such properties on purpose.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, pipe_signal;
  sigemptyset(&none);
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &pipe_signal);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, path, &actions, &attr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(p[1]);
  if (rc != 0) {
    close(p[0]);
    return -1;
  }
  long long deadline = now_ms() + kToolLimitMs;
  size_t used = 0;
  for (;;) {
    long long left = deadline - now_ms();
    if (left <= 0) break;
    struct pollfd pfd = {p[0], POLLIN, 0};
    if (poll(&pfd, 1, (int)left) < 0 && errno != EINTR) break;
    char chunk[64];
    ssize_t n = read(p[0], chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    size_t take = (size_t)n < size - 1 - used ? (size_t)n : size - 1 - used;
    memcpy(out + used, chunk, take);
    used += take;
  }
  close(p[0]);
  out[used] = '\0';
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return -1;
    if (now_ms() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return -1;
    }
    struct timespec step = {0, 2 * 1000 * 1000};
    nanosleep(&step, nullptr);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A whole decimal number, blanks and a newline around it allowed.
bool parse_value(const char* text, int* out) {
  char buf[32];
  size_t n = 0;
  while (*text == ' ' || *text == '\t' || *text == '\n') text++;
  while (text[n] && text[n] != '\n' && text[n] != ' ' && n + 1 < sizeof buf) {
    buf[n] = text[n];
    n++;
  }
  buf[n] = '\0';
  long long v = 0;
  if (!parse_whole_int(buf, -1000000, 1000000, &v)) return false;
  *out = (int)v;
  return true;
}

bool daemon_get(const char* property, int* value) {
  if (g_daemon == Daemon::kLibrary) return g_get(g_lipc, kPowerd, property, value) == 0;
  if (g_daemon != Daemon::kTools) return false;
  const char* argv[] = {"lipc-get-prop", "-i", kPowerd, property, nullptr};
  char out[64];
  return run_tool(kGetPropPath, argv, out, sizeof out) == 0 && parse_value(out, value);
}

bool daemon_set(const char* property, int value) {
  if (g_daemon == Daemon::kLibrary) return g_set(g_lipc, kPowerd, property, value) == 0;
  if (g_daemon != Daemon::kTools) return false;
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  const char* argv[] = {"lipc-set-prop", "-i", kPowerd, property, text, nullptr};
  char out[64];
  return run_tool(kSetPropPath, argv, out, sizeof out) == 0;
}

bool read_text(const char* dir, const char* name, char* out, size_t size) {
  char path[320];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n;
  do {
    n = read(fd, out, size - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n < 0) return false;
  out[n] = '\0';
  return true;
}

bool read_value(const char* dir, const char* name, int* value) {
  char text[32];
  return read_text(dir, name, text, sizeof text) && parse_value(text, value);
}

bool write_text(const char* dir, const char* name, const char* text) {
  char path[320];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  size_t n = strlen(text);
  bool ok = write(fd, text, n) == (ssize_t)n;
  return close(fd) == 0 && ok;
}

bool write_value(const char* dir, const char* name, int value) {
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  return write_text(dir, name, text);
}

// The first entry of a sysfs class directory, in name order, that `fits`.
bool find_in_class(const char* class_dir, bool (*fits)(const char* dir, const char* name),
                   char* out, size_t size) {
  DIR* d = opendir(class_dir);
  if (!d) return false;
  char best[256] = "";
  // The 64-bit walk: a 32-bit program's plain readdir gives up on a file
  // system whose entry offsets do not fit 32 bits.
  while (struct dirent64* e = readdir64(d)) {
    if (e->d_name[0] == '.') continue;
    char dir[320];
    snprintf(dir, sizeof dir, "%s/%s", class_dir, e->d_name);
    if (fits(dir, e->d_name) && (!best[0] || strcmp(e->d_name, best) < 0))
      snprintf(best, sizeof best, "%s", e->d_name);
  }
  closedir(d);
  if (!best[0]) return false;
  snprintf(out, size, "%s/%s", class_dir, best);
  return true;
}

bool is_battery(const char* dir, const char*) {
  char type[32];
  return read_text(dir, "type", type, sizeof type) && strncmp(type, "Battery", 7) == 0;
}

bool is_warm_name(const char* name) { return strstr(name, "warm") || strstr(name, "amber"); }
bool is_white_light(const char*, const char* name) { return !is_warm_name(name); }
bool is_warm_light(const char*, const char* name) { return is_warm_name(name); }

// The directory a variable names, else the class's first fitting entry.
bool sysfs_dir(const char* variable, const char* class_dir,
               bool (*fits)(const char* dir, const char* name), char* out, size_t size) {
  const char* named = setting_text(variable);
  if (named && named[0]) {
    snprintf(out, size, "%s", named);
    return true;
  }
  return find_in_class(class_dir, fits, out, size);
}

const char* daemon_name() {
  return g_daemon == Daemon::kLibrary ? "电源守护进程（liblipc）" : "电源守护进程（lipc-get-prop）";
}

void choose_light(Light& light, const char* what, const char* variable,
                  bool (*fits)(const char*, const char*)) {
  int v = 0;
  if (daemon_get(light.property, &v)) {
    light.source = Source::kDaemon;
    light.max = kDaemonSteps;
    log_info("设备服务：%s ← %s %s\n", what, daemon_name(), light.property);
    return;
  }
  if (sysfs_dir(variable, kBacklights, fits, light.dir, sizeof light.dir)) {
    if (read_value(light.dir, "max_brightness", &light.max) && light.max > 0 &&
        read_value(light.dir, "brightness", &v)) {
      light.source = Source::kSysfs;
      log_info("设备服务：%s ← %s（0..%d）\n", what, light.dir, light.max);
      return;
    }
    log_error("设备服务：%s 读不到 brightness 和 max_brightness，不用它\n", light.dir);
  }
  log_info("设备服务：没有%s\n", what);
}

void open_daemon() {
  void* lib = dlopen("liblipc.so.1", RTLD_NOW);
  if (!lib) lib = dlopen("liblipc.so", RTLD_NOW);
  if (lib) {
    auto open = reinterpret_cast<LipcOpenNoNameFn>(dlsym(lib, "LipcOpenNoName"));
    g_get = reinterpret_cast<LipcGetIntPropertyFn>(dlsym(lib, "LipcGetIntProperty"));
    g_set = reinterpret_cast<LipcSetIntPropertyFn>(dlsym(lib, "LipcSetIntProperty"));
    // Our handle is never closed: the library lives as long as the process.
    if (open && g_get && g_set) g_lipc = open();
    if (g_lipc) {
      g_daemon = Daemon::kLibrary;
      return;
    }
  }
  if (access(kGetPropPath, X_OK) == 0 && access(kSetPropPath, X_OK) == 0) g_daemon = Daemon::kTools;
}

Light& light_of(bool warm) { return warm ? g_warmth : g_light; }

int read_light(Light& light) {
  int native = 0;
  bool ok = light.source == Source::kDaemon  ? daemon_get(light.property, &native)
            : light.source == Source::kSysfs ? read_value(light.dir, "brightness", &native)
                                             : false;
  if (!ok) return -1;
  if (native == light.set_native) return light.set_percent;
  return percent_from_native(native, light.max);
}

bool write_light(Light& light, int percent) {
  int native = native_from_percent(percent, light.max);
  bool ok = light.source == Source::kDaemon ? daemon_set(light.property, native)
                                            : write_value(light.dir, "brightness", native);
  if (!ok) {
    log_error("设备服务：%s 设为 %d 失败\n",
              light.source == Source::kDaemon ? light.property : light.dir, native);
    return false;
  }
  light.set_native = native;
  light.set_percent = percent;
  return true;
}

}  // namespace

int percent_from_native(int native, int max) {
  if (max <= 0) return -1;
  if (native < 0) native = 0;
  if (native > max) native = max;
  return (native * 100 + max / 2) / max;
}

int native_from_percent(int percent, int max) {
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  return (percent * max + 50) / 100;
}

BatteryReading battery_from_sysfs(int capacity, const char* status) {
  int level = capacity < 0 ? -1 : capacity > 100 ? 100 : capacity;
  size_t n = strcspn(status, "\n");
  auto is = [&](const char* word) {
    return n == strlen(word) && strncasecmp(status, word, n) == 0;
  };
  if (is("Charging")) return {level, true, "charging"};
  if (is("Full")) return {level, false, "full"};
  // "Not charging": plugged in, but the charger holds off (a warm or nearly
  // full battery); it drains as if unplugged.
  if (is("Discharging") || is("Not charging")) return {level, false, "discharging"};
  return {level, false, "unknown"};
}

BatteryReading battery_from_daemon(int level, int is_charging) {
  int l = level < 0 || level > 100 ? -1 : level;
  if (is_charging == 1) return {l, true, "charging"};
  if (is_charging == 0 && l >= 0) return {l, false, "discharging"};
  return {l, false, "unknown"};
}

void sources_open() {
  open_daemon();
  if (g_daemon == Daemon::kNone)
    log_info("设备服务：没有电源守护进程（没有 liblipc，也没有 lipc-get-prop）\n");
  int v = 0;
  if (daemon_get("battLevel", &v)) {
    g_battery = Source::kDaemon;
    log_info("设备服务：电池 ← %s battLevel\n", daemon_name());
  } else if (sysfs_dir("FOLIAN_BATTERY", kPowerSupplies, is_battery, g_battery_dir,
                       sizeof g_battery_dir)) {
    g_battery = Source::kSysfs;
    log_info("设备服务：电池 ← %s\n", g_battery_dir);
  } else {
    log_info("设备服务：没有电池\n");
  }
  choose_light(g_light, "前光", "FOLIAN_FRONTLIGHT", is_white_light);
  choose_light(g_warmth, "色温", "FOLIAN_WARMTH", is_warm_light);
  if (daemon_get("preventScreenSaver", &v)) {
    g_keep_awake = Source::kDaemon;
    log_info("设备服务：保持唤醒 ← %s preventScreenSaver\n", daemon_name());
  } else {
    log_info("设备服务：没有保持唤醒\n");
  }
}

DeviceCapabilities sources_capabilities() {
  return {g_battery != Source::kNone, g_light.source != Source::kNone,
          g_warmth.source != Source::kNone, g_keep_awake != Source::kNone};
}

bool sources_battery_polled() { return g_battery == Source::kSysfs; }

BatteryReading sources_battery() {
  if (g_battery == Source::kDaemon) {
    int level = -1, charging = -1;
    if (!daemon_get("battLevel", &level)) level = -1;
    if (!daemon_get("isCharging", &charging)) charging = -1;
    return battery_from_daemon(level, charging);
  }
  if (g_battery == Source::kSysfs) {
    int capacity = -1;
    char status[32] = "";
    if (!read_value(g_battery_dir, "capacity", &capacity)) capacity = -1;
    if (!read_text(g_battery_dir, "status", status, sizeof status)) status[0] = '\0';
    return battery_from_sysfs(capacity, status);
  }
  return {-1, false, "unknown"};
}

LightReading sources_frontlight() { return {read_light(g_light), read_light(g_warmth)}; }

bool sources_set_frontlight(int brightness, int warmth) {
  if ((brightness >= 0 && g_light.source == Source::kNone) ||
      (warmth >= 0 && g_warmth.source == Source::kNone))
    return false;
  bool ok = true;
  if (brightness >= 0) ok = write_light(light_of(false), brightness) && ok;
  if (warmth >= 0) ok = write_light(light_of(true), warmth) && ok;
  return ok;
}

bool sources_keep_awake(bool on) {
  if (g_keep_awake == Source::kNone) return false;
  if (daemon_set("preventScreenSaver", on ? 1 : 0)) return true;
  log_error("设备服务：preventScreenSaver 设为 %d 失败\n", on ? 1 : 0);
  return false;
}

bool sources_set_battery(int level, bool charging) {
  bool ok = false;
  if (g_battery == Source::kDaemon)
    ok = daemon_set("battLevel", level) && daemon_set("isCharging", charging ? 1 : 0);
  else if (g_battery == Source::kSysfs)
    ok = write_value(g_battery_dir, "capacity", level) &&
         write_text(g_battery_dir, "status", charging ? "Charging\n" : "Discharging\n");
  if (!ok) log_error("设备服务：电池写不进（设备上的电池是只读的）\n");
  return ok;
}
