// Stand-in input event nodes.  Preloaded (libsim_evdev.so) or linked into a
// unit test (sim_evdev_objects), it redirects the listing of /dev/input and the
// opening of /dev/input/<entry> into a test directory and answers the evdev
// queries from per-node configuration files.  The test writes real
// struct input_event records into the nodes (FIFOs), which the program reads
// with plain read().
//
// FOLIAN_SIM_EVDEV_DIR=<dir> turns it on:
//   <dir>/dev/<entry>    what /dev/input lists (sorted by name); usually FIFOs
//   <dir>/conf/<entry>   configuration of that node, read again at each query:
//       name <text>                  device name (absent: the query fails)
//       types <n>,<n>...             event types (EV_*)
//       abs <n>,...                  absolute axes
//       keys <n>,...                 keys and buttons
//       absinfo <axis> <value> <min> <max>
//       mtslots <code> <v0> <v1>...  per-slot values for EVIOCGMTSLOTS (slots left
//                                    out: tracking id -1, other values 0)
//       keystate <n>,...             keys currently down (EVIOCGKEY)
//       fail <what>                  make a query fail: name types absbits keybits
//                                    absinfo mtslots grab
//   <dir>/evdev.log      one line per grab request: "grab <entry> <arg>"
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int kMaxFds = 4096;
constexpr int kMaxEntries = 256;
constexpr int kMaxValues = 64;

// Which node each descriptor the program opened through us refers to.
char g_fd_node[kMaxFds][64];

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
#define REAL(fn) \
  static auto real_##fn = next_fn(&fn, #fn)

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
  if (fd < 0 || fd >= kMaxFds || !g_fd_node[fd][0]) return nullptr;
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

int evdev_ioctl(const char* entry, unsigned long req, void* arg) {
  Config c;
  if (!load(entry, &c)) return fail_with(ENODEV);
  unsigned type = _IOC_TYPE(req), nr = _IOC_NR(req), dir = _IOC_DIR(req);
  size_t len = _IOC_SIZE(req);
  if (type != 'E') return fail_with(ENOTTY);

  if (req == EVIOCGRAB) {
    int on = (int)(intptr_t)arg;
    log_line("grab %s %d\n", entry, on);
    if (fails(c, "grab")) return fail_with(EBUSY);
    return 0;
  }
  if (dir != _IOC_READ) return fail_with(EINVAL);
  if (nr == _IOC_NR(EVIOCGNAME(0))) {
    if (!c.has_name || fails(c, "name")) return fail_with(ENOENT);
    return copy_out(arg, len, c.name, strlen(c.name) + 1);
  }
  if (nr == _IOC_NR(EVIOCGKEY(0))) return copy_out(arg, len, c.keystate, sizeof c.keystate);
  if (nr == _IOC_NR(EVIOCGMTSLOTS(0))) {
    if (fails(c, "mtslots") || len < 4) return fail_with(EINVAL);
    uint32_t code;
    memcpy(&code, arg, 4);
    if (code < ABS_MT_SLOT || code > ABS_MAX) return fail_with(EINVAL);
    size_t slots = (len - 4) / 4;
    for (size_t i = 0; i < slots; i++) {
      // Slots the configuration leaves out hold no contact.
      int32_t v = code == ABS_MT_TRACKING_ID ? -1 : 0;
      for (int s = 0; s < c.slot_sets; s++)
        if (c.slot_code[s] == (int)code && (int)i < c.slot_count[s]) v = c.slot_values[s][i];
      memcpy((char*)arg + 4 + 4 * i, &v, 4);
    }
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
    for (int i = 0; i < c.axis_count; i++)
      if (c.axes[i].axis == axis) info = c.axes[i].info;
    memcpy(arg, &info, sizeof info);
    return 0;
  }
  return fail_with(EINVAL);
}

int open_common(const char* path, int flags, mode_t mode, int (*real)(const char*, int, ...)) {
  char target[4096], entry[64];
  if (redirect(path, target, sizeof target, entry)) {
    int fd = real(target, flags, mode);
    remember(fd, entry);
    return fd;
  }
  int fd = real(path, flags, mode);
  remember(fd, "");
  return fd;
}

mode_t mode_arg(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int by_name(const void* a, const void* b) {
  return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
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
    remember(fd, entry);
    return fd;
  }
  int fd = real(dirfd, path, flags, mode);
  remember(fd, "");
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
  if (fd >= 0 && fd < kMaxFds) g_fd_node[fd][0] = '\0';
  return real_close(fd);
}

int ioctl(int fd, unsigned long req, ...) {
  REAL(ioctl);
  va_list ap;
  va_start(ap, req);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  const char* entry = sim_dir() ? node_of(fd) : nullptr;
  if (entry) return evdev_ioctl(entry, req, arg);
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
