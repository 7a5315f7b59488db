// folian_preview: what its units share.  The window program is one thread;
// every unit reads and writes the one Preview of the run.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>
#include <sys/types.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

struct Options {
  std::string bundle;
  std::string build_dir = FOLIAN_PREVIEW_BUILD_DIR;
  std::string out;
  int width = 1236;
  int height = 1648;
  double scale = 0;  // 0: as large as the desktop allows
  bool overlay = false;
};

// One accepted update, as the stand-in EPDC logs it.
struct Update {
  int index = 0;  // its snapshot is update_<index>.pgm
  std::string kind;
  unsigned x = 0, y = 0, w = 0, h = 0;
  unsigned waveform = 0, mode = 0;
  Uint32 seen_ms = 0;
};

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
inline constexpr KindLook kKindLooks[] = {{"full", {220, 40, 40, 255}},
                                          {"clean-up", {150, 60, 200, 255}},
                                          {"fast", {235, 140, 0, 255}},
                                          {"partial", {30, 110, 230, 255}}};

inline const KindLook& look(Kind k) { return kKindLooks[(int)k]; }

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

// The run (preview.cpp): the lines `log` has gained at `path` since the last
// call, whole lines only.
std::vector<std::string> new_lines(LogTail& log, const std::string& path);

// The stand-in panel's updates (panel.cpp): the accepted updates the EPDC log
// has gained, queued; then those whose time has come shown, each once the
// panel has finished the one before and its snapshot is written.
void panel_read_updates(Preview& p);
void panel_advance(Preview& p);

// The window and drawing (window.cpp): the window sized to the desktop with
// the panel white; a rectangle of `shown` copied into the panel's texture,
// inverted while a flash lasts; the whole window drawn again.
bool window_open(Preview& p);
void window_upload(Preview& p, const SDL_Rect& r, bool inverted);
void window_render(Preview& p);

// The status line and keys (controls.cpp): the panel's switches read from
// folian's log; the status lines' text; the window's events turned into the
// device's touches, page buttons, power events and control commands (false
// when the window is to close).
void controls_read_modes(Preview& p);
std::string controls_status_line(const Preview& p);
std::string controls_modes_text(const Modes& m);
bool controls_handle(Preview& p, const SDL_Event& e);
