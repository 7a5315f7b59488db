// folian --check: what a start would find wrong, told without starting.
#include "check.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "compositor.h"
#include "control.h"
#include "device.h"
#include "display.h"
#include "eink.h"
#include "engine.h"
#include "framebuffer.h"
#include "input.h"
#include "log.h"
#include "orientation.h"
#include "policy.h"
#include "power.h"
#include "settings.h"

namespace {

// The device's nodes and tools a start would open; the number of problems.
// The framebuffer is needed; without input nodes or the power tools the
// program goes on without that facility, which is told, not counted.
int check_device() {
  int problems = 0;
  if (const char* fb = framebuffer_device()) {
    if (access(fb, R_OK | W_OK) == 0) {
      log_info("帧缓冲 %s 可读写\n", fb);
    } else {
      log_error("帧缓冲 %s 不可用: %s\n", fb, strerror(errno));
      problems++;
    }
  } else {
    log_info("屏幕是模拟的（FOLIAN_FB_FILE）\n");
  }
  int nodes = input_count_readable_nodes();
  if (nodes)
    log_info("输入设备：/dev/input 下 %d 个可读\n", nodes);
  else
    log_info("输入设备：/dev/input 下没有可读的，没有触摸和翻页键\n");
  static const struct {
    const char* path;
    const char* without;
  } kTools[] = {{kWaitEventPath, "不跟随屏保"}, {kSetPropPath, "触摸不推迟休眠"}};
  for (const auto& tool : kTools) {
    if (access(tool.path, X_OK) == 0)
      log_info("设备工具 %s 可用\n", tool.path);
    else
      log_info("设备工具 %s 不可用：%s\n", tool.path, tool.without);
  }
  return problems;
}

// The settings a start reads, each by the rule the start reads it with: the
// settings module tells a value that breaks its rule in one line.  Those and
// a control FIFO that could not be made are the problems counted.
int check_settings(CheckStartSettings on_start_settings) {
  int before = settings_count_invalid();
  const FramebufferSettings screen = framebuffer_read_settings();
  on_start_settings((double)screen.dpi);
  // What display_open reads for itself and through policy_open and
  // eink_open, which only read their settings here; the orientation; the
  // frames' format.
  display_read_settings();
  policy_open();
  eink_open(0, 0);
  orientation_read_settings();
  compositor_read_settings();
  input_read_settings();
  setting_flag("FOLIAN_FAKE_FRAMEWORK");
  return settings_count_invalid() - before + !control_check();
}

}  // namespace

int check_run(const BundlePaths& bundle, CheckStartSettings on_start_settings) {
  int problems = 0;
  bool loaded = engine_load(bundle.engine);
  problems += !loaded;
  problems += !bundle_usable(bundle, true);
  if (loaded) {
    problems += !engine_check_app(bundle.engine, bundle.app, bundle.kernel);
    const char* engine_name;
    int release = engine_release(&engine_name);
    compositor_tell_check(release, engine_name);
  } else
    log_info("应用 %s 没能与引擎比对\n", bundle.app);
  problems += check_device();
  problems += check_settings(on_start_settings);
  device_check();
  if (problems)
    log_error("检查完毕：%d 项有问题\n", problems);
  else
    log_info("检查完毕：全部通过\n");
  return problems ? 1 : 0;
}
