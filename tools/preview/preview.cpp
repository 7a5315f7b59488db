// folian_preview: the e-ink panel in a desktop window.
//
// Runs the real folian against the stand-in framebuffer, EPDC and input
// nodes (sim/) and shows what the panel would show: after each update the
// EPDC accepted, the panel's picture as that update left it, in the panel's
// 16 gray levels, with a full refresh flashing its rectangle for as long as
// its waveform takes and a partial one changing only its rectangle.  The
// mouse is a finger on a multi-touch screen, the page keys are the device's
// page buttons, the power tool's stand-in carries sleep and wake, and
// folian's control FIFO the panel's switches (night mode, dithering, motion,
// flashes).
//
// Everything the run leaves (EPDC log, panel snapshots, folian's log) goes
// to the run directory, from which tools/report/refresh_report.py writes a
// refresh report.
#include <SDL.h>
#include <SDL_ttf.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Options {
  std::string bundle;
  std::string build_dir = FOLIAN_PREVIEW_BUILD_DIR;
  std::string out;
  int width = 1236;
  int height = 1648;
  double scale = 0;  // 0: as large as the desktop allows
  bool overlay = false;
};

// The panel's own time for one update with each waveform: a full refresh
// flashes this long.  Typical figures of an EPDC panel at room temperature;
// AUTO lets the driver choose, which for a page of text is usually GC16.
struct Waveform {
  const char* name;
  int ms;
};

Waveform waveform_of(const std::string& kind, unsigned number) {
  bool classic = kind == "classic";
  switch (number) {
    case 1:
      return {"DU", 260};
    case 2:
      return {"GC16", 450};
    case 257:
      return {"AUTO", 450};
  }
  if (classic && number == 5) return {"GL16", 450};
  if (classic && number == 8) return {"REAGL", 380};
  if (!classic && number == 4) return {"REAGL", 380};
  if (!classic && number == 7) return {"DU4", 290};
  return {"?", 450};
}

// One accepted update, as the stand-in EPDC logs it.
struct Update {
  int index = 0;  // its snapshot is update_<index>.pgm
  std::string kind;
  unsigned x = 0, y = 0, w = 0, h = 0;
  unsigned waveform = 0, mode = 0;
  Uint32 seen_ms = 0;
};

bool parse_update(const std::string& line, Update* u) {
  char kind[16];
  if (sscanf(line.c_str(), "update kind=%15s marker=%*u region=%u,%u %ux%u waveform=%u mode=%u",
             kind, &u->x, &u->y, &u->w, &u->h, &u->waveform, &u->mode) != 7)
    return false;
  u->kind = kind;
  return true;
}

// What an update is to a reader: a flash of the whole panel, the full
// refresh that clears what fast refreshes left behind, a fast (DU) refresh
// of something on the move, or a partial one of a page.
enum class Kind { kFlash, kCleanup, kFast, kPartial };

// Each kind's name and its colour in the overlay, in the order of Kind; the
// report uses the same colours.
struct KindLook {
  const char* name;
  SDL_Color colour;
};
constexpr KindLook kKindLooks[] = {{"full", {220, 40, 40, 255}},
                                   {"clean-up", {150, 60, 200, 255}},
                                   {"fast", {235, 140, 0, 255}},
                                   {"partial", {30, 110, 230, 255}}};

const KindLook& look(Kind k) { return kKindLooks[(int)k]; }

// A rectangle outlined for a moment when the overlay is on.
struct Mark {
  SDL_Rect r;
  std::string label;
  Kind kind;
  Uint32 until;
};

// The panel's switches as folian last told them.
struct Modes {
  bool night = false, dither = false, motion = false;
  int flash_day = 0, flash_night = 0;
  int degrees = 0;  // the application's picture turned clockwise
  bool operator==(const Modes&) const = default;
};

// A log another process appends to, read a whole line at a time.
struct LogTail {
  int fd = -1;
  std::string tail;
};

std::vector<std::string> new_lines(LogTail& log, const std::string& path) {
  std::vector<std::string> lines;
  if (log.fd < 0) log.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (log.fd < 0) return lines;
  char buf[8192];
  ssize_t n;
  while ((n = read(log.fd, buf, sizeof buf)) > 0) log.tail.append(buf, (size_t)n);
  size_t start = 0, nl;
  while ((nl = log.tail.find('\n', start)) != std::string::npos) {
    lines.push_back(log.tail.substr(start, nl - start));
    start = nl + 1;
  }
  log.tail.erase(0, start);
  return lines;
}

constexpr Uint32 kMarkMs = 2000;
constexpr Uint32 kSnapshotPatienceMs = 3000;
constexpr int kSlotCount = 10;

struct Preview {
  Options opt;
  std::string run_dir;
  bool own_run_dir = false;
  pid_t child = -1;
  int child_status = -1;  // exit status once it ended
  int touch_fd = -1, keys_fd = -1, power_fd = -1;

  // The EPDC log and folian's own, as read so far.
  LogTail epdc_log, folian_log;
  int next_index = 0;
  std::deque<Update> pending;

  // What the panel shows, and the texture that holds it.
  std::vector<uint8_t> shown;
  std::vector<uint8_t> snap;
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* panel = nullptr;
  TTF_Font* font = nullptr;
  double scale = 1;
  int panel_w = 0, panel_h = 0, bar_h = 0;
  Uint32 flash_until = 0;  // the flash's rectangle inverted until then
  SDL_Rect flash_rect = {};
  Uint32 busy_until = 0;   // the panel takes no update before then
  SDL_Rect fast_run = {};  // the union of the fast refreshes since the last full one
  std::vector<Mark> marks;
  bool dirty = true;  // the window needs drawing again
  bool keys_swapped = false;

  // Status.
  int frames = 0;
  std::map<std::string, int> per_kind;
  std::map<std::string, int> per_waveform;
  std::string last = "none yet";
  bool asleep = false;
  Modes modes;
  std::string notice;

  // The finger.
  bool down = false;
  int tracking_id = 0;
  int touch_x = -1, touch_y = -1;
};

void usage() {
  fprintf(stderr,
          "usage: folian_preview --bundle DIR [--out DIR] [--build DIR] [--size WxH] "
          "[--scale F] [--overlay]\n");
}

bool parse_options(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--overlay") {
      o->overlay = true;
    } else if (a == "--bundle" && v) {
      o->bundle = argv[++i];
    } else if (a == "--out" && v) {
      o->out = argv[++i];
    } else if (a == "--build" && v) {
      o->build_dir = argv[++i];
    } else if (a == "--size" && v) {
      if (sscanf(argv[++i], "%dx%d", &o->width, &o->height) != 2 || o->width < 16 ||
          o->height < 16) {
        fprintf(stderr, "folian_preview: bad --size %s\n", v);
        return false;
      }
    } else if (a == "--scale" && v) {
      o->scale = atof(argv[++i]);
      if (!(o->scale > 0.05 && o->scale <= 4)) {
        fprintf(stderr, "folian_preview: bad --scale %s\n", v);
        return false;
      }
    } else {
      usage();
      return false;
    }
  }
  if (o->bundle.empty()) {
    usage();
    return false;
  }
  return true;
}

bool write_file(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

// A FIFO held open for reading and writing: the program's reads never see
// its end, and our writes never block on a reader that is not there yet.
int make_fifo(const std::string& path) {
  unlink(path.c_str());
  if (mkfifo(path.c_str(), 0600) != 0) return -1;
  return open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

// The run directory's old pictures, nodes and logs are cleared before a run,
// so a directory given with --out must be one of ours: every run leaves this
// file in it (the demo and preview scripts use the same one).  A directory
// that holds anything else and lacks the file is refused untouched, be it a
// home or a desktop named by mistake.
constexpr const char* kOutputMark = ".folian-output";

bool out_dir_ours(const std::string& dir) {
  std::error_code ec;
  fs::file_status st = fs::symlink_status(dir, ec);
  if (st.type() == fs::file_type::not_found) return true;
  if (!fs::is_directory(dir, ec)) return false;
  bool empty = fs::is_empty(dir, ec);
  if (ec) return false;
  return empty || fs::is_regular_file(dir + "/" + kOutputMark, ec);
}

bool prepare_run_dir(Preview& p) {
  std::error_code ec;
  if (p.opt.out.empty()) {
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/folian-preview-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return false;
    p.run_dir = buf.data();
    p.own_run_dir = true;
  } else {
    p.run_dir = p.opt.out;
    fs::create_directories(p.run_dir, ec);
    if (!write_file(p.run_dir + "/" + kOutputMark,
                    "output of a folian run: the next run replaces what it wrote here\n"))
      return false;
    // A previous run's pictures would be taken for this run's.
    fs::remove_all(p.run_dir + "/snaps", ec);
  }
  fs::remove_all(p.run_dir + "/evdev", ec);
  fs::remove_all(p.run_dir + "/lipc", ec);
  const std::string d = p.run_dir;
  for (const char* sub : {"/snaps", "/evdev/dev", "/evdev/conf", "/lipc/powerd"}) {
    fs::create_directories(d + sub, ec);
    if (ec) return false;
  }
  if (!write_file(d + "/epdc.log", "")) return false;
  // The stand-in power daemon's battery, light and warmth, which the app
  // reads and sets through folian and the status line shows.
  for (const char* prop : {"battLevel 80", "isCharging 0", "flIntensity 12", "currentAmberLevel 6",
                           "preventScreenSaver 0"}) {
    std::string kv = prop;
    size_t blank = kv.find(' ');
    if (!write_file(d + "/lipc/powerd/" + kv.substr(0, blank), kv.substr(blank + 1) + "\n"))
      return false;
  }

  // One multi-touch screen whose axes are the panel's pixels, and one
  // device with the two page buttons.
  char touch[512];
  snprintf(touch, sizeof touch,
           "name folian preview touch\ntypes 0,1,3\nabs 47,53,54,57\nkeys 330\n"
           "absinfo 47 0 0 %d\nabsinfo 53 0 0 %d\nabsinfo 54 0 0 %d\nabsinfo 57 0 0 65535\n",
           kSlotCount - 1, p.opt.width - 1, p.opt.height - 1);
  if (!write_file(d + "/evdev/conf/event0", touch) ||
      !write_file(d + "/evdev/conf/event1",
                  "name folian preview page keys\ntypes 0,1\nkeys 104,109\n"))
    return false;
  p.touch_fd = make_fifo(d + "/evdev/dev/event0");
  p.keys_fd = make_fifo(d + "/evdev/dev/event1");
  p.power_fd = make_fifo(d + "/lipc/events");
  return p.touch_fd >= 0 && p.keys_fd >= 0 && p.power_fd >= 0;
}

void remove_runtime_files(Preview& p) {
  std::error_code ec;
  fs::remove_all(p.run_dir + "/evdev", ec);
  fs::remove_all(p.run_dir + "/lipc", ec);
  if (p.own_run_dir) fs::remove_all(p.run_dir, ec);
}

pid_t start_folian(Preview& p) {
  const std::string b = p.opt.build_dir, d = p.run_dir;
  // The stand-ins go by name, found through the library path: the loader
  // splits LD_PRELOAD at blanks, which the build's path may hold.
  std::string preload = "libsim_fb.so:libsim_evdev.so:libsim_paths.so";
  if (const char* old = getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
  std::string library_path = b + "/sim";
  if (const char* old = getenv("LD_LIBRARY_PATH"); old && *old)
    library_path += std::string(":") + old;
  std::map<std::string, std::string> set = {
      {"LD_PRELOAD", preload},
      {"LD_LIBRARY_PATH", library_path},
      {"FOLIAN_FB", "/dev/fb0"},
      {"FOLIAN_SIM_FB_PATH", "/dev/fb0"},
      {"FOLIAN_SIM_FB_XRES", std::to_string(p.opt.width)},
      {"FOLIAN_SIM_FB_YRES", std::to_string(p.opt.height)},
      {"FOLIAN_SIM_FB_BPP", "8"},
      {"FOLIAN_SIM_EPDC", "mtk"},
      {"FOLIAN_SIM_EPDC_LOG", d + "/epdc.log"},
      {"FOLIAN_SIM_EPDC_SNAP_DIR", d + "/snaps"},
      {"FOLIAN_SIM_EVDEV_DIR", d + "/evdev"},
      {"FOLIAN_SIM_LIPC_BIN", b + "/sim/lipc/bin"},
      {"FOLIAN_SIM_LIPC_DIR", d + "/lipc"},
      {"FOLIAN_CONTROL", d + "/control"},
  };
  // The user's own choice of these stays.  Unless asked, the screen found
  // at start is not put back at exit: the window is gone by then, and the
  // run's refreshes are the application's own.
  std::map<std::string, std::string> fallback = {
      {"FOLIAN_LOG_FRAMES", "1"}, {"FOLIAN_LOG_TOUCH", "1"}, {"FOLIAN_KEEP_SCREEN", "1"}};
  std::vector<std::string> env;
  for (char** e = environ; *e; e++) {
    std::string kv = *e;
    std::string key = kv.substr(0, kv.find('='));
    if (set.count(key) || key.rfind("FOLIAN_FB_FILE", 0) == 0) continue;
    fallback.erase(key);
    env.push_back(kv);
  }
  for (auto& [k, v] : set) env.push_back(k + "=" + v);
  for (auto& [k, v] : fallback) env.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::string exe = b + "/folian";
  std::string log = d + "/folian.log";
  std::vector<char*> argv = {exe.data(), (char*)"--bundle", p.opt.bundle.data(), nullptr};
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // Should the window program die without closing, folian goes too.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    signal(SIGPIPE, SIG_DFL);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    execve(exe.c_str(), argv.data(), envp.data());
    fprintf(stderr, "folian_preview: cannot start %s: %s\n", exe.c_str(), strerror(errno));
    _exit(127);
  }
  return pid;
}

// ---- input records

void add_event(std::vector<input_event>& out, int type, int code, int value) {
  input_event e;
  memset(&e, 0, sizeof e);
  timeval now;
  gettimeofday(&now, nullptr);
  e.input_event_sec = now.tv_sec;
  e.input_event_usec = now.tv_usec;
  e.type = (uint16_t)type;
  e.code = (uint16_t)code;
  e.value = value;
  out.push_back(e);
}

// One packet, ended by SYN_REPORT, in one write so that the program never
// reads half of it.
void send_packet(Preview& p, int fd, std::vector<input_event> events) {
  if (p.child_status >= 0 || events.empty()) return;
  add_event(events, EV_SYN, SYN_REPORT, 0);
  size_t bytes = events.size() * sizeof(input_event);
  if (write(fd, events.data(), bytes) != (ssize_t)bytes) {
    p.notice = std::string("input node full or gone: ") + strerror(errno);
    p.dirty = true;
  }
}

void finger(Preview& p, int phase, int wx, int wy) {
  int x = std::clamp((int)(wx / p.scale), 0, p.opt.width - 1);
  int y = std::clamp((int)(wy / p.scale), 0, p.opt.height - 1);
  std::vector<input_event> ev;
  if (phase == 0) {
    p.down = true;
    add_event(ev, EV_ABS, ABS_MT_SLOT, 0);
    add_event(ev, EV_ABS, ABS_MT_TRACKING_ID, p.tracking_id++ & 0xFFFF);
    add_event(ev, EV_ABS, ABS_MT_POSITION_X, x);
    add_event(ev, EV_ABS, ABS_MT_POSITION_Y, y);
    add_event(ev, EV_KEY, BTN_TOUCH, 1);
  } else if (phase == 1) {
    if (x != p.touch_x) add_event(ev, EV_ABS, ABS_MT_POSITION_X, x);
    if (y != p.touch_y) add_event(ev, EV_ABS, ABS_MT_POSITION_Y, y);
  } else {
    p.down = false;
    add_event(ev, EV_ABS, ABS_MT_TRACKING_ID, -1);
    add_event(ev, EV_KEY, BTN_TOUCH, 0);
  }
  p.touch_x = x;
  p.touch_y = y;
  send_packet(p, p.touch_fd, ev);
}

void page_key(Preview& p, int code, bool press) {
  std::vector<input_event> ev;
  add_event(ev, EV_KEY, code, press ? 1 : 0);
  send_packet(p, p.keys_fd, ev);
}

void power_line(Preview& p, const char* line) {
  std::string text = std::string(line) + "\n";
  if (write(p.power_fd, text.data(), text.size()) != (ssize_t)text.size())
    p.notice = std::string("power events: ") + strerror(errno);
}

// One command on folian's control FIFO, the door through which a script
// turns the panel's switches as the application's channel methods do.  The
// FIFO is opened for each line: folian makes it late in its start-up and
// removes it when it ends, and an open without a reader fails at once.
void control_line(Preview& p, const std::string& line) {
  int fd = open((p.run_dir + "/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  std::string text = line + "\n";
  if (fd < 0 || write(fd, text.data(), text.size()) != (ssize_t)text.size())
    p.notice = "control FIFO: " + std::string(strerror(errno)) + " (" + line + " not sent)";
  if (fd >= 0) close(fd);
  p.dirty = true;
}

// Flashes by count when the key turns them on: every sixth page by day,
// every third in night mode, where ghosts show more.
constexpr const char* kFlashOn = "flash 6 3";

std::string modes_text(const Modes& m) {
  std::string flash = m.flash_day || m.flash_night ? "every " + std::to_string(m.flash_day) +
                                                         ", night " + std::to_string(m.flash_night)
                                                   : "never";
  return std::string("n: night ") + (m.night ? "on" : "off") + " | d: dither " +
         (m.dither ? "on" : "off") + " | m: motion " + (m.motion ? "auto" : "off") +
         " | f: flashes " + flash + " | t: turn " + std::to_string(m.degrees);
}

// What folian tells of the panel's switches: at start the ones that are
// not off, then every change, whoever made it (the application through its
// channel, a control command, this window's keys).
void note_modes(Modes& m, const std::string& line) {
  size_t at = line.find("] ");
  if (at == std::string::npos) return;
  const char* s = line.c_str() + at + 2;
  auto starts = [s](const char* prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; };
  int day, night, degrees;
  if (sscanf(s, "屏幕方向 → %d", &degrees) == 1 || sscanf(s, "屏幕方向 %d", &degrees) == 1) {
    m.degrees = degrees;
  } else if (sscanf(s, "整屏闪刷：日间每 %d 次，夜间每 %d 次", &day, &night) == 2) {
    m.flash_day = day;
    m.flash_night = night;
    if (strstr(s, "运动模式 auto")) m.motion = true;  // the start-up's line
  } else if (starts("夜间模式 → ")) {
    m.night = strstr(s, "开") != nullptr;
  } else if (starts("抖动 → ")) {
    m.dither = strstr(s, "开") != nullptr;
  } else if (starts("运动模式 → ")) {
    m.motion = strstr(s, "auto") != nullptr;
  } else if (starts("夜间模式开") || starts("夜间模式关")) {  // the start-up's line
    m.night = starts("夜间模式开");
    m.dither = strstr(s, "抖动开") != nullptr;
  }
}

void read_folian_log(Preview& p) {
  Modes before = p.modes;
  for (const std::string& line : new_lines(p.folian_log, p.run_dir + "/folian.log"))
    note_modes(p.modes, line);
  if (p.modes == before) return;
  p.dirty = true;
  printf("modes %s\n", modes_text(p.modes).c_str());
  fflush(stdout);
}

// ---- the EPDC log and the panel snapshots

void read_epdc_log(Preview& p) {
  for (const std::string& line : new_lines(p.epdc_log, p.run_dir + "/epdc.log")) {
    if (line.rfind("update ", 0) != 0) continue;
    Update u;
    // Every accepted update has its snapshot, whether or not we can read the line.
    u.index = p.next_index++;
    if (!parse_update(line, &u)) {
      p.notice = "unreadable EPDC log line: " + line;
      p.dirty = true;
      continue;
    }
    u.seen_ms = SDL_GetTicks();
    p.pending.push_back(u);
  }
}

// The snapshot once the stand-in has written all of it.
bool load_snapshot(Preview& p, int index) {
  char name[64];
  snprintf(name, sizeof name, "/snaps/update_%04d.pgm", index);
  FILE* f = fopen((p.run_dir + name).c_str(), "rb");
  if (!f) return false;
  unsigned w = 0, h = 0;
  int maxval = 0;
  bool ok = fscanf(f, "P5 %u %u %d", &w, &h, &maxval) == 3 && fgetc(f) == '\n' &&
            (int)w == p.opt.width && (int)h == p.opt.height && maxval == 255;
  if (ok) {
    p.snap.resize((size_t)w * h);
    ok = fread(p.snap.data(), 1, p.snap.size(), f) == p.snap.size();
  }
  fclose(f);
  return ok;
}

// The panel shows 16 gray levels, 0, 17, ..., 255: a gray of the
// framebuffer between two of them is shown as the nearer.  That is what
// makes an undithered gradient a staircase of bands, and why dithering
// helps.
uint8_t panel_level(uint8_t v) { return (uint8_t)((v + 8) / 17 * 17); }

// Copies a rectangle of `shown` into the texture, inverted during a flash.
void upload(Preview& p, const SDL_Rect& r, bool inverted) {
  void* pixels;
  int pitch;
  if (SDL_LockTexture(p.panel, &r, &pixels, &pitch) != 0) return;
  for (int y = 0; y < r.h; y++) {
    const uint8_t* src = p.shown.data() + (size_t)(r.y + y) * p.opt.width + r.x;
    uint32_t* dst = (uint32_t*)((uint8_t*)pixels + (size_t)y * pitch);
    for (int x = 0; x < r.w; x++) {
      uint32_t g = panel_level(src[x]);
      if (inverted) g = 255u - g;
      dst[x] = 0xFF000000u | g << 16 | g << 8 | g;
    }
  }
  SDL_UnlockTexture(p.panel);
}

void apply(Preview& p, const Update& u) {
  Uint32 now = SDL_GetTicks();
  Waveform wf = waveform_of(u.kind, u.waveform);
  bool full = u.mode == 1;
  SDL_Rect whole = {0, 0, p.opt.width, p.opt.height};
  SDL_Rect r = {(int)u.x, (int)u.y, (int)u.w, (int)u.h};
  if (!SDL_IntersectRect(&r, &whole, &r)) r = {0, 0, 0, 0};
  // A clean-up refreshes the union of the fast refreshes before it, which
  // may be the whole panel.
  Kind kind = Kind::kPartial;
  if (full) {
    bool cleanup = !SDL_RectEmpty(&p.fast_run) && SDL_RectEquals(&r, &p.fast_run);
    kind = SDL_RectEquals(&r, &whole) && !cleanup ? Kind::kFlash : Kind::kCleanup;
    p.fast_run = {};
  } else if (strcmp(wf.name, "DU") == 0) {
    kind = Kind::kFast;
    SDL_UnionRect(&p.fast_run, &r, &p.fast_run);
  }
  if (r.w > 0 && r.h > 0) {
    for (int y = r.y; y < r.y + r.h; y++) {
      size_t at = (size_t)y * p.opt.width + r.x;
      memcpy(p.shown.data() + at, p.snap.data() + at, (size_t)r.w);
    }
    // A full refresh drives every pixel of its rectangle through the
    // inverse before settling on the picture; that flash is what a reader
    // sees.
    upload(p, r, full);
  }
  if (full) {
    p.flash_rect = r;
    p.flash_until = now + (Uint32)wf.ms / 2;
    p.busy_until = now + (Uint32)wf.ms;
  }
  p.frames++;
  p.per_kind[look(kind).name]++;
  p.per_waveform[wf.name]++;
  char text[160];
  snprintf(text, sizeof text, "%s (%u,%u) %ux%u %s", look(kind).name, u.x, u.y, u.w, u.h, wf.name);
  p.last = text;
  std::string label = wf.name;
  if (kind == Kind::kCleanup) label += " clean-up";
  p.marks.push_back({r, label, kind, now + kMarkMs});
  p.dirty = true;
  printf("shown update %d %s\n", u.index, text);
  fflush(stdout);
}

void advance(Preview& p) {
  Uint32 now = SDL_GetTicks();
  if (p.flash_until && SDL_TICKS_PASSED(now, p.flash_until)) {
    p.flash_until = 0;
    upload(p, p.flash_rect, false);
    p.dirty = true;
  }
  while (!p.pending.empty() && SDL_TICKS_PASSED(now, p.busy_until)) {
    const Update& u = p.pending.front();
    if (!load_snapshot(p, u.index)) {
      if (!SDL_TICKS_PASSED(now, u.seen_ms + kSnapshotPatienceMs)) break;
      p.notice = "no snapshot for update " + std::to_string(u.index);
      p.dirty = true;
      p.pending.pop_front();
      continue;
    }
    apply(p, u);
    p.pending.pop_front();
  }
  size_t before = p.marks.size();
  p.marks.erase(std::remove_if(p.marks.begin(), p.marks.end(),
                               [&](const Mark& m) { return SDL_TICKS_PASSED(now, m.until); }),
                p.marks.end());
  if (p.marks.size() != before && p.opt.overlay) p.dirty = true;
}

// ---- drawing

void draw_text(Preview& p, const std::string& text, int x, int y, SDL_Color color) {
  if (!p.font || text.empty()) return;
  SDL_Surface* s = TTF_RenderUTF8_Blended(p.font, text.c_str(), color);
  if (!s) return;
  SDL_Texture* t = SDL_CreateTextureFromSurface(p.renderer, s);
  SDL_Rect dst = {x, y, s->w, s->h};
  SDL_FreeSurface(s);
  if (!t) return;
  SDL_RenderCopy(p.renderer, t, nullptr, &dst);
  SDL_DestroyTexture(t);
}

// A property of the stand-in power daemon, or -1.
int daemon_property(const Preview& p, const char* name) {
  FILE* f = fopen((p.run_dir + "/lipc/powerd/" + name).c_str(), "r");
  int v = -1;
  if (f && fscanf(f, "%d", &v) != 1) v = -1;
  if (f) fclose(f);
  return v;
}

std::string status_line(const Preview& p) {
  std::string s = "frame " + std::to_string(p.frames) + " | last: " + p.last + " |";
  for (auto& [k, n] : p.per_kind) s += " " + k + " " + std::to_string(n);
  s += " |";
  for (auto& [k, n] : p.per_waveform) s += " " + k + " " + std::to_string(n);
  if (p.asleep) s += " | screensaver";
  s += " | battery " + std::to_string(daemon_property(p, "battLevel")) + "%";
  if (daemon_property(p, "isCharging") == 1) s += " charging";
  s += " | light " + std::to_string(daemon_property(p, "flIntensity")) + "/24 warmth " +
       std::to_string(daemon_property(p, "currentAmberLevel")) + "/24";
  if (daemon_property(p, "preventScreenSaver") == 1) s += " | kept awake";
  if (p.child_status >= 0) s += " | folian ended, status " + std::to_string(p.child_status);
  return s;
}

void render(Preview& p) {
  SDL_SetRenderDrawColor(p.renderer, 40, 40, 40, 255);
  SDL_RenderClear(p.renderer);
  SDL_Rect panel = {0, 0, p.panel_w, p.panel_h};
  SDL_RenderCopy(p.renderer, p.panel, nullptr, &panel);
  if (p.opt.overlay) {
    for (const Mark& m : p.marks) {
      SDL_Rect r = {(int)(m.r.x * p.scale), (int)(m.r.y * p.scale),
                    std::max(2, (int)(m.r.w * p.scale)), std::max(2, (int)(m.r.h * p.scale))};
      SDL_Color c = look(m.kind).colour;
      SDL_SetRenderDrawColor(p.renderer, c.r, c.g, c.b, 255);
      for (int i = 0; i < 3; i++) {
        SDL_Rect edge = {r.x + i, r.y + i, r.w - 2 * i, r.h - 2 * i};
        SDL_RenderDrawRect(p.renderer, &edge);
      }
      int tw = 0, th = 0;
      if (p.font) TTF_SizeUTF8(p.font, m.label.c_str(), &tw, &th);
      SDL_Rect tag = {r.x + 3, r.y + 3, tw + 10, th + 2};
      SDL_RenderFillRect(p.renderer, &tag);
      draw_text(p, m.label, r.x + 8, r.y + 4, {255, 255, 255, 255});
    }
  }
  SDL_SetRenderDrawColor(p.renderer, 24, 24, 24, 255);
  SDL_Rect bar = {0, p.panel_h, p.panel_w, p.bar_h};
  SDL_RenderFillRect(p.renderer, &bar);
  int line = p.font ? TTF_FontLineSkip(p.font) : 0;
  draw_text(p, status_line(p), 6, p.panel_h + 4, {235, 235, 235, 255});
  draw_text(p, modes_text(p.modes), 6, p.panel_h + 4 + line, {235, 235, 235, 255});
  std::string help =
      "mouse: finger | PgDn, \u2192, \u2193: next | PgUp, \u2190, \u2191: back | o: overlay " +
      std::string(p.opt.overlay ? "on" : "off") + " | s: sleep | w: wake | r: repaint | q: quit";
  if (!p.notice.empty()) help = p.notice;
  draw_text(p, help, 6, p.panel_h + 4 + 2 * line, {160, 160, 160, 255});
  SDL_RenderPresent(p.renderer);
}

bool open_window(Preview& p) {
  const char* fonts[] = {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                         "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"};
  for (const char* f : fonts)
    if (!p.font) p.font = TTF_OpenFont(f, 13);
  if (!p.font) fprintf(stderr, "folian_preview: no DejaVu font, the status line stays empty\n");
  p.bar_h = p.font ? 3 * TTF_FontLineSkip(p.font) + 8 : 8;

  p.scale = p.opt.scale;
  if (p.scale <= 0) {
    SDL_Rect usable;
    p.scale = 0.5;
    if (SDL_GetDisplayUsableBounds(0, &usable) == 0)
      p.scale = std::min(
          {1.0, (usable.w - 16.0) / p.opt.width, (usable.h - p.bar_h - 48.0) / p.opt.height});
    p.scale = std::max(p.scale, 0.1);
  }
  p.panel_w = (int)(p.opt.width * p.scale + 0.5);
  p.panel_h = (int)(p.opt.height * p.scale + 0.5);
  // Smooth scaling keeps text on the panel readable below full size.
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
  std::string title = "folian preview - " + p.opt.bundle;
  p.window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                              p.panel_w, p.panel_h + p.bar_h, 0);
  if (!p.window) return false;
  p.renderer = SDL_CreateRenderer(p.window, -1, 0);
  if (!p.renderer) return false;
  p.panel = SDL_CreateTexture(p.renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING,
                              p.opt.width, p.opt.height);
  if (!p.panel) return false;
  // The stand-in's memory starts white, as a panel after power-on.
  p.shown.assign((size_t)p.opt.width * p.opt.height, 0xFF);
  upload(p, {0, 0, p.opt.width, p.opt.height}, false);
  return true;
}

// ---- events

// The device's page buttons: its next-page button sends KEY_PAGEUP and its
// previous-page button KEY_PAGEDOWN, unless FOLIAN_PAGE_KEYS_SWAP says the
// device has them the other way round.  Page Down on the desktop is always
// the next page.
int page_code(SDL_Keycode k, bool swapped) {
  int next = swapped ? KEY_PAGEDOWN : KEY_PAGEUP;
  int previous = swapped ? KEY_PAGEUP : KEY_PAGEDOWN;
  switch (k) {
    case SDLK_PAGEDOWN:
    case SDLK_RIGHT:
    case SDLK_DOWN:
      return next;
    case SDLK_PAGEUP:
    case SDLK_LEFT:
    case SDLK_UP:
      return previous;
  }
  return 0;
}

// Returns false when the window is to close.
bool handle(Preview& p, const SDL_Event& e) {
  if (e.type != SDL_MOUSEMOTION) p.dirty = true;
  switch (e.type) {
    case SDL_QUIT:
      return false;
    case SDL_MOUSEBUTTONDOWN:
      if (e.button.button == SDL_BUTTON_LEFT && e.button.y < p.panel_h && !p.down)
        finger(p, 0, e.button.x, e.button.y);
      break;
    case SDL_MOUSEMOTION:
      if (p.down) finger(p, 1, e.motion.x, e.motion.y);
      break;
    case SDL_MOUSEBUTTONUP:
      if (e.button.button == SDL_BUTTON_LEFT && p.down) finger(p, 2, e.button.x, e.button.y);
      break;
    case SDL_KEYDOWN:
    case SDL_KEYUP: {
      bool press = e.type == SDL_KEYDOWN;
      if (int code = page_code(e.key.keysym.sym, p.keys_swapped)) {
        if (!e.key.repeat) page_key(p, code, press);
        break;
      }
      if (!press || e.key.repeat) break;
      switch (e.key.keysym.sym) {
        case SDLK_o:
          p.opt.overlay = !p.opt.overlay;
          break;
        case SDLK_s:
          power_line(p, "goingToScreenSaver");
          p.asleep = true;
          break;
        case SDLK_w:
          power_line(p, "outOfScreenSaver");
          p.asleep = false;
          break;
        case SDLK_r:
          if (p.child_status < 0) kill(p.child, SIGUSR1);
          break;
        case SDLK_n:
          control_line(p, p.modes.night ? "night off" : "night on");
          break;
        case SDLK_d:
          control_line(p, p.modes.dither ? "dither off" : "dither on");
          break;
        case SDLK_m:
          control_line(p, p.modes.motion ? "motion off" : "motion auto");
          break;
        case SDLK_t:
          control_line(p, "rotate " + std::to_string((p.modes.degrees + 90) % 360));
          break;
        case SDLK_f:
          control_line(p, p.modes.flash_day || p.modes.flash_night ? "flash 0" : kFlashOn);
          break;
        case SDLK_q:
        case SDLK_ESCAPE:
          return false;
      }
      break;
    }
  }
  return true;
}

int status_of(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return 255;
}

void check_child(Preview& p) {
  int ws;
  if (p.child_status < 0 && waitpid(p.child, &ws, WNOHANG) == p.child) {
    p.child_status = status_of(ws);
    printf("folian exited with status %d\n", p.child_status);
    fflush(stdout);
    p.dirty = true;
  }
}

// SIGTERM, then the time folian's own shutdown watchdog allows and a
// little more, then SIGKILL.
void stop_child(Preview& p) {
  if (p.child_status >= 0) return;
  kill(p.child, SIGTERM);
  int ws;
  for (int i = 0; i < 400; i++) {
    if (waitpid(p.child, &ws, WNOHANG) == p.child) {
      p.child_status = status_of(ws);
      break;
    }
    usleep(50 * 1000);
  }
  if (p.child_status < 0) {
    kill(p.child, SIGKILL);
    waitpid(p.child, &ws, 0);
    p.child_status = status_of(ws);
  }
  printf("folian exited with status %d\n", p.child_status);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Preview p;
  // A control line written just as folian ends must not end the window.
  signal(SIGPIPE, SIG_IGN);
  if (!parse_options(argc, argv, &p.opt)) return 2;
  const char* swap = getenv("FOLIAN_PAGE_KEYS_SWAP");
  p.keys_swapped = swap && (strcmp(swap, "1") == 0 || strcmp(swap, "true") == 0);
  // Without a stand-in the program would reach for the machine's own
  // framebuffer and input devices.
  for (const char* part : {"/folian", "/sim/libsim_fb.so", "/sim/libsim_evdev.so",
                           "/sim/libsim_paths.so", "/sim/lipc/bin/lipc-wait-event"}) {
    if (access((p.opt.build_dir + part).c_str(), R_OK) != 0) {
      fprintf(stderr,
              "folian_preview: %s%s is missing; build folian, flutter_engine, sim_fb, sim_evdev, "
              "sim_paths and sim_lipc first\n",
              p.opt.build_dir.c_str(), part);
      return 2;
    }
  }
  if (!p.opt.out.empty() && !out_dir_ours(p.opt.out)) {
    fprintf(stderr,
            "folian_preview: %s holds files and is not an earlier run's output (it has no %s); "
            "it is left as it is\n",
            p.opt.out.c_str(), kOutputMark);
    return 2;
  }
  if (SDL_Init(SDL_INIT_VIDEO) != 0 || TTF_Init() != 0) {
    fprintf(stderr, "folian_preview: %s\n", SDL_GetError());
    return 2;
  }
  if (!prepare_run_dir(p)) {
    fprintf(stderr, "folian_preview: cannot prepare the run directory %s: %s\n", p.run_dir.c_str(),
            strerror(errno));
    return 2;
  }
  if (!open_window(p)) {
    fprintf(stderr, "folian_preview: %s\n", SDL_GetError());
    remove_runtime_files(p);
    return 2;
  }
  p.child = start_folian(p);
  if (p.child < 0) {
    fprintf(stderr, "folian_preview: fork: %s\n", strerror(errno));
    remove_runtime_files(p);
    return 2;
  }
  int x, y;
  SDL_GetWindowPosition(p.window, &x, &y);
  printf("folian pid %d, panel %dx%d at scale %.3f (window at %d,%d), run directory %s\n",
         (int)p.child, p.opt.width, p.opt.height, p.scale, x, y, p.run_dir.c_str());
  fflush(stdout);

  bool running = true;
  while (running) {
    SDL_Event e;
    if (SDL_WaitEventTimeout(&e, 10)) {
      running = handle(p, e);
      while (running && SDL_PollEvent(&e)) running = handle(p, e);
    }
    read_epdc_log(p);
    read_folian_log(p);
    advance(p);
    check_child(p);
    if (p.dirty) render(p);
    p.dirty = false;
  }
  SDL_HideWindow(p.window);
  stop_child(p);
  remove_runtime_files(p);
  if (p.font) TTF_CloseFont(p.font);
  SDL_DestroyTexture(p.panel);
  SDL_DestroyRenderer(p.renderer);
  SDL_DestroyWindow(p.window);
  TTF_Quit();
  SDL_Quit();
  return p.child_status;
}
