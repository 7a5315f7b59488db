#include "control.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device.h"
#include "display.h"
#include "engine.h"
#include "input.h"
#include "log.h"
#include "orientation.h"
#include "settings.h"

namespace {

enum StepKind : int32_t {
  kStepPointer = 0,
  kStepKeyDown = 1,
  kStepKeyUp = 2,
  kStepSleep = 3,
  kStepWake = 4,
  kStepRefresh = 5,
  kStepNight = 6,
  kStepDither = 7,
  kStepMotion = 8,
  kStepFlash = 9,
  kStepBattery = 10,
  kStepRotate = 11,
};

struct control_step {
  uint64_t due;
  int32_t kind;
  int32_t phase;
  double x;
  double y;
};

constexpr uint64_t kMs = 1000000ull;
constexpr uint64_t kGapMs = 50;
constexpr uint64_t kTapMs = 60;
constexpr unsigned kMoveMs = 16;
constexpr unsigned kLongPressMs = 800;
constexpr unsigned kSwipeMs = 300;
constexpr unsigned kKeyHoldMs = 80;
// A minute is far beyond any real gesture; a longer one is a typing slip
// that would otherwise queue thousands of move steps.
constexpr unsigned long long kMaxDurationMs = 60000;
// Steps waiting at once; a writer flooding the pipe is told no instead of
// growing memory without bound.  A full queue is reported when it first
// refuses a line, and the count of refused lines once half of it has run, so
// that a steady flood is told about once, not once per freed step.
constexpr int kMaxPending = 100000;
constexpr int kRoomAgain = kMaxPending / 2;
// Reads of the FIFO per loop pass: one pipe page, which holds any burst a
// writer can make in one atomic write.  A writer that keeps the pipe full
// must not keep the loop from frames, touches and signals.
constexpr int kReadsPerPass = 16;

ControlPowerHandler g_power_handler;
int g_fd = -1;
int g_keepalive_fd = -1;
char g_line[256];
int g_line_len;
control_step* g_steps;
int g_count;
int g_capacity;
int g_next;
uint64_t g_queue_end;
// Lines refused since the queue last ran full; 0 when it is not full.
long g_refused;
// The FIFO this process made, so that the close removes that one and nothing
// else that may have taken its place.
char g_fifo_path[PATH_MAX];
dev_t g_fifo_dev;
ino_t g_fifo_ino;

void append(uint64_t due, int kind, int phase, double x, double y) {
  if (g_count == g_capacity) {
    int capacity = g_capacity == 0 ? 64 : g_capacity * 2;
    void* grown = realloc(g_steps, (size_t)capacity * sizeof(control_step));
    if (!grown) abort();
    g_steps = static_cast<control_step*>(grown);
    g_capacity = capacity;
  }
  g_steps[g_count++] = control_step{due, kind, phase, x, y};
  if (due > g_queue_end) g_queue_end = due;
}

uint64_t start_time() {
  uint64_t now = engine_api().GetCurrentTime();
  return now < g_queue_end ? g_queue_end + kGapMs * kMs : now;
}

void enqueue_swipe(unsigned d, bool hold, double x0, double y0, double x1, double y1) {
  uint64_t s = start_time();
  append(s, kStepPointer, kDown, x0, y0);
  unsigned n = d / kMoveMs;
  for (unsigned i = 1; i <= n; i++) {
    double x = hold ? x0 : x0 + (x1 - x0) * i / n;
    double y = hold ? y0 : y0 + (y1 - y0) * i / n;
    append(s + (uint64_t)kMoveMs * i * kMs, kStepPointer, kMove, x, y);
  }
  append(s + (uint64_t)d * kMs, kStepPointer, kUp, x1, y1);
}

bool finite(double a, double b) { return isfinite(a) && isfinite(b); }

// The panel's switches a script or the preview window turns between page
// turns, each with the word that turns it on; "off" turns any of them off.
struct Switch {
  const char* name;
  const char* on;
  int kind;
};
constexpr Switch kSwitches[] = {
    {"night", "on", kStepNight}, {"dither", "on", kStepDither}, {"motion", "auto", kStepMotion}};

// A flash count as the application's setFlashPolicy takes it: 0 or less is
// never.
double flash_count(long long n) { return n < 0 ? 0 : n > INT_MAX ? INT_MAX : (double)n; }

enum Verdict { kQueued, kUnreadable, kTooLong, kFull };

// True when `steps` more fit; otherwise the line is counted as refused and
// the first refusal of a full episode is reported.
bool room_for(unsigned long long steps, const char* line) {
  if (g_count - g_next + steps <= (unsigned long long)kMaxPending) return true;
  if (g_refused++ == 0) log_error("控制命令队列已满，不再接受命令，直到空出一半: %s\n", line);
  return false;
}

void note_room() {
  if (g_refused == 0 || g_count - g_next > kRoomAgain) return;
  log_info("控制命令队列空出，满时拒绝了 %ld 行\n", g_refused);
  g_refused = 0;
}

// The steps of one line are queued only when the line is understood and they
// all fit, so a line never runs in part.
Verdict interpret(const char* line) {
  double x0, y0, x1, y1;
  unsigned long long d = 0;
  if (sscanf(line, "tap %lf %lf", &x0, &y0) == 2) {
    if (!finite(x0, y0)) return kUnreadable;
    if (!room_for(2, line)) return kFull;
    uint64_t s = start_time();
    append(s, kStepPointer, kDown, x0, y0);
    append(s + kTapMs * kMs, kStepPointer, kUp, x0, y0);
    return kQueued;
  }
  if (sscanf(line, "longpress %lf %lf %llu", &x0, &y0, &d) >= 2) {
    if (!finite(x0, y0)) return kUnreadable;
    if (d > kMaxDurationMs) return kTooLong;
    unsigned ms = d == 0 ? kLongPressMs : (unsigned)d;
    if (!room_for(ms / kMoveMs + 2, line)) return kFull;
    enqueue_swipe(ms, true, x0, y0, x0, y0);
    return kQueued;
  }
  if (sscanf(line, "swipe %lf %lf %lf %lf %llu", &x0, &y0, &x1, &y1, &d) >= 4) {
    if (!finite(x0, y0) || !finite(x1, y1)) return kUnreadable;
    if (d > kMaxDurationMs) return kTooLong;
    unsigned ms = d == 0 ? kSwipeMs : (unsigned)d;
    if (!room_for(ms / kMoveMs + 2, line)) return kFull;
    enqueue_swipe(ms, false, x0, y0, x1, y1);
    return kQueued;
  }
  if (strncmp(line, "key ", 4) == 0) {
    char word[8] = "";
    if (sscanf(line, "key %7s %llu", word, &d) < 1) return kUnreadable;
    bool next = strcmp(word, "next") == 0;
    if (!next && strcmp(word, "prev") != 0) return kUnreadable;
    if (d > kMaxDurationMs) return kTooLong;
    if (!room_for(2, line)) return kFull;
    uint64_t hold = d == 0 ? kKeyHoldMs : d;
    uint64_t s = start_time();
    append(s, kStepKeyDown, 0, next ? 1.0 : 0.0, 0);
    append(s + hold * kMs, kStepKeyUp, 0, next ? 1.0 : 0.0, 0);
    return kQueued;
  }
  for (const Switch& sw : kSwitches) {
    size_t len = strlen(sw.name);
    if (strncmp(line, sw.name, len) != 0 || line[len] != ' ') continue;
    char word[8] = "";
    if (sscanf(line + len, "%7s", word) < 1) return kUnreadable;
    bool on = strcmp(word, sw.on) == 0;
    if (!on && strcmp(word, "off") != 0) return kUnreadable;
    if (!room_for(1, line)) return kFull;
    append(start_time(), sw.kind, 0, on ? 1.0 : 0.0, 0);
    return kQueued;
  }
  if (strncmp(line, "flash ", 6) == 0) {
    // The count in night mode is the day's unless it is given, as with
    // FOLIAN_FULL_EVERY_NIGHT.
    long long day = 0, night = 0;
    int got = sscanf(line, "flash %lld %lld", &day, &night);
    if (got < 1) return kUnreadable;
    if (!room_for(1, line)) return kFull;
    append(start_time(), kStepFlash, 0, flash_count(day), flash_count(got == 2 ? night : day));
    return kQueued;
  }
  if (strncmp(line, "rotate ", 7) == 0) {
    long long degrees = -1;
    char rest[2];
    if (sscanf(line, "rotate %lld%1s", &degrees, rest) != 1) return kUnreadable;
    if (degrees != 0 && degrees != 90 && degrees != 180 && degrees != 270) return kUnreadable;
    if (!room_for(1, line)) return kFull;
    append(start_time(), kStepRotate, 0, (double)degrees, 0);
    return kQueued;
  }
  if (strncmp(line, "battery ", 8) == 0) {
    // battery LEVEL [charging]: the level 0..100, unplugged unless told.
    int level = -1;
    char word[16] = "";
    if (sscanf(line, "battery %d %15s", &level, word) < 1 || level < 0 || level > 100)
      return kUnreadable;
    if (word[0] && strcmp(word, "charging") != 0) return kUnreadable;
    if (!room_for(1, line)) return kFull;
    append(start_time(), kStepBattery, 0, level, word[0] ? 1.0 : 0.0);
    return kQueued;
  }
  int kind = strncmp(line, "sleep", 5) == 0     ? kStepSleep
             : strncmp(line, "wake", 4) == 0    ? kStepWake
             : strncmp(line, "refresh", 7) == 0 ? kStepRefresh
                                                : -1;
  if (kind >= 0) {
    if (!room_for(1, line)) return kFull;
    append(start_time(), kind, 0, 0, 0);
    return kQueued;
  }
  return line[0] == '\0' ? kQueued : kUnreadable;
}

void handle_line() {
  g_line[g_line_len] = '\0';
  switch (interpret(g_line)) {
    case kQueued:
      log_info("控制命令: %s\n", g_line);
      break;
    case kUnreadable:
      log_error("控制命令看不懂: %s\n", g_line);
      break;
    case kTooLong:
      log_error("控制命令时长超过 60000 毫秒，不执行: %s\n", g_line);
      break;
    case kFull:  // told once per full episode by room_for
      break;
  }
  g_line_len = 0;
}

void queue_test_taps(const char* value) {
  uint64_t now = engine_api().GetCurrentTime();
  const char* p = value;
  for (;;) {
    double x, y;
    unsigned long long delay;
    if (sscanf(p, "%lf,%lf@%llu", &x, &y, &delay) == 3 && finite(x, y)) {
      if (delay > kMaxDurationMs) {
        const char* end = strchr(p, ';');
        int len = end ? (int)(end - p) : (int)strlen(p);
        log_error("测试点按延迟超过 60000 毫秒，跳过: %.*s\n", len, p);
      } else {
        append(now + delay * kMs, kStepPointer, kDown, x, y);
        append(now + (delay + kTapMs) * kMs, kStepPointer, kUp, x, y);
      }
    }
    const char* semi = strchr(p, ';');
    if (!semi || semi[1] == '\0') break;
    p = semi + 1;
  }
}

void close_fds() {
  if (g_fd >= 0) close(g_fd);
  if (g_keepalive_fd >= 0) close(g_keepalive_fd);
  g_fd = -1;
  g_keepalive_fd = -1;
}

void remove_own_fifo() {
  if (!g_fifo_path[0]) return;
  struct stat st;
  if (lstat(g_fifo_path, &st) == 0 && S_ISFIFO(st.st_mode) && st.st_dev == g_fifo_dev &&
      st.st_ino == g_fifo_ino)
    unlink(g_fifo_path);
  g_fifo_path[0] = '\0';
}

// Whether the FIFO may go at `path`, told in one line when not. Another kind
// of file there is left alone: an `echo` into the path while no program held
// the FIFO makes a plain file, and removing what we did not make could lose
// someone's data.
bool fifo_path_free(const char* path) {
  struct stat st;
  if (lstat(path, &st) == 0 && !S_ISFIFO(st.st_mode)) {
    log_error("建控制管道 %s 失败: %s\n", path, "路径上已有别的文件，不动它");
    return false;
  }
  if (strlen(path) >= sizeof g_fifo_path) {
    log_error("建控制管道 %s 失败: %s\n", path, strerror(ENAMETOOLONG));
    return false;
  }
  return true;
}

void open_fifo(const char* path) {
  if (!fifo_path_free(path)) return;
  unlink(path);  // an old FIFO, or nothing
  struct stat st;
  if (mkfifo(path, 0600) != 0 || lstat(path, &st) != 0) {
    log_error("建控制管道 %s 失败: %s\n", path, strerror(errno));
    return;
  }
  snprintf(g_fifo_path, sizeof g_fifo_path, "%s", path);
  g_fifo_dev = st.st_dev;
  g_fifo_ino = st.st_ino;

  // The read end first: a non-blocking open for writing fails while the FIFO
  // has no reader. The program's own writer keeps the read end from seeing
  // end-of-file whenever an outside writer closes.
  g_fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (g_fd >= 0) g_keepalive_fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (g_fd < 0 || g_keepalive_fd < 0) {
    log_error("打开控制管道 %s 失败: %s\n", path, strerror(errno));
    close_fds();
    remove_own_fifo();
    return;
  }
  log_info("控制管道 %s\n", path);
}

}  // namespace

void control_open(ControlPowerHandler on_power) {
  g_power_handler = on_power;
  const char* taps = setting_text("FOLIAN_TEST_TAPS");
  if (taps) queue_test_taps(taps);
  const char* path = setting_text("FOLIAN_CONTROL");
  if (!path || !path[0]) return;
  open_fifo(path);
}

bool control_check() {
  const char* path = setting_text("FOLIAN_CONTROL");
  if (!path || !path[0]) return true;
  if (!fifo_path_free(path)) return false;
  char dir[PATH_MAX];
  snprintf(dir, sizeof dir, "%s", path);
  if (access(dirname(dir), W_OK | X_OK) != 0) {
    log_error("建控制管道 %s 失败: %s\n", path, strerror(errno));
    return false;
  }
  log_info("控制管道 %s 可以建\n", path);
  return true;
}

int control_fd() { return g_fd; }

void control_read() {
  if (g_fd < 0) return;
  for (int reads = 0; reads < kReadsPerPass; reads++) {
    char buf[256];
    ssize_t n = read(g_fd, buf, sizeof buf);
    if (n == 0 && g_keepalive_fd < 0) {
      // Without a writer of its own the FIFO reports hang-up for as long as
      // nobody writes; polling it further would spin.
      log_error("控制管道 %s 没有写入端了，不再读取\n", g_fifo_path);
      close_fds();
      return;
    }
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; i++) {
      if (buf[i] == '\n') {
        handle_line();
      } else if (g_line_len + 1 <= 255) {
        g_line[g_line_len++] = buf[i];
      }
    }
  }
}

int control_next_timeout_ms() {
  if (g_next >= g_count) return -1;
  uint64_t due = g_steps[g_next].due;
  uint64_t now = engine_api().GetCurrentTime();
  if (now >= due) return 0;
  uint64_t ms = (due - now) / kMs + 1;
  return ms > (uint64_t)INT_MAX ? INT_MAX : (int)ms;
}

void control_run_due(FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  uint64_t now = engine_api().GetCurrentTime();
  while (g_next < g_count) {
    const control_step step = g_steps[g_next];
    if (now < step.due) break;
    g_next++;
    switch (step.kind) {
      case kStepPointer:
        input_synthetic_pointer(engine, (FlutterPointerPhase)step.phase, step.x, step.y);
        break;
      case kStepKeyDown:
        input_send_page_key(engine, step.x != 0, kKeyPress);
        break;
      case kStepKeyUp:
        input_send_page_key(engine, step.x != 0, kKeyRelease);
        break;
      case kStepSleep:
        if (g_power_handler) g_power_handler(1);
        break;
      case kStepWake:
        if (g_power_handler) g_power_handler(0);
        break;
      case kStepRefresh:
        display_full_refresh();
        break;
      case kStepNight:
        display_set_night(step.x != 0);
        break;
      case kStepDither:
        display_set_dithering(step.x != 0);
        break;
      case kStepMotion:
        display_set_motion(step.x != 0);
        break;
      case kStepFlash:
        display_set_flash_every((int)step.x, (int)step.y);
        break;
      case kStepRotate:
        orientation_set((int)step.x, "控制命令");
        break;
      case kStepBattery:
        device_set_battery((int)step.x, step.y != 0);
        break;
      default:
        break;
    }
  }
  if (g_next >= g_count) {
    g_next = 0;
    g_count = 0;
  } else if (g_next >= 64 && g_next >= g_count / 2) {
    // A queue that never runs empty (a tap every 100 ms) still gives back
    // the room of the steps already run; moving at most half the array each
    // time keeps this cheap.
    memmove(g_steps, g_steps + g_next, (size_t)(g_count - g_next) * sizeof(control_step));
    g_count -= g_next;
    g_next = 0;
  }
  note_room();
}

void control_close() {
  close_fds();
  remove_own_fifo();
  free(g_steps);
  g_steps = nullptr;
  g_next = 0;
  g_count = 0;
  g_capacity = 0;
  g_refused = 0;
}
