// Finding and reading the event nodes: which of /dev/input's nodes are touch
// screens and which page buttons, the table of those opened, and each loop
// pass's reads, handed to the translation or, after lost events, to their
// recovery.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "input.h"
#include "input_device.h"
#include "log.h"
#include "power.h"
#include "settings.h"

using namespace input;

namespace {

int32_t g_device_count;
input_device g_devices[kMaxDevices];
// Touch screens are taken for this process alone (FOLIAN_TOUCH_NO_GRAB off).
bool g_grab = true;

input_device& add_device(int fd, const char* name, const char* path) {
  input_device& d = g_devices[g_device_count++];
  memset(&d, 0, sizeof d);
  d.fd = fd;
  snprintf(d.name, sizeof d.name, "%.127s", name);
  snprintf(d.path, sizeof d.path, "%s", path);
  return d;
}

// Calls `visit` with the path of each event node, where the kernel puts
// touch screens and buttons; false, with errno set, when the directory
// cannot be listed.
template <typename Visit>
bool for_each_event_node(Visit visit) {
  DIR* dir = opendir("/dev/input");
  if (!dir) return false;
  while (struct dirent* e = readdir(dir)) {
    if (strncmp(e->d_name, "event", 5) != 0) continue;
    char path[300];
    snprintf(path, sizeof path, "/dev/input/%s", e->d_name);
    visit(path);
  }
  closedir(dir);
  return true;
}

void open_node(const char* path) {
  if (g_device_count >= kMaxDevices) return;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;

  // The kernel copies at most the buffer's length and adds no terminator
  // when the name fills it.
  char name[128] = "?";
  ioctl(fd, EVIOCGNAME(sizeof name), name);
  name[sizeof name - 1] = '\0';

  uint32_t types = 0;
  ioctl(fd, EVIOCGBIT(0, sizeof types), &types);

  bool touch = false;
  bool multitouch = false;
  if (types & (1u << EV_ABS)) {
    uint8_t abs[8];
    memset(abs, 0, sizeof abs);
    if (ioctl(fd, EVIOCGBIT(EV_ABS, sizeof abs), abs) >= 0) {
      if (bit_set(abs, ABS_MT_POSITION_X) && bit_set(abs, ABS_MT_POSITION_Y)) {
        touch = multitouch = true;
      } else if (bit_set(abs, ABS_X) && bit_set(abs, ABS_Y)) {
        touch = true;
      }
    }
  }

  if (touch) {
    input_device& d = add_device(fd, name, path);
    d.multitouch = multitouch;
    ioctl(fd, EVIOCGABS(multitouch ? ABS_MT_POSITION_X : ABS_X), &d.abs_x);
    ioctl(fd, EVIOCGABS(multitouch ? ABS_MT_POSITION_Y : ABS_Y), &d.abs_y);
    struct input_absinfo slots;
    memset(&slots, 0, sizeof slots);
    if (multitouch && ioctl(fd, EVIOCGABS(ABS_MT_SLOT), &slots) == 0 && slots.maximum >= 0)
      d.slot_count = slots.maximum < kSlots ? slots.maximum + 1 : kSlots;
    // The contacts start as the kernel holds them (empty when it cannot
    // tell). A finger already on the glass is not down for the application:
    // it comes as a new contact at its next change.
    for (touch_slot& s : d.slots) s.tracking_id = -1;
    query_contacts(d, d.slots, &d.current_slot);
    if (g_grab && ioctl(fd, EVIOCGRAB, 1) != 0)
      log_error("独占 %s 失败: %s\n", path, strerror(errno));
    log_info("触摸屏 %s（%s）：%s，x 量程 %d..%d，y 量程 %d..%d\n", path, d.name,
             multitouch ? "多点" : "单点", d.abs_x.minimum, d.abs_x.maximum, d.abs_y.minimum,
             d.abs_y.maximum);
    return;
  }

  if (types & (1u << EV_KEY)) {
    uint8_t keys[96];
    memset(keys, 0, sizeof keys);
    if (ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) >= 0 && bit_set(keys, KEY_PAGEUP) &&
        bit_set(keys, KEY_PAGEDOWN)) {
      input_device& d = add_device(fd, name, path);
      d.is_page_keys = true;
      log_info("翻页键 %s（%s）\n", path, d.name);
      return;
    }
  }

  log_info("输入设备 %s（%s）：不是触摸屏也没有翻页键，跳过\n", path, name);
  close(fd);
}

void drop_device(int i, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  input_device& d = g_devices[i];
  log_error("输入设备 %s（%s）不再可用，已停止读取\n", d.path, d.name);
  release_held(d, engine);
  close(d.fd);
  for (int j = i; j + 1 < g_device_count; j++) g_devices[j] = g_devices[j + 1];
  g_device_count--;
}

}  // namespace

void input_read_settings() {
  read_settings();
  g_grab = !setting_flag("FOLIAN_TOUCH_NO_GRAB");
}

void input_open(unsigned width, unsigned height) {
  set_screen(width, height);
  input_read_settings();

  if (!for_each_event_node(open_node)) {
    log_error("打不开 /dev/input: %s\n", strerror(errno));
    return;
  }

  bool any_touch = false;
  for (int i = 0; i < g_device_count; i++) any_touch = any_touch || !g_devices[i].is_page_keys;
  if (!any_touch) log_error("没找到触摸屏\n");
}

int input_count_readable_nodes() {
  int nodes = 0;
  for_each_event_node([&](const char* path) { nodes += access(path, R_OK) == 0; });
  return nodes;
}

int input_poll_fds(struct pollfd* fds, int capacity) {
  if (capacity < 1) return 0;
  int n = g_device_count < capacity ? g_device_count : capacity;
  for (int i = 0; i < n; i++) {
    fds[i].fd = g_devices[i].fd;
    fds[i].events = POLLIN;
    fds[i].revents = 0;
  }
  return n;
}

// Reads of one device per loop pass, 64 events each; what is left is read in
// the next pass.
constexpr int kReadsPerPass = 16;

void input_process(const struct pollfd* fds, int count, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  // Devices that went away are removed after the pass, so that entry i keeps
  // belonging to record i while the entries are looked at.
  bool gone[kMaxDevices] = {};
  int n = count < g_device_count ? count : g_device_count;
  for (int i = 0; i < n; i++) {
    input_device& d = g_devices[i];
    short rev = fds[i].revents;
    if (fds[i].fd != d.fd) continue;
    if (rev & POLLIN) {
      // Bounded per pass, like every source: a device that never stops
      // reporting must not keep the loop from the others and from signals.
      for (int reads = 0; reads < kReadsPerPass; reads++) {
        struct input_event buf[64];
        ssize_t got = read(d.fd, buf, sizeof buf);
        if (got <= 0) {
          if (got < 0 && errno == ENODEV) gone[i] = true;
          break;
        }
        size_t events = (size_t)got / sizeof buf[0];
        for (size_t e = 0; e < events; e++) {
          if (d.dropping || is_event(buf[e], EV_SYN, SYN_DROPPED)) {
            take_gap(d, buf + e, events - e, engine);
            break;
          }
          if (d.is_page_keys) {
            page_key_event(d, buf[e], engine);
          } else {
            touch_event(d, buf[e], engine);
          }
        }
        if (enabled()) power_user_activity();
      }
    } else if (rev & (POLLERR | POLLHUP | POLLNVAL)) {
      // Hang-up or error with nothing left to read: the node will never
      // deliver again, and polling it would wake the loop at once forever.
      gone[i] = true;
    }
  }
  for (int i = n - 1; i >= 0; i--)
    if (gone[i]) drop_device(i, engine);
}

void input_set_enabled(FLUTTER_API_SYMBOL(FlutterEngine) engine, bool on) {
  if (on == enabled()) return;
  set_enabled(on);
  if (on) return;
  for (int i = 0; i < g_device_count; i++) release_held(g_devices[i], engine);
}

void input_close() {
  for (int i = 0; i < g_device_count; i++) {
    input_device& d = g_devices[i];
    if (!d.is_page_keys) ioctl(d.fd, EVIOCGRAB, 0);
    close(d.fd);
    // The contacts of a closed node never lift: their ids are free again.
    forget_contacts(d);
  }
  g_device_count = 0;
}
