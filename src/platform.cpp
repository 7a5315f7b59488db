// The "flutter/platform" system channel: quit request and text clipboard.
//
// The framework speaks JSON here.  Only a handful of methods matter to us, so
// instead of a JSON parser a small extractor pulls one string field out of the
// raw bytes, and every reply is a fixed or singly formatted text.
#include "platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "engine.h"
#include "log.h"
#include "orientation.h"

namespace {

// The text is kept with its length: an escaped NUL is part of it.
char* g_clipboard = nullptr;
size_t g_clipboard_length = 0;

void respond(FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterPlatformMessage* message,
             const char* text, size_t size) {
  if (!message->response_handle) return;
  engine_api().SendPlatformMessageResponse(engine, message->response_handle,
                                           reinterpret_cast<const uint8_t*>(text), size);
}

void respond_text(FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterPlatformMessage* message,
                  const char* text) {
  respond(engine, message, text, strlen(text));
}

int hex_digit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four bytes of a \u escape.  Only hexadecimal digits count, and reading
// stops at the first byte that is not one, so the value stays within 0xFFFF
// and nothing beyond the four bytes is looked at.
unsigned hex4(const uint8_t* p) {
  unsigned v = 0;
  for (int i = 0; i < 4; i++) {
    int d = hex_digit(p[i]);
    if (d < 0) break;
    v = v * 16 + (unsigned)d;
  }
  return v;
}

char* put_utf8(char* out, unsigned cp) {
  if (cp < 0x80) {
    *out++ = (char)cp;
  } else if (cp < 0x800) {
    *out++ = (char)(0xC0 | (cp >> 6));
    *out++ = (char)(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = (char)(0xE0 | (cp >> 12));
    *out++ = (char)(0x80 | ((cp >> 6) & 0x3F));
    *out++ = (char)(0x80 | (cp & 0x3F));
  } else {
    *out++ = (char)(0xF0 | (cp >> 18));
    *out++ = (char)(0x80 | ((cp >> 12) & 0x3F));
    *out++ = (char)(0x80 | ((cp >> 6) & 0x3F));
    *out++ = (char)(0x80 | (cp & 0x3F));
  }
  return out;
}

// The clipboard text as a JSON string: quotes and backslashes escaped, control
// bytes (NUL included) as \u00XX, everything else (UTF-8 included) as it
// is.  nullptr when the memory cannot be had.
char* quote_json(const char* text, size_t n, size_t* quoted_length) {
  if (n > (SIZE_MAX - 3) / 6) return nullptr;
  char* quoted = static_cast<char*>(malloc(6 * n + 3));
  if (!quoted) return nullptr;
  char* out = quoted;
  *out++ = '"';
  for (size_t i = 0; i < n; i++) {
    uint8_t c = (uint8_t)text[i];
    if (c == '"' || c == '\\') {
      *out++ = '\\';
      *out++ = (char)c;
    } else if (c < 0x20) {
      out += snprintf(out, 7, "\\u%04x", c);
    } else {
      *out++ = (char)c;
    }
  }
  *out++ = '"';
  *out = '\0';
  *quoted_length = (size_t)(out - quoted);
  return quoted;
}

void reply_clipboard(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                     const FlutterPlatformMessage* message) {
  if (!g_clipboard) {
    respond_text(engine, message, "[null]");
    return;
  }
  size_t quoted_length = 0;
  char* quoted = quote_json(g_clipboard, g_clipboard_length, &quoted_length);
  char* reply = quoted ? static_cast<char*>(malloc(quoted_length + 16)) : nullptr;
  if (!reply) {
    // Answering "nothing on the clipboard" beats leaving the call unanswered.
    log_error("剪贴板读取失败：内存不足\n");
    respond_text(engine, message, "[null]");
  } else {
    int size = snprintf(reply, quoted_length + 16, "[{\"text\":%s}]", quoted);
    respond(engine, message, reply, (size_t)size);
  }
  free(reply);
  free(quoted);
}

// The list of DeviceOrientation names that setPreferredOrientations carries
// as its arguments, in order.  Names we do not know are told and passed
// over; a list of nothing but such names leaves the orientation alone, as
// does arguments that are no list.
void prefer_orientations(const uint8_t* begin, const uint8_t* end) {
  static const char kArgs[] = "\"args\"";
  const uint8_t* p = std::search(begin, end, kArgs, kArgs + sizeof kArgs - 1,
                                 [](uint8_t a, char b) { return a == (uint8_t)b; });
  if (p != end) p += sizeof kArgs - 1;
  while (p < end && (*p == ' ' || *p == ':')) p++;
  if (p == end || *p != '[') {
    log_error("应用请求的屏幕方向不是列表，不改\n");
    return;
  }
  int wanted[8];
  size_t count = 0, names = 0;
  for (++p; p < end && *p != ']';) {
    if (*p != '"') {
      p++;
      continue;
    }
    const uint8_t* name = ++p;
    while (p < end && *p != '"') p++;
    size_t length = (size_t)(p - name);
    if (p < end) p++;
    names++;
    int degrees = orientation_from_name((const char*)name, length);
    if (degrees < 0)
      log_error("应用请求的屏幕方向 %.*s 不认识，跳过\n", (int)length, (const char*)name);
    else if (count < sizeof wanted / sizeof *wanted)
      wanted[count++] = degrees;
  }
  if (names > 0 && count == 0) return;
  orientation_prefer(wanted, count);
}

}  // namespace

char* json_string_field(const uint8_t* begin, const uint8_t* end, const char* key, size_t* length) {
  if (length) *length = 0;
  if (!begin || begin >= end) return nullptr;
  char pattern[64];
  int pattern_length = snprintf(pattern, sizeof pattern, "\"%s\"", key);
  if (pattern_length < 0 || (size_t)pattern_length >= sizeof pattern) return nullptr;

  // A plain byte search: the first occurrence wins wherever it stands.
  const uint8_t* p = std::search(begin, end, pattern, pattern + pattern_length,
                                 [](uint8_t a, char b) { return a == (uint8_t)b; });
  if (p == end) return nullptr;
  p += pattern_length;
  while (p < end && (*p == ' ' || *p == ':')) p++;
  if (p == end || *p != '"') return nullptr;
  p++;

  size_t n = (size_t)(end - p);
  if (n > (SIZE_MAX - 1) / 3) return nullptr;
  char* text = static_cast<char*>(malloc(3 * n + 1));
  if (!text) return nullptr;
  char* out = text;
  while (p < end && *p != '"') {
    if (*p != '\\') {
      *out++ = (char)*p++;
      continue;
    }
    if (end - p < 2) break;  // a backslash that ends the message
    uint8_t e = p[1];
    p += 2;
    switch (e) {
      case 'b':
        *out++ = '\b';
        continue;
      case 'f':
        *out++ = '\f';
        continue;
      case 'n':
        *out++ = '\n';
        continue;
      case 'r':
        *out++ = '\r';
        continue;
      case 't':
        *out++ = '\t';
        continue;
      case 'u':
        break;
      default:
        *out++ = (char)e;
        continue;
    }
    if (end - p < 4) {
      p = end;
      break;
    }
    unsigned cp = hex4(p);
    p += 4;
    // A high surrogate followed by an escaped low one is one code point
    // outside the basic plane.  An unpaired half (a string cut inside an
    // emoji) has no UTF-8 form; written as it came, the text would be
    // invalid UTF-8 that the framework refuses to decode when it reads the
    // clipboard back, so it becomes the replacement character.
    if (cp >= 0xD800 && cp <= 0xDBFF && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
      unsigned low = hex4(p + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        p += 6;
      }
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
    out = put_utf8(out, cp);
  }
  *out = '\0';
  if (length) *length = (size_t)(out - text);
  return text;
}

bool platform_handle(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                     const FlutterPlatformMessage* message) {
  const uint8_t* begin = message->message;
  const uint8_t* end = begin ? begin + message->message_size : begin;
  size_t method_length = 0;
  char* method = json_string_field(begin, end, "method", &method_length);
  if (!method) {
    respond_text(engine, message, "[null]");
    return false;
  }
  // Compared over the decoded length, so an escaped NUL cannot turn a longer
  // name into one of ours.
  auto is = [&](const char* name) {
    return method_length == strlen(name) && memcmp(method, name, method_length) == 0;
  };
  bool quit = false;
  if (is("SystemNavigator.pop")) {
    log_info("应用请求退出\n");
    respond_text(engine, message, "[null]");
    quit = true;
  } else if (is("Clipboard.setData")) {
    free(g_clipboard);
    g_clipboard = json_string_field(begin, end, "text", &g_clipboard_length);
    log_info("剪贴板写入 %zu 字节\n", g_clipboard_length);
    respond_text(engine, message, "[null]");
  } else if (is("Clipboard.getData")) {
    reply_clipboard(engine, message);
  } else if (is("SystemChrome.setPreferredOrientations")) {
    prefer_orientations(begin, end);
    respond_text(engine, message, "[null]");
  } else if (is("Clipboard.hasStrings")) {
    respond_text(engine, message,
                 g_clipboard_length > 0 ? "[{\"value\":true}]" : "[{\"value\":false}]");
  } else {
    respond_text(engine, message, "[null]");
  }
  free(method);
  return quit;
}
