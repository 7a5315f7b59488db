// Feeds arbitrary bytes to the JSON string extractor and, as a
// "flutter/platform" message, to platform_handle followed by a clipboard
// read, so the quoting of whatever was stored is exercised too.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fake_engine.h"
#include "platform.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

size_t send(const uint8_t* data, size_t size) {
  size_t before = fake::responses().size();
  FlutterPlatformMessage m{};
  m.struct_size = sizeof m;
  m.channel = "flutter/platform";
  m.message = data;
  m.message_size = size;
  m.response_handle = fake::new_handle();
  platform_handle(fake::engine(), &m);
  check(fake::responses().size() == before + 1);
  return fake::responses().back().bytes.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so reading one byte past the message is caught.
  uint8_t* copy = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (size) memcpy(copy, data, size);
  for (const char* key : {"method", "text", "k"}) {
    size_t n = 0;
    char* v = json_string_field(copy, copy + size, key, &n);
    if (v) {
      // Never more bytes out than came in, and the text is terminated.
      check(n <= size && v[n] == '\0');
      free(v);
    }
  }
  fake::reset();
  send(copy, size);
  static const char get[] = "{\"method\":\"Clipboard.getData\",\"args\":\"text/plain\"}";
  static const char has[] = "{\"method\":\"Clipboard.hasStrings\",\"args\":\"text/plain\"}";
  send(reinterpret_cast<const uint8_t*>(get), sizeof get - 1);
  send(reinterpret_cast<const uint8_t*>(has), sizeof has - 1);
  free(copy);
  return 0;
}
