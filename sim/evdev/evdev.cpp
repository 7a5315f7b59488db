// Stand-in input event nodes.  Preloaded (libsim_evdev.so) or linked into a
// unit test (sim_evdev_objects), it redirects the listing of /dev/input and the
// opening of /dev/input/<entry> into a test directory and behaves as the
// kernel's input core and evdev handler do for one client of each node.
//
// The test writes "hardware" events (struct input_event records) into the
// node, a FIFO.  At every read and query on the node the stand-in takes all
// bytes waiting in the FIFO and passes them through the input core's rules
// (README.md lists them with the kernel functions they follow) before the
// program sees anything.
//
// FOLIAN_SIM_EVDEV_DIR=<dir> turns it on:
//   <dir>/dev/<entry>    what /dev/input lists (sorted by name); usually FIFOs
//   <dir>/conf/<entry>   configuration of that node:
//       name <text>                  device name (absent: the query fails)
//       types <n>,<n>...             event types (EV_*)
//       abs <n>,...                  absolute axes
//       keys <n>,...                 keys and buttons
//       absinfo <axis> <value> <min> <max>   range and value at open; the
//                                    slots are those of ABS_MT_SLOT's range
//                                    (its value: the current slot)
//       mtslots <code> <v0> <v1>...  per-slot values at open (slots left out:
//                                    tracking id -1, other values 0)
//       keystate <n>,...             keys down at open
//       grabbed 1                    another client holds the grab: the
//                                    program's grab fails with EBUSY and
//                                    nothing is delivered to it
//       fail <what>                  make a query fail: name types absbits keybits
//                                    absinfo mtslots
//     The state lines are read when the node is opened; the others at each
//     query.
//   <dir>/evdev.log      one line per grab request: "grab <entry> <arg>"
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

constexpr int kMaxFds = 4096;
constexpr int kMaxEntries = 256;
constexpr int kMaxValues = 64;

// Which node each descriptor the program opened through us refers to.
char g_fd_node[kMaxFds][64];

// The program opens and closes files on more than one thread, and a
// descriptor closed on one is reused on another: the tables below change
// under this lock (recursive: loading a node opens its description).  It is
// held across fork (pthread_atfork), so that a child
// that opens or closes between fork and exec never finds it taken.
pthread_mutex_t g_fd_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

struct FdLock {
  FdLock() { pthread_mutex_lock(&g_fd_lock); }
  ~FdLock() { pthread_mutex_unlock(&g_fd_lock); }
};

// The child starts the lock afresh: its thread has another id than the
// parent's owner, so a recursive lock would refuse to be unlocked there.
__attribute__((constructor)) void guard_fork() {
  pthread_atfork([] { pthread_mutex_lock(&g_fd_lock); }, [] { pthread_mutex_unlock(&g_fd_lock); },
                 [] {
                   pthread_mutex_t fresh = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
                   g_fd_lock = fresh;
                 });
}

struct Listing {
  DIR* dir;
  int count;
  int next;
  char names[kMaxEntries][256];
  struct dirent ent;
  struct dirent64 ent64;
};
Listing g_listing;

template <typename F>
F* next_fn(F*, const char* name) {
  return reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
}
#define REAL(fn) static auto real_##fn = next_fn(&fn, #fn)

const char* sim_dir() {
  const char* d = getenv("FOLIAN_SIM_EVDEV_DIR");
  return d && d[0] ? d : nullptr;
}

// "/dev/input/<entry>" → "<dir>/dev/<entry>", copying the entry name.
bool redirect(const char* path, char* out, size_t size, char* entry) {
  const char* dir = sim_dir();
  static const char kPrefix[] = "/dev/input/";
  if (!dir || !path || strncmp(path, kPrefix, sizeof kPrefix - 1) != 0) return false;
  const char* leaf = path + sizeof kPrefix - 1;
  if (!leaf[0] || strchr(leaf, '/') || strlen(leaf) >= 64) return false;
  snprintf(out, size, "%s/dev/%s", dir, leaf);
  strcpy(entry, leaf);
  return true;
}

void remember(int fd, const char* entry) {
  if (fd >= 0 && fd < kMaxFds) snprintf(g_fd_node[fd], sizeof g_fd_node[fd], "%s", entry);
}

const char* node_of(int fd) {
  if (fd < 0 || fd >= kMaxFds) return nullptr;
  FdLock held;
  if (!g_fd_node[fd][0]) return nullptr;
  return g_fd_node[fd];
}

struct AxisInfo {
  int axis;
  struct input_absinfo info;
};

struct Config {
  bool has_name;
  char name[512];
  uint8_t types[4];
  uint8_t abs[8];
  uint8_t keys[KEY_MAX / 8 + 1];
  uint8_t keystate[KEY_MAX / 8 + 1];
  AxisInfo axes[ABS_CNT];
  int axis_count;
  int slot_code[8];
  int32_t slot_values[8][kMaxValues];
  int slot_count[8];
  int slot_sets;
  bool grabbed;
  char fail[256];
};

void set_bits(uint8_t* mask, size_t bytes, const char* list) {
  while (*list) {
    char* end;
    long v = strtol(list, &end, 0);
    if (end == list) break;
    if (v >= 0 && (size_t)v < bytes * 8) mask[v / 8] |= (uint8_t)(1u << (v % 8));
    list = *end == ',' ? end + 1 : end;
  }
}

bool load(const char* entry, Config* c) {
  memset(c, 0, sizeof *c);
  char path[4096];
  snprintf(path, sizeof path, "%s/conf/%s", sim_dir(), entry);
  FILE* f = fopen(path, "re");
  if (!f) return false;
  char line[1024];
  while (fgets(line, sizeof line, f)) {
    line[strcspn(line, "\n")] = '\0';
    char* val = strchr(line, ' ');
    if (!val) continue;
    *val++ = '\0';
    if (strcmp(line, "name") == 0) {
      c->has_name = true;
      snprintf(c->name, sizeof c->name, "%s", val);
    } else if (strcmp(line, "types") == 0) {
      set_bits(c->types, sizeof c->types, val);
    } else if (strcmp(line, "abs") == 0) {
      set_bits(c->abs, sizeof c->abs, val);
    } else if (strcmp(line, "keys") == 0) {
      set_bits(c->keys, sizeof c->keys, val);
    } else if (strcmp(line, "keystate") == 0) {
      set_bits(c->keystate, sizeof c->keystate, val);
    } else if (strcmp(line, "absinfo") == 0 && c->axis_count < ABS_CNT) {
      AxisInfo& a = c->axes[c->axis_count];
      memset(&a, 0, sizeof a);
      if (sscanf(val, "%d %d %d %d", &a.axis, &a.info.value, &a.info.minimum, &a.info.maximum) == 4)
        c->axis_count++;
    } else if (strcmp(line, "mtslots") == 0 && c->slot_sets < 8) {
      int i = c->slot_sets++;
      char* end;
      c->slot_code[i] = (int)strtol(val, &end, 0);
      while (c->slot_count[i] < kMaxValues) {
        char* p = end;
        long v = strtol(p, &end, 0);
        if (end == p) break;
        c->slot_values[i][c->slot_count[i]++] = (int32_t)v;
      }
    } else if (strcmp(line, "grabbed") == 0) {
      c->grabbed = strcmp(val, "1") == 0;
    } else if (strcmp(line, "fail") == 0) {
      size_t used = strlen(c->fail);
      snprintf(c->fail + used, sizeof c->fail - used, " %s ", val);
    }
  }
  fclose(f);
  return true;
}

bool fails(const Config& c, const char* what) {
  char key[64];
  snprintf(key, sizeof key, " %s ", what);
  return strstr(c.fail, key) != nullptr;
}

int fail_with(int err) {
  errno = err;
  return -1;
}

bool bit(const uint8_t* mask, size_t bytes, unsigned n) {
  return n / 8 < bytes && (mask[n / 8] >> (n % 8)) & 1;
}

// One client of one node: the input core's state of the device
// (drivers/input/input.c, input-mt.c) and evdev's client buffer
// (drivers/input/evdev.c).
constexpr int kMaxSlots = 64;
constexpr int kMtFirst = ABS_MT_TOUCH_MAJOR;
constexpr int kMtLast = ABS_MT_TOOL_Y;

struct Node {
  uint8_t types[4];
  uint8_t abs[8];
  uint8_t keybits[KEY_MAX / 8 + 1];
  struct input_absinfo absinfo[ABS_CNT];  // value of ABS_MT_SLOT: the slot last sent
  uint8_t key[KEY_MAX / 8 + 1];
  int num_slots;  // 0: the node has no slots
  int slot;       // slot addressed by the next MT value, maybe not yet sent
  int32_t mt[kMaxSlots][kMtLast - kMtFirst + 1];
  std::vector<struct input_event> vals;  // the packet being built
  int num_vals;
  bool grabbed_elsewhere;

  std::vector<struct input_event> buffer;  // a power of two long
  unsigned head, tail, packet_head;

  unsigned char partial[sizeof(struct input_event)];  // an event cut by the FIFO
  size_t partial_len;
};
Node* g_nodes[kMaxFds];

Node* node_for(int fd) {
  if (fd < 0 || fd >= kMaxFds) return nullptr;
  FdLock held;
  return g_nodes[fd];
}

bool is_mt_axis(int axis) { return axis == ABS_MT_SLOT || (axis >= kMtFirst && axis <= kMtLast); }

// input.c input_estimate_events_per_packet: how many values one report of the
// device may carry.  The core's batch holds two more; each client's buffer
// holds eight such reports, at least 64 events, rounded up to a power of two
// (evdev.c evdev_compute_buffer_size).
unsigned events_per_packet(const Node& n) {
  int64_t mt_slots = n.num_slots;
  if (!mt_slots && bit(n.abs, sizeof n.abs, ABS_MT_TRACKING_ID)) {
    const struct input_absinfo& id = n.absinfo[ABS_MT_TRACKING_ID];
    mt_slots = std::clamp<int64_t>((int64_t)id.maximum - id.minimum + 1, 2, 32);
  } else if (!mt_slots && bit(n.abs, sizeof n.abs, ABS_MT_POSITION_X)) {
    mt_slots = 2;
  }
  int64_t events = mt_slots + 1;
  if (bit(n.types, sizeof n.types, EV_ABS))
    for (int axis = 0; axis < ABS_CNT; axis++)
      if (bit(n.abs, sizeof n.abs, axis)) events += is_mt_axis(axis) ? mt_slots : 1;
  return (unsigned)(events + 7);
}

unsigned client_buffer_size(const Node& n) {
  unsigned want = std::max(events_per_packet(n) * 8, 64u), size = 1;
  while (size < want) size *= 2;
  return size;
}

Node* new_node(const Config& c) {
  // Value-initialised: every plain field starts at zero.
  Node* n = new Node();
  memcpy(n->types, c.types, sizeof n->types);
  memcpy(n->abs, c.abs, sizeof n->abs);
  memcpy(n->keybits, c.keys, sizeof n->keybits);
  memcpy(n->key, c.keystate, sizeof n->key);
  for (int i = 0; i < c.axis_count; i++)
    if (c.axes[i].axis >= 0 && c.axes[i].axis < ABS_CNT)
      n->absinfo[c.axes[i].axis] = c.axes[i].info;
  if (bit(n->abs, sizeof n->abs, ABS_MT_SLOT)) {
    // input_mt_init_slots: the slots are ABS_MT_SLOT's range, all empty.
    int64_t slots = (int64_t)n->absinfo[ABS_MT_SLOT].maximum + 1;
    n->num_slots = slots < 0 ? 0 : (slots > kMaxSlots ? kMaxSlots : (int)slots);
    for (int i = 0; i < n->num_slots; i++) n->mt[i][ABS_MT_TRACKING_ID - kMtFirst] = -1;
    for (int s = 0; s < c.slot_sets; s++) {
      int code = c.slot_code[s];
      if (code < kMtFirst || code > kMtLast) continue;
      for (int i = 0; i < c.slot_count[s] && i < n->num_slots; i++)
        n->mt[i][code - kMtFirst] = c.slot_values[s][i];
    }
    int cur = n->absinfo[ABS_MT_SLOT].value;
    n->slot = cur >= 0 && cur < n->num_slots ? cur : 0;
    n->absinfo[ABS_MT_SLOT].value = n->slot;
  }
  n->grabbed_elsewhere = c.grabbed;
  n->vals.resize(events_per_packet(*n) + 2);
  n->buffer.resize(client_buffer_size(*n));
  return n;
}

// evdev.c __pass_event: a full buffer loses everything unread but the newest
// event, behind SYN_DROPPED, and hides it until the next report completes.
void pass_event(Node& n, const struct input_event& e) {
  unsigned mask = (unsigned)n.buffer.size() - 1;
  n.buffer[n.head++] = e;
  n.head &= mask;
  if (n.head == n.tail) {
    n.tail = (n.head - 2) & mask;
    struct input_event dropped = e;
    dropped.type = EV_SYN;
    dropped.code = SYN_DROPPED;
    dropped.value = 0;
    n.buffer[n.tail] = dropped;
    n.packet_head = n.tail;
  }
  if (e.type == EV_SYN && e.code == SYN_REPORT) n.packet_head = n.head;
}

void add_val(Node& n, const struct input_event& like, int type, int code, int value) {
  struct input_event& v = n.vals[n.num_vals++];
  v = like;
  v.type = (uint16_t)type;
  v.code = (uint16_t)code;
  v.value = value;
}

// input.c input_pass_values through evdev_events: a grab by another client
// takes the node's events away from this one.
void flush_vals(Node& n, const struct input_event& like) {
  add_val(n, like, EV_SYN, SYN_REPORT, 0);
  if (n.num_vals >= 2 && !n.grabbed_elsewhere)
    for (int i = 0; i < n.num_vals; i++) pass_event(n, n.vals[i]);
  n.num_vals = 0;
}

// input.c input_handle_event / input_handle_abs_event for one event the
// hardware reports.
void handle_event(Node& n, const struct input_event& e) {
  if (e.type != EV_SYN && !bit(n.types, sizeof n.types, e.type)) return;
  switch (e.type) {
    case EV_SYN:
      if (e.code == SYN_REPORT) {
        flush_vals(n, e);
        return;
      }
      if (e.code != SYN_MT_REPORT) return;
      break;
    case EV_KEY:
      if (!bit(n.keybits, sizeof n.keybits, e.code)) return;
      if (e.value != 2) {
        if (bit(n.key, sizeof n.key, e.code) == (e.value != 0)) return;
        n.key[e.code / 8] ^= (uint8_t)(1u << (e.code % 8));
      }
      break;
    case EV_ABS: {
      if (e.code >= ABS_CNT || !bit(n.abs, sizeof n.abs, e.code)) return;
      if (e.code == ABS_MT_SLOT) {
        // Staged: sent with the first value that changes in that slot.
        if (n.num_slots && e.value >= 0 && e.value < n.num_slots) n.slot = e.value;
        return;
      }
      bool mt_value = e.code >= kMtFirst && e.code <= kMtLast;
      int32_t* old = nullptr;
      if (!mt_value) {
        old = &n.absinfo[e.code].value;
      } else if (n.num_slots) {
        old = &n.mt[n.slot][e.code - kMtFirst];
      }
      if (old) {
        if (*old == e.value) return;
        *old = e.value;
      }
      if (mt_value && n.num_slots && n.slot != n.absinfo[ABS_MT_SLOT].value) {
        n.absinfo[ABS_MT_SLOT].value = n.slot;
        add_val(n, e, EV_ABS, ABS_MT_SLOT, n.slot);
      }
      break;
    }
    default:
      break;
  }
  add_val(n, e, e.type, e.code, e.value);
  if (n.num_vals >= (int)n.vals.size() - 2) flush_vals(n, e);
}

ssize_t call_real_read(int fd, void* buf, size_t count);
int call_real_ioctl(int fd, unsigned long req, void* arg);

// Everything the test has written so far has happened in the hardware: it
// goes through the input core now, before the program reads or asks.
void take_hardware(int fd, Node& n) {
  for (;;) {
    int avail = 0;
    if (call_real_ioctl(fd, FIONREAD, &avail) != 0 || avail <= 0) return;
    unsigned char bytes[4096];
    ssize_t got =
        call_real_read(fd, bytes, (size_t)avail < sizeof bytes ? (size_t)avail : sizeof bytes);
    if (got <= 0) return;
    for (ssize_t i = 0; i < got; i++) {
      n.partial[n.partial_len++] = bytes[i];
      if (n.partial_len < sizeof n.partial) continue;
      struct input_event e;
      memcpy(&e, n.partial, sizeof e);
      n.partial_len = 0;
      handle_event(n, e);
    }
  }
}

// evdev.c evdev_read / evdev_fetch_next_event: whole events of complete
// packets only.
ssize_t node_read(int fd, Node& n, void* buf, size_t count) {
  take_hardware(fd, n);
  if (count < sizeof(struct input_event)) {
    errno = EINVAL;
    return -1;
  }
  size_t done = 0;
  while (done + sizeof(struct input_event) <= count && n.packet_head != n.tail) {
    memcpy((char*)buf + done, &n.buffer[n.tail], sizeof(struct input_event));
    n.tail = (n.tail + 1) & ((unsigned)n.buffer.size() - 1);
    done += sizeof(struct input_event);
  }
  if (done) return (ssize_t)done;
  // The writer went away: the end of the node, as the FIFO tells it.
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) && !(p.revents & POLLIN)) return 0;
  errno = EAGAIN;
  return -1;
}

// evdev.c __evdev_flush_queue: queued events of one type are removed, and so
// are the reports that would be left empty.
void flush_queue(Node& n, unsigned type) {
  unsigned mask = (unsigned)n.buffer.size() - 1;
  unsigned head = n.tail;
  n.packet_head = n.tail;
  unsigned num = 1;  // a leading report is kept
  for (unsigned i = n.tail; i != n.head; i = (i + 1) & mask) {
    struct input_event e = n.buffer[i];
    bool is_report = e.type == EV_SYN && e.code == SYN_REPORT;
    if (e.type == type) continue;
    if (is_report && !num) continue;
    if (head != i) n.buffer[head] = e;
    num++;
    head = (head + 1) & mask;
    if (is_report) {
      num = 0;
      n.packet_head = head;
    }
  }
  n.head = head;
}

void log_line(const char* fmt, ...) {
  char path[4096];
  snprintf(path, sizeof path, "%s/evdev.log", sim_dir());
  FILE* f = fopen(path, "ae");
  if (!f) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(f, fmt, ap);
  va_end(ap);
  fclose(f);
}

// Copies a bit mask into the caller's buffer the way the kernel does: at
// most `len` bytes, the rest of the buffer untouched; returns the count.
int copy_out(void* arg, size_t len, const void* src, size_t size) {
  size_t n = len < size ? len : size;
  memcpy(arg, src, n);
  return (int)n;
}

int evdev_ioctl(int fd, const char* entry, unsigned long req, void* arg) {
  Config c;
  if (!load(entry, &c)) return fail_with(ENODEV);
  unsigned type = _IOC_TYPE(req), nr = _IOC_NR(req), dir = _IOC_DIR(req);
  size_t len = _IOC_SIZE(req);
  if (type != 'E') return fail_with(ENOTTY);
  Node* n = node_for(fd);
  if (n) take_hardware(fd, *n);

  if (req == EVIOCGRAB) {
    int on = (int)(intptr_t)arg;
    log_line("grab %s %d\n", entry, on);
    if (on && c.grabbed) return fail_with(EBUSY);
    return 0;
  }
  if (dir != _IOC_READ) return fail_with(EINVAL);
  if (nr == _IOC_NR(EVIOCGNAME(0))) {
    if (!c.has_name || fails(c, "name")) return fail_with(ENOENT);
    return copy_out(arg, len, c.name, strlen(c.name) + 1);
  }
  if (nr == _IOC_NR(EVIOCGKEY(0))) {
    // evdev_handle_get_val: the answer already holds what the queued key
    // events would have said, so they are taken out of the queue.
    if (!n) return copy_out(arg, len, c.keystate, sizeof c.keystate);
    int copied = copy_out(arg, len, n->key, sizeof n->key);
    flush_queue(*n, EV_KEY);
    return copied;
  }
  if (nr == _IOC_NR(EVIOCGMTSLOTS(0))) {
    // evdev_handle_mt_request: the node's slots only; the rest of the
    // caller's buffer is left as it was.
    if (fails(c, "mtslots") || len < 4 || !n || !n->num_slots) return fail_with(EINVAL);
    uint32_t code;
    memcpy(&code, arg, 4);
    if (code < (uint32_t)kMtFirst || code > (uint32_t)kMtLast) return fail_with(EINVAL);
    size_t room = (len - 4) / 4;
    for (size_t i = 0; i < room && (int)i < n->num_slots; i++)
      memcpy((char*)arg + 4 + 4 * i, &n->mt[i][code - kMtFirst], 4);
    return 0;
  }
  if (nr >= 0x20 && nr < 0x20 + EV_CNT) {
    unsigned ev = nr - 0x20;
    if (ev == 0) {
      if (fails(c, "types")) return fail_with(EINVAL);
      return copy_out(arg, len, c.types, sizeof c.types);
    }
    if (ev == EV_ABS) {
      if (fails(c, "absbits")) return fail_with(EINVAL);
      return copy_out(arg, len, c.abs, sizeof c.abs);
    }
    if (ev == EV_KEY) {
      if (fails(c, "keybits")) return fail_with(EINVAL);
      return copy_out(arg, len, c.keys, sizeof c.keys);
    }
    return 0;
  }
  if (nr >= 0x40 && nr < 0x40 + ABS_CNT && len >= sizeof(struct input_absinfo)) {
    int axis = (int)(nr - 0x40);
    if (fails(c, "absinfo") || !(c.abs[axis / 8] & (1u << (axis % 8)))) return fail_with(EINVAL);
    struct input_absinfo info;
    memset(&info, 0, sizeof info);
    if (n) {
      info = n->absinfo[axis];
    } else {
      for (int i = 0; i < c.axis_count; i++)
        if (c.axes[i].axis == axis) info = c.axes[i].info;
    }
    memcpy(arg, &info, sizeof info);
    return 0;
  }
  return fail_with(EINVAL);
}

void forget(int fd) {
  if (fd < 0 || fd >= kMaxFds) return;
  FdLock held;
  g_fd_node[fd][0] = '\0';
  delete g_nodes[fd];
  g_nodes[fd] = nullptr;
}

void opened_node(int fd, const char* entry) {
  if (fd < 0 || fd >= kMaxFds) return;
  FdLock held;
  remember(fd, entry);
  delete g_nodes[fd];
  g_nodes[fd] = nullptr;
  Config c;
  if (load(entry, &c)) g_nodes[fd] = new_node(c);
}

int open_common(const char* path, int flags, mode_t mode, int (*real)(const char*, int, ...)) {
  char target[4096], entry[64];
  if (redirect(path, target, sizeof target, entry)) {
    int fd = real(target, flags, mode);
    opened_node(fd, entry);
    return fd;
  }
  int fd = real(path, flags, mode);
  forget(fd);
  return fd;
}

mode_t mode_arg(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int by_name(const void* a, const void* b) {
  return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

ssize_t call_real_read(int fd, void* buf, size_t count) {
  REAL(read);
  return real_read(fd, buf, count);
}

int call_real_ioctl(int fd, unsigned long req, void* arg) {
  REAL(ioctl);
  return real_ioctl(fd, req, arg);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  REAL(open);
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common(path, flags, mode, real_open);
}

int open64(const char* path, int flags, ...) {
  REAL(open64);
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common(path, flags, mode, real_open64);
}

int __open_2(const char* path, int flags) {
  REAL(open);
  return open_common(path, flags, 0, real_open);
}

int __open64_2(const char* path, int flags) {
  REAL(open64);
  return open_common(path, flags, 0, real_open64);
}

static int openat_common(int dirfd, const char* path, int flags, mode_t mode,
                         int (*real)(int, const char*, int, ...)) {
  char target[4096], entry[64];
  if (redirect(path, target, sizeof target, entry)) {
    int fd = real(AT_FDCWD, target, flags, mode);
    opened_node(fd, entry);
    return fd;
  }
  int fd = real(dirfd, path, flags, mode);
  forget(fd);
  return fd;
}

int openat(int dirfd, const char* path, int flags, ...) {
  REAL(openat);
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return openat_common(dirfd, path, flags, mode, real_openat);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  REAL(openat64);
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return openat_common(dirfd, path, flags, mode, real_openat64);
}

int close(int fd) {
  REAL(close);
  forget(fd);
  return real_close(fd);
}

ssize_t read(int fd, void* buf, size_t count) {
  Node* n = sim_dir() ? node_for(fd) : nullptr;
  if (n) return node_read(fd, *n, buf, count);
  return call_real_read(fd, buf, count);
}

ssize_t __read_chk(int fd, void* buf, size_t count, size_t) { return read(fd, buf, count); }

int ioctl(int fd, unsigned long req, ...) {
  REAL(ioctl);
  va_list ap;
  va_start(ap, req);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  const char* entry = sim_dir() ? node_of(fd) : nullptr;
  if (entry) return evdev_ioctl(fd, entry, req, arg);
  return real_ioctl(fd, req, arg);
}

DIR* opendir(const char* path) {
  REAL(opendir);
  // The 64-bit listing: a 32-bit program's readdir fails with EOVERFLOW on
  // file systems whose directory offsets are 64-bit hashes.
  REAL(readdir64);
  const char* dir = sim_dir();
  if (!dir || (strcmp(path, "/dev/input") != 0 && strcmp(path, "/dev/input/") != 0))
    return real_opendir(path);
  char target[4096];
  snprintf(target, sizeof target, "%s/dev", dir);
  DIR* d = real_opendir(target);
  if (!d) return d;
  // Listed in name order so that tests know which node comes first.
  g_listing.dir = d;
  g_listing.count = 0;
  g_listing.next = 0;
  while (struct dirent64* e = real_readdir64(d)) {
    if (g_listing.count < kMaxEntries)
      snprintf(g_listing.names[g_listing.count++], 256, "%s", e->d_name);
  }
  qsort(g_listing.names, (size_t)g_listing.count, 256, by_name);
  return d;
}

struct dirent* readdir(DIR* d) {
  REAL(readdir);
  if (d != g_listing.dir) return real_readdir(d);
  if (g_listing.next >= g_listing.count) return nullptr;
  struct dirent* e = &g_listing.ent;
  memset(e, 0, sizeof *e);
  snprintf(e->d_name, sizeof e->d_name, "%s", g_listing.names[g_listing.next++]);
  e->d_type = DT_UNKNOWN;
  return e;
}

struct dirent64* readdir64(DIR* d) {
  REAL(readdir64);
  if (d != g_listing.dir) return real_readdir64(d);
  if (g_listing.next >= g_listing.count) return nullptr;
  struct dirent64* e = &g_listing.ent64;
  memset(e, 0, sizeof *e);
  snprintf(e->d_name, sizeof e->d_name, "%s", g_listing.names[g_listing.next++]);
  e->d_type = DT_UNKNOWN;
  return e;
}

int closedir(DIR* d) {
  REAL(closedir);
  if (d == g_listing.dir) g_listing.dir = nullptr;
  return real_closedir(d);
}

}  // extern "C"
