// folian_preview: the status line and keys.  The mouse is a finger on the
// stand-in's multi-touch screen, the page keys are the device's page
// buttons, the power tool's stand-in carries sleep and wake, and folian's
// control FIFO the panel's switches, which the status line shows as folian
// tells them in its log.
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "preview.h"

namespace {

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

// A property of the stand-in power daemon, or -1.
int daemon_property(const Preview& p, const char* name) {
  FILE* f = fopen((p.run_dir + "/lipc/powerd/" + name).c_str(), "r");
  int v = -1;
  if (f && fscanf(f, "%d", &v) != 1) v = -1;
  if (f) fclose(f);
  return v;
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

}  // namespace

std::string controls_modes_text(const Modes& m) {
  std::string flash = m.flash_day || m.flash_night ? "every " + std::to_string(m.flash_day) +
                                                         ", night " + std::to_string(m.flash_night)
                                                   : "never";
  return std::string("n: night ") + (m.night ? "on" : "off") + " | d: dither " +
         (m.dither ? "on" : "off") + " | m: motion " + (m.motion ? "auto" : "off") +
         " | f: flashes " + flash + " | t: turn " + std::to_string(m.degrees);
}

void controls_read_modes(Preview& p) {
  Modes before = p.modes;
  for (const std::string& line : new_lines(p.folian_log, p.run_dir + "/folian.log"))
    note_modes(p.modes, line);
  if (p.modes == before) return;
  p.dirty = true;
  printf("modes %s\n", controls_modes_text(p.modes).c_str());
  fflush(stdout);
}

std::string controls_status_line(const Preview& p) {
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

// Returns false when the window is to close.
bool controls_handle(Preview& p, const SDL_Event& e) {
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
