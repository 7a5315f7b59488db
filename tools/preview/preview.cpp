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
//
// This unit is the run: the options, the run directory with the stand-ins'
// nodes, folian started, watched and stopped, and the loop.  The panel's
// updates are panel.cpp's, the window window.cpp's, the status line and the
// keys controls.cpp's.
#include "preview.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kSlotCount = 10;

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
  if (!window_open(p)) {
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
      running = controls_handle(p, e);
      while (running && SDL_PollEvent(&e)) running = controls_handle(p, e);
    }
    panel_read_updates(p);
    controls_read_modes(p);
    panel_advance(p);
    check_child(p);
    if (p.dirty) window_render(p);
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
