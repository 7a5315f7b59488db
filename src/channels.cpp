// The application's e-ink method channels and their deferred work.
#include "channels.h"

#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <initializer_list>
#include <optional>

#include "codec.h"
#include "display.h"
#include "eink.h"
#include "engine.h"
#include "log.h"
#include "orientation.h"
#include "policy.h"

namespace {

constexpr uint64_t kNsPerMs = 1000000ull;
// While the panel animates a page turn, a full refresh would cut it short;
// it is retried in steps of this length until the animation is over.
constexpr uint64_t kSwipeRetryNs = 50 * kNsPerMs;
// The device's screensaver paints its own picture first; drawing the cover
// sooner would be painted over.
constexpr uint64_t kCoverDelayNs = 1200 * kNsPerMs;
constexpr size_t kNameCapacity = 64;
// An application asks whether the panel animates page turns at start-up,
// before the first refresh has found out; the answer waits for that refresh,
// but no longer than this.
constexpr uint64_t kKindWaitNs = 2000 * kNsPerMs;
constexpr int kMaxHeldReplies = 16;

uint64_t g_full_refresh_at = 0;  // engine clock, 0 = none pending
uint64_t g_cover_at = 0;
char g_cover_path[512] = "";
int32_t g_cover_width = 0;
int32_t g_cover_height = 0;

// Replies about page turns held back until the driver kind is known.
struct HeldReply {
  FLUTTER_API_SYMBOL(FlutterEngine) engine;
  const FlutterPlatformMessageResponseHandle* handle;
  uint64_t until;  // engine clock
};
HeldReply g_held[kMaxHeldReplies];
int g_held_count = 0;

enum class Channel { kNone, kEpd, kSleepCover, kEpdc };

Channel channel_of(const char* name) {
  if (!name) return Channel::kNone;
  if (strcmp(name, "app.folian.eink_epd") == 0) return Channel::kEpd;
  if (strcmp(name, "app.folian.eink_sleep_cover") == 0) return Channel::kSleepCover;
  if (strcmp(name, "app.folian.ireader_epdc") == 0) return Channel::kEpdc;
  return Channel::kNone;
}

// Saturates instead of wrapping: a deadline that wrapped would look due at
// once, or become 0, which means "none pending".
uint64_t deadline_after(uint64_t now, uint64_t ns) {
  return ns > UINT64_MAX - now ? UINT64_MAX : now + ns;
}

bool fits_u32(uint64_t n) { return n <= UINT32_MAX; }

uint64_t delay_ms_to_ns(int64_t ms) {
  uint64_t v = (uint64_t)ms;
  return v > UINT64_MAX / kNsPerMs ? UINT64_MAX : v * kNsPerMs;
}

void respond(FLUTTER_API_SYMBOL(FlutterEngine) engine,
             const FlutterPlatformMessageResponseHandle* handle, const uint8_t* data, size_t size) {
  // A message sent without a response handle expects no answer.
  if (!handle) return;
  engine_api().SendPlatformMessageResponse(engine, handle, data, size);
}

void send_reply(FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterPlatformMessage* message,
                codec_writer& w) {
  respond(engine, message->response_handle, w.buffer, w.used);
}

void send_bool(FLUTTER_API_SYMBOL(FlutterEngine) engine,
               const FlutterPlatformMessageResponseHandle* handle, bool flag) {
  codec_writer w;
  write_success_envelope(w);
  write_bool(w, flag);
  respond(engine, handle, w.buffer, w.used);
}

void reply_bool(FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterPlatformMessage* message,
                bool flag) {
  send_bool(engine, message->response_handle, flag);
}

// Whether the panel animates page turns: answered now when the driver kind
// is known (or nobody waits for the answer), else held back until it is.
void reply_swipe_support(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                         const FlutterPlatformMessage* message) {
  if (message->response_handle && eink_kind_pending() && g_held_count < kMaxHeldReplies) {
    uint64_t until = deadline_after(engine_api().GetCurrentTime(), kKindWaitNs);
    g_held[g_held_count++] = {engine, message->response_handle, until};
    return;
  }
  reply_bool(engine, message, eink_supports_swipe());
}

// Sends the held replies whose wait is over, in the order they were asked:
// all of them once the kind is known, the rest when their time is up.
void answer_held(uint64_t now, bool all) {
  bool known = !eink_kind_pending();
  int kept = 0;
  for (int i = 0; i < g_held_count; i++) {
    const HeldReply& r = g_held[i];
    if (all || known || now >= r.until)
      send_bool(r.engine, r.handle, eink_supports_swipe());
    else
      g_held[kept++] = r;
  }
  g_held_count = kept;
}

void write_int_entry(codec_writer& w, const char* key, int value) {
  write_string(w, key);
  write_int(w, value);
}

void write_bool_entry(codec_writer& w, const char* key, bool value) {
  write_string(w, key);
  write_bool(w, value);
}

// The driver and the frames' format, then the panel's modes and the flash
// count as they are now.
void reply_diagnostics(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                       const FlutterPlatformMessage* message) {
  const char* driver = eink_kind_name();
  DisplayModes modes = display_modes();
  codec_writer w;
  write_success_envelope(w);
  write_map_header(w, 10);
  write_string(w, "platform");
  write_string(w, "kindle");
  write_string(w, "driver");
  write_string(w, driver ? driver : "");
  write_string(w, "pixels");
  write_string(w, modes.pixels ? modes.pixels : "");
  write_bool_entry(w, "night", modes.night);
  write_string(w, "motion");
  write_string(w, policy_motion_name(modes.motion));
  write_bool_entry(w, "dithering", modes.dithering);
  write_int_entry(w, "flashEvery", modes.flash_every);
  write_int_entry(w, "flashEveryNight", modes.flash_every_night);
  write_int_entry(w, "sinceFlash", modes.since_flash);
  write_int_entry(w, "orientation", orientation_degrees());
  send_reply(engine, message, w);
}

// The names of the modes from kRefreshHd on, in order.
const char* const kModeNames[] = {"hd", "regal", "balanced", "fast", "ultrafast"};
constexpr uint32_t kModeCount = sizeof kModeNames / sizeof *kModeNames;
static_assert(kModeCount == kRefreshUltrafast, "one name for every mode but auto");

void reply_capabilities(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                        const FlutterPlatformMessage* message) {
  codec_writer w;
  write_success_envelope(w);
  write_map_header(w, 7);
  write_string(w, "platform");
  write_string(w, "kindle");
  write_bool_entry(w, "fullRefresh", true);
  write_string(w, "modes");
  write_list_header(w, kModeCount);
  for (const char* name : kModeNames) write_string(w, name);
  for (const char* method : {"nightMode", "flashPolicy", "motionMode", "dithering"})
    write_bool_entry(w, method, true);
  send_reply(engine, message, w);
}

// Argument lookups: an absent or differently typed value is "not there".
bool arg_int(const codec_reader& args, const char* key, int64_t* value) {
  codec_reader at;
  int type = find_map_key(args, key, &at);
  if (type != kCodecInt32 && type != kCodecInt64) return false;
  *value = reader_int_body(at, type);
  return at.valid;
}

bool arg_string(const codec_reader& args, const char* key, const char** text, uint32_t* length) {
  codec_reader at;
  if (find_map_key(args, key, &at) != kCodecString) return false;
  *text = reader_string_body(at, length);
  return at.valid;
}

std::optional<bool> arg_bool(const codec_reader& args, const char* key) {
  codec_reader at;
  int type = find_map_key(args, key, &at);
  if (type == kCodecTrue) return true;
  if (type == kCodecFalse) return false;
  return std::nullopt;
}

// A cover size outside 1..INT32_MAX (negative, or wider than the driver's
// signed arithmetic) is treated as no size at all.
int32_t cover_dimension(const codec_reader& args, const char* key) {
  int64_t v = 0;
  if (!arg_int(args, key, &v) || v < 1 || v > INT32_MAX) return 0;
  return (int32_t)v;
}

void do_full_refresh(const codec_reader& args) {
  uint64_t now = engine_api().GetCurrentTime();
  int64_t delay = 0;
  if (arg_int(args, "delayMs", &delay) && delay > 0) {
    g_full_refresh_at = deadline_after(now, delay_ms_to_ns(delay));
  } else if (eink_swipe_busy()) {
    g_full_refresh_at = deadline_after(now, kSwipeRetryNs);
  } else {
    display_full_refresh();
  }
}

void do_set_refresh_mode(const codec_reader& args) {
  int mode = kRefreshAuto;
  const char* text = nullptr;
  uint32_t length = 0;
  if (arg_string(args, "mode", &text, &length)) {
    int named = kRefreshHd;
    for (const char* name : kModeNames) {
      if (strlen(name) == length && memcmp(name, text, length) == 0) mode = named;
      named++;
    }
  }
  eink_set_mode(mode);
  log_info("刷新模式 → %d\n", mode);
}

// "enabled" of setNightMode and setDithering.  Anything but true is off: a
// call without the argument asks for the default, as setRefreshMode without
// a mode does, whatever was set before.
bool arg_enabled(const codec_reader& args) { return arg_bool(args, "enabled") == true; }

// A count the application gives: below 0 is never, as 0 is.  An absent or
// non-integer count stays as it was, so a call may change just one of them.
int arg_count(const codec_reader& args, const char* key, int current) {
  int64_t v = 0;
  if (!arg_int(args, key, &v)) return current;
  return v < 0 ? 0 : v > INT_MAX ? INT_MAX : (int)v;
}

void do_set_flash_policy(const codec_reader& args) {
  DisplayModes now = display_modes();
  int day = arg_count(args, "every", now.flash_every);
  int night = arg_count(args, "nightEvery", now.flash_every_night);
  display_set_flash_every(day, night);
}

// Anything but "auto" is off, as a refresh mode that is not one of the
// names leaves the waveform to the driver.
void do_set_motion_mode(const codec_reader& args) {
  const char* text = nullptr;
  uint32_t length = 0;
  bool on = arg_string(args, "mode", &text, &length) && length == 4 && memcmp(text, "auto", 4) == 0;
  display_set_motion(on);
}

bool do_set_image(const codec_reader& args) {
  const char* path = nullptr;
  uint32_t length = 0;
  if (!arg_string(args, "path", &path, &length) || length >= sizeof g_cover_path) return false;
  memcpy(g_cover_path, path, length);
  g_cover_path[length] = '\0';
  g_cover_width = cover_dimension(args, "width");
  g_cover_height = cover_dimension(args, "height");
  if (!g_cover_width || !g_cover_height) return false;
  if (display_is_suspended())
    display_show_sleep_cover(g_cover_path, (unsigned)g_cover_width, (unsigned)g_cover_height);
  return true;
}

// The driver sweeps in the panel's own directions and knows nothing of the
// application's turned picture: a turn along the application's x axis must
// sweep along the panel axis that x runs on now.  Each quarter turn of the
// picture clockwise takes down to left, left to up, up to right and right to
// down.
unsigned panel_direction(unsigned direction, int degrees) {
  static const unsigned kQuarterClockwise[] = {kTurnHorizontalForward, kTurnHorizontalBack,
                                               kTurnVerticalForward, kTurnVerticalBack};
  for (int turned = 0; turned < degrees; turned += 90) direction = kQuarterClockwise[direction];
  return direction;
}

void do_arm_page_turn(const codec_reader& args) {
  std::optional<bool> forward = arg_bool(args, "forward");
  std::optional<bool> vertical = arg_bool(args, "vertical");
  unsigned steps = 12;
  int64_t speed = 0;
  if (arg_int(args, "speedBits", &speed)) steps = speed <= 63 ? 6 : speed <= 127 ? 12 : 20;
  // An absent or non-boolean value counts as forward and horizontal.
  PageTurnDirection direction;
  if (vertical == true)
    direction = forward == false ? kTurnVerticalBack : kTurnVerticalForward;
  else
    direction = forward == false ? kTurnHorizontalBack : kTurnHorizontalForward;
  eink_arm_swipe(panel_direction(direction, orientation_degrees()), steps);
}

// The methods of app.folian.eink_epd that act on the panel and answer true.
struct EpdAction {
  const char* name;
  void (*run)(const codec_reader& args);
};
const EpdAction kEpdActions[] = {
    {"fullRefresh", do_full_refresh},
    {"setRefreshMode", do_set_refresh_mode},
    {"setNightMode", [](const codec_reader& a) { display_set_night(arg_enabled(a)); }},
    {"setDithering", [](const codec_reader& a) { display_set_dithering(arg_enabled(a)); }},
    {"setFlashPolicy", do_set_flash_policy},
    {"setMotionMode", do_set_motion_mode},
};

const EpdAction* epd_action(const char* method) {
  for (const EpdAction& a : kEpdActions)
    if (strcmp(method, a.name) == 0) return &a;
  return nullptr;
}

// False when the method is not one of the channel's: the caller then sends the
// empty "not implemented" response.
bool dispatch(Channel channel, const char* method, FLUTTER_API_SYMBOL(FlutterEngine) engine,
              const FlutterPlatformMessage* message, const codec_reader& args) {
  auto is = [method](const char* name) { return strcmp(method, name) == 0; };
  switch (channel) {
    case Channel::kEpd:
      if (is("capabilities")) {
        reply_capabilities(engine, message);
      } else if (is("diagnostics")) {
        reply_diagnostics(engine, message);
      } else if (const EpdAction* action = epd_action(method)) {
        action->run(args);
        reply_bool(engine, message, true);
      } else {
        return false;
      }
      return true;
    case Channel::kSleepCover:
      if (is("platform")) {
        codec_writer w;
        write_success_envelope(w);
        write_string(w, "kindle");
        send_reply(engine, message, w);
      } else if (is("currentImage")) {
        codec_writer w;
        write_success_envelope(w);
        write_null(w);
        send_reply(engine, message, w);
      } else if (is("setImage")) {
        reply_bool(engine, message, do_set_image(args));
      } else {
        return false;
      }
      return true;
    case Channel::kEpdc:
      if (is("isSupported")) {
        reply_swipe_support(engine, message);
      } else if (is("diagnostics")) {
        reply_diagnostics(engine, message);
      } else if (is("armPageTurn")) {
        do_arm_page_turn(args);
        reply_swipe_support(engine, message);
      } else {
        return false;
      }
      return true;
    case Channel::kNone:
      break;
  }
  return false;
}

int ms_until(uint64_t deadline, uint64_t now) {
  if (now >= deadline) return 0;
  // Rounded up, so the loop never wakes before the deadline; a deadline
  // further away than an int of milliseconds waits in several rounds.
  uint64_t ms = (deadline - now) / kNsPerMs + 1;
  return ms > (uint64_t)INT_MAX ? INT_MAX : (int)ms;
}

}  // namespace

bool channels_handle(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                     const FlutterPlatformMessage* message) {
  Channel channel = channel_of(message->channel);
  if (channel == Channel::kNone) return false;

  char method[kNameCapacity];
  uint32_t method_length = 0;
  codec_reader r;
  bool is_call = false;
  if (fits_u32(message->message_size)) {
    reader_init(r, message->message, (uint32_t)message->message_size);
    is_call = read_method_call(r, method, sizeof method, &method_length) == 1;
  }
  // A name cut by the buffer, or carrying a NUL byte, names no method of ours.
  if (!is_call || method_length != strlen(method) ||
      !dispatch(channel, method, engine, message, r)) {
    respond(engine, message->response_handle, nullptr, 0);
  }
  return true;
}

void channels_on_screensaver() {
  if (!g_cover_path[0]) return;
  g_cover_at = deadline_after(engine_api().GetCurrentTime(), kCoverDelayNs);
}

int channels_next_timeout_ms() {
  uint64_t now = engine_api().GetCurrentTime();
  int result = -1;
  // Held replies are answered in the order asked, so the first ends first.
  uint64_t held_until = g_held_count ? g_held[0].until : 0;
  for (uint64_t deadline : {g_full_refresh_at, g_cover_at, held_until}) {
    if (!deadline) continue;
    int ms = ms_until(deadline, now);
    if (result < 0 || ms < result) result = ms;
  }
  return result;
}

void channels_run_due() {
  uint64_t now = engine_api().GetCurrentTime();
  if (g_full_refresh_at && now >= g_full_refresh_at) {
    if (eink_swipe_busy()) {
      g_full_refresh_at = deadline_after(now, kSwipeRetryNs);
    } else {
      g_full_refresh_at = 0;
      display_full_refresh();
    }
  }
  if (g_cover_at && now >= g_cover_at) {
    g_cover_at = 0;
    display_show_sleep_cover(g_cover_path, (unsigned)g_cover_width, (unsigned)g_cover_height);
  }
  answer_held(now, false);
}

void channels_close() { answer_held(engine_api().GetCurrentTime(), true); }
