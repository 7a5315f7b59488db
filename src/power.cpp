// The device's power events and its idle timer, both through the platform's
// command-line tools: a long-lived event-wait child whose output we read
// from a non-blocking pipe, and short detached runs of the property-set tool.
#include "power.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "log.h"

const char kWaitEventPath[] = "/usr/bin/lipc-wait-event";
const char kSetPropPath[] = "/usr/bin/lipc-set-prop";

namespace {

char const* const kWaitEventArgv[] = {
    "lipc-wait-event", "-m", "com.lab126.powerd",
    "goingToScreenSaver,outOfScreenSaver,battLevelChanged,charging,notCharging", nullptr};
char const* const kSetPropArgv[] = {"lipc-set-prop",           "-i", "com.lab126.powerd",
                                    "touchScreenSaverTimeout", "1",  nullptr};

const char kGoing[] = "goingToScreenSaver";
const char kOut[] = "outOfScreenSaver";
// The daemon's battery events: a new level (with it as argument), and the
// charger plugged in or out.  A line is matched by its first word.
const char* const kBatteryEvents[] = {"battLevelChanged", "charging", "notCharging"};

// How long a child gets to honour SIGTERM before it is killed outright.
const int kTermGraceMs = 300;
const int kIdleResetSeconds = 30;
const int kMaxRestarts = 3;
const int kRestartWindowSeconds = 60;
// Reads per loop pass: a child that never stops writing must not keep the
// loop from everything else; what is left is read in the next pass.
const int kReadsPerPass = 16;

pid_t g_child = -1;
int g_fd = -1;
char g_line[256];
int g_line_len = 0;
int g_restarts = 0;
time_t g_restart_window_start = 0;

pid_t wait_child(pid_t pid, int options) {
  pid_t r;
  do {
    r = waitpid(pid, nullptr, options);
  } while (r < 0 && errno == EINTR);
  return r;
}

// Ask the child to go, and make sure it is gone and reaped when we return:
// a tool that ignores SIGTERM must not hang the loop or the shutdown.
void stop_child(pid_t pid) {
  kill(pid, SIGTERM);
  for (int waited = 0; waited < kTermGraceMs; waited += 5) {
    pid_t r = wait_child(pid, WNOHANG);
    if (r == pid || r < 0) return;  // reaped, or not ours to reap any more
    struct timespec step = {0, 5 * 1000 * 1000};
    nanosleep(&step, nullptr);
  }
  kill(pid, SIGKILL);
  wait_child(pid, 0);
}

// Between fork and exec only async-signal-safe calls: the engine's threads
// may hold locks the child would never see released.
void close_inherited_fds() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
  struct rlimit rl;
  long max = 1024;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) max = (long)rl.rlim_cur;
  if (max > 65536) max = 65536;
  for (long fd = 3; fd < max; fd++) close((int)fd);
}

// A tool must start as if from a shell: we ignore SIGPIPE and may run with
// signals blocked, and both would be inherited across exec.
void reset_child_signals() {
  signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

void stop_following() {
  if (g_child > 0) {
    stop_child(g_child);
    g_child = -1;
  }
  if (g_fd >= 0) {
    close(g_fd);
    g_fd = -1;
  }
  g_line_len = 0;
}

int end_line() {
  int event = POWER_EVENT_NONE;
  g_line[g_line_len] = '\0';
  if (strncmp(g_line, kGoing, sizeof kGoing - 1) == 0) {
    event = POWER_EVENT_SCREENSAVER_ON;
  } else if (strncmp(g_line, kOut, sizeof kOut - 1) == 0) {
    event = POWER_EVENT_SCREENSAVER_OFF;
  } else {
    size_t word = strcspn(g_line, " ");
    for (const char* name : kBatteryEvents)
      if (word == strlen(name) && strncmp(g_line, name, word) == 0) event = POWER_EVENT_BATTERY;
  }
  if (event != POWER_EVENT_NONE) log_info("电源事件: %s\n", g_line);
  g_line_len = 0;
  return event;
}

int start_tool() {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) {
    log_error("监听电源事件：创建管道失败: %s\n", strerror(errno));
    return -1;
  }
  pid_t pid = fork();
  if (pid < 0) {
    log_error("监听电源事件：fork 失败: %s\n", strerror(errno));
    close(p[0]);
    close(p[1]);
    return -1;
  }
  if (pid == 0) {
    reset_child_signals();
    if (p[1] == STDOUT_FILENO) {
      fcntl(STDOUT_FILENO, F_SETFD, 0);
    } else {
      dup2(p[1], STDOUT_FILENO);
    }
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0 && null != STDIN_FILENO) dup2(null, STDIN_FILENO);
    close_inherited_fds();
    execv(kWaitEventPath, const_cast<char* const*>(kWaitEventArgv));
    _exit(127);
  }
  close(p[1]);
  fcntl(p[0], F_SETFL, fcntl(p[0], F_GETFL) | O_NONBLOCK);
  g_child = pid;
  g_fd = p[0];
  g_line_len = 0;
  log_info("监听电源事件（lipc-wait-event pid %d）\n", (int)pid);
  return g_fd;
}

// A tool that ends is started again, so that the screensaver's comings and
// goings keep arriving; one that keeps ending (a broken installation) is
// given up after a few tries within a minute rather than forked forever.
bool may_restart() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (g_restarts == 0 || now.tv_sec - g_restart_window_start >= kRestartWindowSeconds) {
    g_restart_window_start = now.tv_sec;
    g_restarts = 0;
  }
  return g_restarts++ < kMaxRestarts;
}

}  // namespace

int power_open() {
  if (access(kWaitEventPath, X_OK) != 0) {
    log_info("没有 lipc-wait-event，不监听电源事件\n");
    return -1;
  }
  g_restarts = 0;
  return start_tool();
}

int power_fd() { return g_fd; }

int power_read(PowerEventHandler on_event) {
  int events = 0;
  if (g_fd < 0) return events;
  char buf[256];
  for (int reads = 0; reads < kReadsPerPass; reads++) {
    ssize_t n = read(g_fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      // Anything but an empty pipe will not get better; keep polling it and
      // the loop would spin on it.
      log_error("读取 lipc-wait-event 输出失败: %s\n", strerror(errno));
      n = 0;
    }
    if (n == 0) {
      stop_following();
      if (may_restart()) {
        log_error("lipc-wait-event 退出了，重新启动\n");
        start_tool();
      } else {
        log_error("lipc-wait-event 退出了，不再监听电源事件\n");
      }
      break;
    }
    events += power_parse_output(buf, (size_t)n, on_event);
  }
  return events;
}

int power_parse_output(const char* bytes, size_t n, PowerEventHandler on_event) {
  int events = 0;
  for (size_t i = 0; i < n; i++) {
    char c = bytes[i];
    if (c == '\n') {
      int e = end_line();
      if (e == POWER_EVENT_NONE) continue;
      events++;
      on_event(e);
    } else if (g_line_len + 1 <= (int)sizeof g_line - 1) {
      g_line[g_line_len++] = c;
    }
  }
  return events;
}

void power_close() { stop_following(); }

void power_reset_idle_timer() {
  if (access(kSetPropPath, X_OK) != 0) return;
  pid_t first = fork();
  if (first < 0) {
    log_error("重置空闲计时：fork 失败: %s\n", strerror(errno));
    return;
  }
  if (first == 0) {
    // The middle child exits at once, so the tool is adopted by init and we
    // never have to wait for it.
    pid_t second = fork();
    if (second != 0) _exit(0);
    reset_child_signals();
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    close_inherited_fds();
    execv(kSetPropPath, const_cast<char* const*>(kSetPropArgv));
    _exit(0);
  }
  wait_child(first, 0);
}

void power_user_activity() {
  static struct timespec last = {0, 0};
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (last.tv_sec != 0 && now.tv_sec - last.tv_sec < kIdleResetSeconds) return;
  last = now;
  power_reset_idle_timer();
}
