// Feeds arbitrary bytes to the standard-codec reader the way the channels
// read a method call, then to channels_handle itself.  The first byte picks
// the channel; the rest is the message.
#include <stdint.h>
#include <stdlib.h>

#include "channels.h"
#include "codec.h"
#include "fake_engine.h"
#include "panel_stub.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

void check_cursor(const codec_reader& r) { check(r.offset <= r.length); }

void read_like_a_channel(const uint8_t* data, uint32_t size) {
  codec_reader r;
  reader_init(r, data, size);
  char name[64];
  uint32_t name_length = 0;
  read_method_call(r, name, sizeof name, &name_length);
  check_cursor(r);
  for (const char* key :
       {"mode", "delayMs", "path", "width", "height", "forward", "vertical", "speedBits"}) {
    codec_reader v;
    int type = find_map_key(r, key, &v);
    check(type >= -1 && type <= 255);
    if (type < 0) continue;
    check_cursor(v);
    if (type == 7) {
      uint32_t n = 0;
      const char* s = reader_string_body(v, &n);
      if (v.valid) check(s >= (const char*)data && s + n <= (const char*)data + size);
    } else {
      reader_int_body(v, type);
    }
    check_cursor(v);
  }
  // Skip the whole message value by value.
  codec_reader all;
  reader_init(all, data, size);
  while (all.valid && all.offset < all.length) {
    uint32_t before = all.offset;
    reader_skip_body(all, reader_type(all));
    check_cursor(all);
    check(!all.valid || all.offset > before);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  read_like_a_channel(data + 1, (uint32_t)(size - 1));

  static const char* const channels[] = {"app.folian.eink_epd", "app.folian.eink_sleep_cover",
                                         "app.folian.ireader_epdc"};
  fake::reset(1000000000ull + data[0]);
  panel::state().suspended = data[0] & 0x10;
  panel::state().swipe_busy = data[0] & 0x20;
  panel::state().supports_swipe = data[0] & 0x40;
  // A page-turn reply may wait for the driver kind; every other is sent now.
  panel::state().kind_pending = data[0] & 0x08;
  FlutterPlatformMessage m{};
  m.struct_size = sizeof m;
  m.channel = channels[data[0] % 3];
  m.message = data + 1;
  m.message_size = size - 1;
  m.response_handle = fake::new_handle();
  check(channels_handle(fake::engine(), &m));
  size_t sent = fake::responses().size();
  check(sent == 1 || (sent == 0 && panel::state().kind_pending));

  if (data[0] & 0x80) channels_on_screensaver();
  int ms = channels_next_timeout_ms();
  check(ms >= -1);
  // Serve whatever fell due; a deadline must never stay due after serving.
  fake::advance_ms(ms > 0 ? (uint64_t)ms : 0);
  panel::state().swipe_busy = false;
  channels_run_due();
  check(channels_next_timeout_ms() != 0);
  // Whatever still waits is answered at close: one response per message.
  channels_close();
  check(fake::responses().size() == 1);
  panel::reset();
  return 0;
}
