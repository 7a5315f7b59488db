// folian: start-up, the engine launch, the one poll loop, signals and the
// orderly shutdown.  The main thread is the engine's platform thread; every
// module but the display's raster path runs on it.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <type_traits>

#include "bundle.h"
#include "channels.h"
#include "check.h"
#include "compositor.h"
#include "control.h"
#include "device.h"
#include "display.h"
#include "engine.h"
#include "flutter_embedder.h"
#include "folian_version.h"
#include "framebuffer.h"
#include "framework.h"
#include "input.h"
#include "log.h"
#include "orientation.h"
#include "platform.h"
#include "power.h"
#include "settings.h"
#include "tasks.h"

namespace {

// In a section of its own so that scripts/folian-bundle can name a bundle
// after the executable without running it (it is an ARM program).
[[gnu::used, gnu::section(".folian_version")]] const char kVersion[] = FOLIAN_VERSION;

const char kUsage[] =
    "usage: folian [--bundle DIR]\n"
    "       folian --check [--bundle DIR]\n"
    "       folian --version [--bundle DIR] | --help\n";

// The settings a user of the device sets; the ones for tests and the desktop
// are named in one sentence and told in the README.
const char kHelp[] =
    "Runs the Flutter application of a bundle full-screen on the e-ink panel.\n"
    "\n"
    "  --bundle DIR  the bundle: lib/libapp.so, data/icudtl.dat, data/flutter_assets\n"
    "                (default: the directory of this executable)\n"
    "  --check       make every start-up check, one line each, and stop: the engine\n"
    "                loads and has the functions needed, the app is of its release,\n"
    "                architecture and mode, ICU data, assets, the device's nodes,\n"
    "                every FOLIAN_* setting and the control FIFO's path;\n"
    "                exit status 0 when all pass\n"
    "  --version     print the version, the engine releases it works with, and the\n"
    "                releases and snapshots of the bundle's engine and app\n"
    "  --help        print this text\n"
    "\n"
    "Environment:\n"
    "  FOLIAN_ENGINE             the engine library (the bundle's lib/libflutter_engine.so,\n"
    "                            else the one in lib/ beside this executable)\n"
    "  FOLIAN_FAKE_FRAMEWORK     1 or true: take the place of the device's application framework\n"
    "  FOLIAN_FRAMEWORK_STOPPED  1 or true: do not restore the startup screen at exit (the\n"
    "                            device's own interface, started again, repaints it)\n"
    "  FOLIAN_EXIT_TIMEOUT       seconds the shutdown may take before exit status 124 (15)\n"
    "  FOLIAN_FB                 framebuffer device (/dev/fb0)\n"
    "  FOLIAN_EINK               e-ink driver kind: mtk, zelda, rex, classic, none (default: probe)\n"
    "  FOLIAN_DPI                density (default: from the panel)\n"
    "  FOLIAN_PIXEL_RATIO        device pixel ratio (default: DPI / 160, or 2.0)\n"
    "  FOLIAN_PIXELS             auto, gray or bgra: whether the engine draws in the panel's\n"
    "                            own format where it can (auto) or always in BGRA\n"
    "  FOLIAN_FULL_EVERY         every N-th page-like refresh is a full refresh (0: never)\n"
    "  FOLIAN_FULL_EVERY_NIGHT   the same in night mode (default: FOLIAN_FULL_EVERY)\n"
    "  FOLIAN_KEEP_SCREEN        set, even empty or 0: the startup screen is neither kept nor restored\n"
    "  FOLIAN_NIGHT              1 or true: night mode, the panel shows the inverse of the frames\n"
    "  FOLIAN_DITHER             1 or true: frames dithered to the panel's 16 gray levels\n"
    "  FOLIAN_MOTION             off or auto: frames in quick succession refreshed fast (off)\n"
    "  FOLIAN_REDUCE_MOTION      1 or true: the application is asked to disable animations\n"
    "  FOLIAN_HIGH_CONTRAST      1 or true: the application is asked for high contrast\n"
    "  FOLIAN_ROTATE             0, 90, 180 or 270: the picture turned clockwise on the panel (0)\n"
    "  FOLIAN_TOUCH_SWAP_XY      1 or true: touch axes exchanged\n"
    "  FOLIAN_TOUCH_INVERT_X     1 or true: screen x mirrored\n"
    "  FOLIAN_TOUCH_INVERT_Y     1 or true: screen y mirrored\n"
    "  FOLIAN_TOUCH_NO_GRAB      1 or true: touch screens not taken exclusively\n"
    "  FOLIAN_PAGE_KEYS_SWAP     1 or true: exchange the two page buttons\n"
    "  FOLIAN_BATTERY            the battery's directory under /sys/class/power_supply,\n"
    "                            where the power daemon cannot tell (default: found)\n"
    "  FOLIAN_FRONTLIGHT         the front light's directory under /sys/class/backlight (found)\n"
    "  FOLIAN_WARMTH             the warm light's directory under /sys/class/backlight (found)\n"
    "  FOLIAN_CONTROL            path of the control FIFO\n"
    "  FOLIAN_LOG_FRAMES         not 0: one log line per refresh\n"
    "  FOLIAN_LOG_TOUCH          1 or true: log contacts and page buttons\n"
    "\n"
    "For tests and the desktop: FOLIAN_FB_FILE, FOLIAN_FB_SIZE, FOLIAN_FB_DUMP_DIR,\n"
    "FOLIAN_TEST_TAPS and FOLIAN_TEST_EXIT_HANG (see the README).\n";

// The engine's AOT data, collected when it goes out of scope: on every failed
// start and, at exit, after the engine that uses it has shut down.
struct AotDataCollector {
  void operator()(std::remove_pointer_t<FlutterEngineAOTData>* data) const {
    engine_api().CollectAOTData(data);
  }
};
using AotData = std::unique_ptr<std::remove_pointer_t<FlutterEngineAOTData>, AotDataCollector>;

enum class Command { kRun, kCheck, kVersion, kHelp, kUsageError };

// Only --bundle DIR, --check, --version and --help are known; anything else,
// a --bundle without a directory included, is a mistake worth stopping for,
// and `mistake` is the argument to name.
Command parse_arguments(int argc, char** argv, const char** bundle, const char** mistake) {
  bool check = false, version = false, help = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--bundle") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
      if (!*bundle) *bundle = argv[i + 1];  // of two, the first one counts
      i++;
    } else if (strcmp(argv[i], "--check") == 0) {
      check = true;
    } else if (strcmp(argv[i], "--version") == 0) {
      version = true;
    } else if (strcmp(argv[i], "--help") == 0) {
      help = true;
    } else {
      *mistake = argv[i];
      return Command::kUsageError;
    }
  }
  return help      ? Command::kHelp
         : version ? Command::kVersion
         : check   ? Command::kCheck
                   : Command::kRun;
}

FLUTTER_API_SYMBOL(FlutterEngine) g_engine = nullptr;
// Written by the signal handler, read by the loop.
// Set by the signal handler, which the kernel may run on any of the engine's
// threads: a lock-free atomic is both signal-safe and a real cross-thread
// hand-over, where a volatile flag is only the former.
std::atomic<int> g_quit{0};
std::atomic<int> g_repaint{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal flags must be lock-free");
int g_signal_pipe[2] = {-1, -1};

constexpr int kPollSlots = 16;
constexpr int kInputSlots = 12;
constexpr int kDefaultExitTimeout = 15;
constexpr double kMaxPixelRatio = 64.0;

const char kSettings[] =
    "{\"textScaleFactor\":1.0,\"alwaysUse24HourFormat\":true,\"platformBrightness\":\"light\"}";
static_assert(sizeof(kSettings) - 1 == 81, "settings message is 81 bytes");
const char kResumed[] = "AppLifecycleState.resumed";
const char kPaused[] = "AppLifecycleState.paused";
const char kExitTimeoutMessage[] = "[嵌入器] 退出超时，强制结束\n";
static_assert(sizeof(kExitTimeoutMessage) - 1 == 40, "watchdog message is 40 bytes");

void on_signal(int sig) {
  // Runs on any thread, at any moment: keep errno intact for the code we
  // interrupted, and never block (the write end is non-blocking).
  int saved_errno = errno;
  if (sig == SIGUSR1)
    g_repaint = 1;
  else
    g_quit = 1;
  const unsigned char one = 1;
  ssize_t ignored = write(g_signal_pipe[1], &one, 1);
  (void)ignored;
  errno = saved_errno;
}

void on_exit_timeout(int) {
  ssize_t ignored = write(2, kExitTimeoutMessage, sizeof(kExitTimeoutMessage) - 1);
  (void)ignored;
  _exit(124);
}

void send_message(const char* channel, const void* bytes, size_t size) {
  FlutterPlatformMessage message{};
  message.struct_size = sizeof(FlutterPlatformMessage);
  message.channel = channel;
  message.message = static_cast<const uint8_t*>(bytes);
  message.message_size = size;
  message.response_handle = nullptr;
  engine_api().SendPlatformMessage(g_engine, &message);
}

void send_lifecycle(const char* state) { send_message("flutter/lifecycle", state, strlen(state)); }

// The window's size and ratio as the engine was last told them.
FlutterWindowMetricsEvent g_metrics{};

void send_window_metrics() { engine_api().SendWindowMetricsEvent(g_engine, &g_metrics); }

// A new frame of what the application shows.  An engine without
// ScheduleFrame draws one when the window metrics come again.
void request_frame() {
  if (engine_api().ScheduleFrame)
    engine_api().ScheduleFrame(g_engine);
  else
    send_window_metrics();
}

void on_power_event(int event) {
  switch (event) {
    case POWER_EVENT_SCREENSAVER_ON:
      display_set_suspended(true);
      input_set_enabled(g_engine, false);
      send_lifecycle(kPaused);
      channels_on_screensaver();
      break;
    case POWER_EVENT_SCREENSAVER_OFF:
      display_set_suspended(false);
      input_set_enabled(g_engine, true);
      send_lifecycle(kResumed);
      request_frame();
      break;
    case POWER_EVENT_BATTERY:
      device_on_battery_event();
      break;
    default:
      break;
  }
}

// The picture turns: the display converts the next frame of the new size
// turned and refreshes the whole panel with it, touches follow, and the
// application is told its window's new size (the ratio stays).
void on_orientation(int degrees) {
  display_set_orientation(degrees);
  input_set_orientation(degrees);
  g_metrics.width = orientation_app_width();
  g_metrics.height = orientation_app_height();
  send_window_metrics();
}

void on_control_power(int sleep) {
  on_power_event(sleep ? POWER_EVENT_SCREENSAVER_ON : POWER_EVENT_SCREENSAVER_OFF);
}

bool on_present(void*, const void* allocation, size_t row_bytes, size_t height) {
  return display_present(allocation, row_bytes, height);
}

void on_platform_message(const FlutterPlatformMessage* message, void*) {
  if (channels_handle(g_engine, message)) return;
  if (device_handle(g_engine, message)) return;
  if (strcmp(message->channel, "flutter/platform") != 0) {
    // Unknown channel: the empty response tells the application the method
    // is not implemented.  A message without a handle has no one to answer.
    if (message->response_handle)
      engine_api().SendPlatformMessageResponse(g_engine, message->response_handle, nullptr, 0);
    return;
  }
  if (platform_handle(g_engine, message)) {
    g_quit = 1;
    tasks_wakeup();
  }
}

void on_log_message(const char* tag, const char* text, void*) {
  log_raw("[%s] %s\n", tag ? tag : "flutter", text ? text : "");
}

// Takes the user's locale from the environment, but numbers are always
// written and read the C way: log clocks, FOLIAN_* settings and control
// commands must mean the same under a locale with a decimal comma.  What
// the engine's text handling needs is a UTF-8 character type; when the
// environment's is not, C.UTF-8 is asked for.  `out` names the character
// type's locale.
void choose_locale(char* out, size_t size) {
  // One category the C library does not know makes the whole call fail;
  // the character type may still be a good one.
  if (!setlocale(LC_ALL, "")) setlocale(LC_CTYPE, "");
  setlocale(LC_NUMERIC, "C");
  const char* name = setlocale(LC_CTYPE, nullptr);
  if (!name || !(strstr(name, "UTF-8") || strstr(name, "utf8"))) {
    name = setlocale(LC_CTYPE, "C.UTF-8");
    if (!name) name = setlocale(LC_CTYPE, nullptr);
  }
  snprintf(out, size, "%s", name ? name : "C");
}

bool open_signal_pipe() {
  if (pipe(g_signal_pipe) != 0) {
    log_error("创建信号管道失败: %s\n", strerror(errno));
    return false;
  }
  // Both ends non-blocking: the handler must never block on a full pipe, and
  // the loop drains until empty.  Close-on-exec: no child inherits them.
  for (int fd : g_signal_pipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return true;
}

void install_signal_handlers() {
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  // The remote shell we were started from went away: quit in order, so the
  // screen and the device's framework are given back.  Started with hang-ups
  // ignored (nohup), we were asked to outlive the shell, and do.
  struct sigaction hup;
  if (sigaction(SIGHUP, nullptr, &hup) == 0 && hup.sa_handler != SIG_IGN) signal(SIGHUP, on_signal);
  signal(SIGUSR1, on_signal);
  signal(SIGPIPE, SIG_IGN);
}

double pixel_ratio_for(double dpi) {
  double ratio = dpi > 0 ? dpi / 160.0 : 2.0;
  return setting_number("FOLIAN_PIXEL_RATIO", ratio, 0.0, kMaxPixelRatio);
}

// On e-ink every frame of an animation is a refresh, and a fast one leaves
// ghosts: an application that honours MediaQuery.disableAnimations stops
// animating when told.  An engine without the entry was named when its
// table was taken.
int accessibility_features() {
  int features = 0;
  if (setting_flag("FOLIAN_REDUCE_MOTION"))
    features |= kFlutterAccessibilityFeatureDisableAnimations;
  if (setting_flag("FOLIAN_HIGH_CONTRAST")) features |= kFlutterAccessibilityFeatureHighContrast;
  return features;
}

void send_accessibility_features() {
  int features = accessibility_features();
  if (features == 0 || !engine_api().UpdateAccessibilityFeatures) return;
  engine_api().UpdateAccessibilityFeatures(g_engine, (FlutterAccessibilityFeature)features);
  bool calm = features & kFlutterAccessibilityFeatureDisableAnimations;
  bool contrast = features & kFlutterAccessibilityFeatureHighContrast;
  log_info("无障碍设置告知应用：%s%s%s\n", calm ? "不要动画" : "", calm && contrast ? "、" : "",
           contrast ? "高对比度" : "");
}

void send_initial_state(double ratio) {
  FlutterEngineDisplay display{};
  display.struct_size = sizeof(FlutterEngineDisplay);
  display.display_id = 0;
  display.single_display = true;
  display.refresh_rate = 60.0;
  display.width = orientation_app_width();
  display.height = orientation_app_height();
  display.device_pixel_ratio = ratio;
  if (engine_api().NotifyDisplayUpdate)
    engine_api().NotifyDisplayUpdate(g_engine, kFlutterEngineDisplaysUpdateTypeStartup, &display,
                                     1);

  // Before the window's size, which brings the application's first frame.
  send_accessibility_features();
  g_metrics.struct_size = sizeof(FlutterWindowMetricsEvent);
  g_metrics.width = orientation_app_width();
  g_metrics.height = orientation_app_height();
  g_metrics.pixel_ratio = ratio;
  send_window_metrics();

  FlutterLocale zh{sizeof(FlutterLocale), "zh", "CN", nullptr, nullptr};
  FlutterLocale en{sizeof(FlutterLocale), "en", "US", nullptr, nullptr};
  const FlutterLocale* locales[] = {&zh, &en};
  engine_api().UpdateLocales(g_engine, locales, 2);

  send_message("flutter/settings", kSettings, sizeof(kSettings) - 1);
  send_lifecycle(kResumed);
}

int merge_timeout(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}

void drain_signal_pipe() {
  unsigned char buf[16];
  while (read(g_signal_pipe[0], buf, sizeof buf) > 0) {
  }
}

void run_loop(int wake_fd) {
  while (!g_quit) {
    struct pollfd fds[kPollSlots];
    fds[0] = {wake_fd, POLLIN, 0};
    fds[1] = {g_signal_pipe[0], POLLIN, 0};
    fds[2] = {power_fd(), POLLIN, 0};
    fds[3] = {control_fd(), POLLIN, 0};
    int m = input_poll_fds(&fds[4], kInputSlots);
    int timeout = merge_timeout(merge_timeout(tasks_next_timeout_ms(), control_next_timeout_ms()),
                                channels_next_timeout_ms());
    timeout = merge_timeout(timeout, display_next_timeout_ms());
    timeout = merge_timeout(timeout, device_next_timeout_ms());

    int ready = poll(fds, (nfds_t)(4 + m), timeout);
    if (ready < 0 && errno != EINTR) {
      log_error("poll 失败: %s\n", strerror(errno));
      return;
    }

    if (fds[0].revents & POLLIN) tasks_drain_wakeup();
    if (fds[1].revents & POLLIN) drain_signal_pipe();
    if (g_repaint.exchange(0)) {
      log_info("收到 SIGUSR1，整屏写回\n");
      display_repaint();
    }
    // A hang-up or error without data is handled by the owner too (it closes
    // or reopens), so such a descriptor cannot make the loop spin.
    if (fds[2].fd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
      power_read(on_power_event);
    if (fds[3].fd >= 0 && (fds[3].revents & (POLLIN | POLLHUP | POLLERR))) control_read();
    if (ready > 0) input_process(&fds[4], m, g_engine);

    control_run_due(g_engine);
    channels_run_due();
    display_run_due();
    device_run_due();
    tasks_run_due(g_engine);
  }
}

unsigned exit_timeout_s() {
  return (unsigned)setting_int("FOLIAN_EXIT_TIMEOUT", kDefaultExitTimeout, 1, INT_MAX);
}

// --check reads the start-up's own settings as the start does.
void on_check_settings(double dpi) {
  pixel_ratio_for(dpi);
  accessibility_features();
  exit_timeout_s();
}

void arm_exit_watchdog() {
  signal(SIGALRM, on_exit_timeout);
  alarm(exit_timeout_s());
}

}  // namespace

int main(int argc, char** argv) {
  const char* bundle_option = nullptr;
  const char* mistake = nullptr;
  Command command = parse_arguments(argc, argv, &bundle_option, &mistake);
  switch (command) {
    case Command::kUsageError:
      if (strcmp(mistake, "--bundle") == 0)
        fputs("folian: --bundle needs a directory\n", stderr);
      else
        fprintf(stderr, "folian: %s '%s'\n",
                mistake[0] == '-' ? "unknown option" : "unexpected argument", mistake);
      fputs(kUsage, stderr);
      return 2;
    case Command::kHelp:
      printf("%s\n%s", kUsage, kHelp);
      return 0;
    case Command::kVersion: {
      printf(
          "folian %s\nFlutter Embedder API version %d, engines of Flutter 2.0 and later\n"
          "declarations: %s\n",
          kVersion, FLUTTER_ENGINE_VERSION, FOLIAN_ENGINE_HEADERS);
      static BundlePaths paths;
      if (bundle_find(bundle_option, &paths)) engine_describe(paths.engine, paths.app, stdout);
      return 0;
    }
    case Command::kCheck:
    case Command::kRun:
      break;
  }
  const bool check = command == Command::kCheck;

  setvbuf(stderr, nullptr, _IOLBF, 0);

  char locale_name[256];
  choose_locale(locale_name, sizeof locale_name);
  log_info("LC_CTYPE=%s\n", locale_name);

  static BundlePaths bundle;
  if (!bundle_find(bundle_option, &bundle)) {
    log_error("包目录路径太长（最多 %zu 字节）\n", sizeof bundle.dir - 1);
    return 1;
  }
  log_info("包目录 %s\n", bundle.dir);
  bundle_log_manifest(bundle);
  if (check) return check_run(bundle, on_check_settings);

  if (!open_signal_pipe()) return 1;
  install_signal_handlers();

  DisplayInfo info{};
  if (!display_open(&info)) return 1;

  orientation_open(info.width, info.height);
  display_set_orientation(orientation_degrees());

  double ratio = pixel_ratio_for(info.dpi);
  log_info("屏幕 %ux%u，DPI %.0f，像素比 %.3f\n", info.width, info.height, info.dpi, ratio);

  // From here on a failed start gives the screen found at start back.
  int wake_fd = tasks_init();
  if (wake_fd < 0) {
    display_close();
    return 1;
  }

  FlutterRendererConfig config{};
  config.type = kSoftware;
  config.software.struct_size = sizeof(FlutterSoftwareRendererConfig);
  config.software.surface_present_callback = on_present;

  FlutterCustomTaskRunners runners{};
  runners.struct_size = sizeof(FlutterCustomTaskRunners);
  runners.platform_task_runner = tasks_runner_description();

  static const char* const kEngineArgv[] = {"folian-kindle"};
  FlutterProjectArgs args{};
  args.struct_size = sizeof(FlutterProjectArgs);
  args.assets_path = bundle.assets;
  args.icu_data_path = bundle.icu;
  args.command_line_argc = 1;
  args.command_line_argv = kEngineArgv;
  args.platform_message_callback = on_platform_message;
  args.custom_task_runners = &runners;
  args.shutdown_dart_vm_when_done = true;
  args.log_message_callback = on_log_message;
  args.log_tag = "flutter";

  if (!engine_load(bundle.engine) || !bundle_usable(bundle) ||
      !engine_check_app(bundle.engine, bundle.app, bundle.kernel)) {
    display_close();
    return 1;
  }
  const char* engine_name;
  int release = engine_release(&engine_name);
  args.compositor = compositor_open(compositor_choose(release, info.bpp, info.rgb565), engine_name);

  AotData aot_data;
  if (engine_api().RunsAOTCompiledDartCode()) {
    FlutterEngineAOTDataSource source{};
    source.type = kFlutterEngineAOTDataSourceTypeElfPath;
    source.elf_path = bundle.app;
    FlutterEngineAOTData created = nullptr;
    FlutterEngineResult result = engine_api().CreateAOTData(&source, &created);
    aot_data.reset(created);
    if (result != kSuccess) {
      log_error("加载 AOT 代码 %s 失败（%d）\n", bundle.app, (int)result);
      display_close();
      return 1;
    }
    args.aot_data = aot_data.get();
  }

  FlutterEngineResult result =
      engine_api().Run(FLUTTER_ENGINE_VERSION, &config, &args, nullptr, &g_engine);
  if (result != kSuccess || !g_engine) {
    log_error("引擎启动失败（%d）\n", (int)result);
    display_close();
    return 1;
  }
  log_info("引擎已启动\n");

  send_initial_state(ratio);

  input_open(info.width, info.height);
  input_set_orientation(orientation_degrees());
  orientation_set_handler(on_orientation);
  power_open();
  device_open(g_engine);
  framework_fake_open();
  control_open(on_control_power);

  run_loop(wake_fd);

  log_info("退出\n");
  arm_exit_watchdog();
  framework_fake_close();
  if (setting_present("FOLIAN_TEST_EXIT_HANG")) {
    log_info("测试：模拟退出卡住（FOLIAN_TEST_EXIT_HANG）\n");
    // Only the watchdog may end this: a second SIGTERM just returns here.
    for (;;) pause();
  }
  control_close();
  power_close();
  input_close();
  device_close();
  channels_close();
  engine_api().Shutdown(g_engine);
  aot_data.reset();
  display_close();
  return 0;
}
