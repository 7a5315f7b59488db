// Flutter's standard message codec: an in-place reader and a growing writer.
#include "codec.h"

#include <stdlib.h>
#include <string.h>

namespace {

uint32_t remaining(const codec_reader& r) { return r.length - r.offset; }

// Every bounds check compares against what is left, never `offset + n`, so a
// hostile size near 2^32 cannot wrap past the end.
bool take(codec_reader& r, uint32_t n) {
  if (!r.valid || n > remaining(r)) {
    r.valid = false;
    return false;
  }
  return true;
}

uint64_t load_le(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

void skip_body(codec_reader& r, int type, int depth) {
  if (!r.valid) return;
  switch (type) {
    case kCodecNull:
    case kCodecTrue:
    case kCodecFalse:
      return;
    case kCodecInt32:
    case kCodecInt64: {
      uint32_t n = type == kCodecInt32 ? 4 : 8;
      if (take(r, n)) r.offset += n;
      return;
    }
    case kCodecFloat64: {
      // The padding aligns the float to the start of the whole message.
      uint32_t pad = (8 - r.offset % 8) % 8;
      if (remaining(r) < 8 || pad > remaining(r) - 8) {
        r.valid = false;
        return;
      }
      r.offset += pad + 8;
      return;
    }
    case kCodecLargeInt:  // its digits as text
    case kCodecString:
    case kCodecBytes: {
      uint32_t n = reader_size(r);
      if (take(r, n)) r.offset += n;
      return;
    }
    case kCodecInt32List:
    case kCodecFloat32List:
    case kCodecInt64List:
    case kCodecFloat64List: {
      // The elements are aligned to their own size, counted from the start
      // of the whole message, as the framework's writer lays them out.
      uint32_t unit = type == kCodecInt32List || type == kCodecFloat32List ? 4 : 8;
      uint32_t n = reader_size(r);
      if (!r.valid) return;
      uint32_t pad = (unit - r.offset % unit) % unit;
      uint64_t bytes = (uint64_t)n * unit;
      if (pad > remaining(r) || bytes > remaining(r) - pad) {
        r.valid = false;
        return;
      }
      r.offset += pad + (uint32_t)bytes;
      return;
    }
    case kCodecList:
    case kCodecMap: {
      if (depth >= kCodecMaxDepth) {
        r.valid = false;
        return;
      }
      uint32_t n = reader_size(r);
      if (!r.valid) return;
      // Each element needs at least its type byte; refusing impossible counts
      // up front keeps a forged count from spinning through the loop.
      uint32_t per = type == kCodecList ? 1 : 2;
      if (n > remaining(r) / per) {
        r.valid = false;
        return;
      }
      for (uint32_t i = 0; i < n && r.valid; i++) {
        for (uint32_t k = 0; k < per && r.valid; k++) {
          int t = reader_type(r);
          skip_body(r, t, depth + 1);
        }
      }
      return;
    }
    default:  // unassigned codes, -1
      r.valid = false;
      return;
  }
}

[[noreturn]] void out_of_memory() { abort(); }

// Makes room for `n` more bytes: 64 to start, then doubling.
uint8_t* reserve(codec_writer& w, size_t n) {
  uint64_t need = (uint64_t)w.used + n;
  if (need > UINT32_MAX) out_of_memory();
  if (need > w.allocated) {
    uint64_t size = w.allocated ? (uint64_t)w.allocated * 2 : 64;
    while (size < need) size *= 2;
    if (size > UINT32_MAX) size = UINT32_MAX;
    uint8_t* grown = static_cast<uint8_t*>(realloc(w.buffer, (size_t)size));
    if (!grown) out_of_memory();
    w.buffer = grown;
    w.allocated = (uint32_t)size;
  }
  uint8_t* at = w.buffer + w.used;
  w.used += (uint32_t)n;
  return at;
}

void put_byte(codec_writer& w, uint8_t b) { *reserve(w, 1) = b; }

void put_le(codec_writer& w, uint64_t v, int n) {
  uint8_t* p = reserve(w, (size_t)n);
  for (int i = 0; i < n; i++) p[i] = (uint8_t)(v >> (8 * i));
}

void put_size(codec_writer& w, uint32_t size) {
  if (size <= 253) {
    put_byte(w, (uint8_t)size);
  } else if (size <= 0xFFFF) {
    put_byte(w, 254);
    put_le(w, size, 2);
  } else {
    put_byte(w, 255);
    put_le(w, size, 4);
  }
}

}  // namespace

void reader_init(codec_reader& r, const uint8_t* bytes, uint32_t length) {
  r.bytes = bytes;
  r.length = length;
  r.offset = 0;
  r.valid = bytes != nullptr || length == 0;
}

int reader_type(codec_reader& r) {
  if (!take(r, 1)) return -1;
  return r.bytes[r.offset++];
}

uint32_t reader_size(codec_reader& r) {
  if (!take(r, 1)) return 0;
  uint8_t first = r.bytes[r.offset];
  if (first < 254) {
    r.offset += 1;
    return first;
  }
  int n = first == 254 ? 2 : 4;
  if (!take(r, 1 + n)) return 0;
  uint32_t size = (uint32_t)load_le(r.bytes + r.offset + 1, n);
  r.offset += 1 + n;
  return size;
}

const char* reader_string_body(codec_reader& r, uint32_t* length) {
  uint32_t n = reader_size(r);
  if (!take(r, n)) {
    *length = 0;
    return "";
  }
  const char* text = reinterpret_cast<const char*>(r.bytes + r.offset);
  r.offset += n;
  *length = n;
  return text;
}

int64_t reader_int_body(codec_reader& r, int type) {
  if (type != kCodecInt32 && type != kCodecInt64) return 0;
  uint32_t n = type == kCodecInt32 ? 4 : 8;
  if (!take(r, n)) return 0;
  uint64_t raw = load_le(r.bytes + r.offset, (int)n);
  r.offset += n;
  if (type == kCodecInt32) return (int64_t)(int32_t)(uint32_t)raw;
  return (int64_t)raw;
}

void reader_skip_body(codec_reader& r, int type) { skip_body(r, type, 0); }

int read_method_call(codec_reader& r, char* name, size_t capacity, uint32_t* name_length) {
  if (name_length) *name_length = 0;
  if (capacity) name[0] = '\0';
  int type = reader_type(r);
  if (type != kCodecString) return 0;
  uint32_t n = 0;
  const char* text = reader_string_body(r, &n);
  if (!r.valid) return 0;
  if (capacity) {
    size_t copy = n < capacity - 1 ? n : capacity - 1;
    memcpy(name, text, copy);
    name[copy] = '\0';
  }
  if (name_length) *name_length = n;
  return 1;
}

int find_map_key(codec_reader r, const char* key, codec_reader* out) {
  if (reader_type(r) != kCodecMap) return -1;
  uint32_t count = reader_size(r);
  if (!r.valid || count == 0) return -1;
  size_t key_length = strlen(key);
  for (uint32_t i = 0; i < count; i++) {
    int key_type = reader_type(r);
    bool match = false;
    if (key_type == kCodecString) {
      uint32_t n = 0;
      const char* text = reader_string_body(r, &n);
      match = r.valid && n == key_length && memcmp(text, key, n) == 0;
    } else {
      skip_body(r, key_type, 1);
    }
    int value_type = reader_type(r);
    if (!r.valid) return -1;
    if (match) {
      *out = r;
      return value_type;
    }
    skip_body(r, value_type, 1);
    if (!r.valid) return -1;
  }
  return -1;
}

codec_writer::~codec_writer() { free(buffer); }

void writer_init(codec_writer& w) { writer_free(w); }

void writer_free(codec_writer& w) {
  free(w.buffer);
  w.buffer = nullptr;
  w.used = 0;
  w.allocated = 0;
}

void write_null(codec_writer& w) { put_byte(w, kCodecNull); }

void write_bool(codec_writer& w, int flag) { put_byte(w, flag ? kCodecTrue : kCodecFalse); }

void write_int(codec_writer& w, int64_t value) {
  if (value >= INT32_MIN && value <= INT32_MAX) {
    put_byte(w, kCodecInt32);
    put_le(w, (uint64_t)value, 4);
  } else {
    put_byte(w, kCodecInt64);
    put_le(w, (uint64_t)value, 8);
  }
}

void write_string(codec_writer& w, const char* text) {
  size_t n = strlen(text);
  if (n > UINT32_MAX) out_of_memory();
  put_byte(w, kCodecString);
  put_size(w, (uint32_t)n);
  if (n) memcpy(reserve(w, n), text, n);
}

void write_list_header(codec_writer& w, uint32_t count) {
  put_byte(w, kCodecList);
  put_size(w, count);
}

void write_map_header(codec_writer& w, uint32_t count) {
  put_byte(w, kCodecMap);
  put_size(w, count);
}

void write_success_envelope(codec_writer& w) { put_byte(w, 0); }

void write_error_envelope(codec_writer& w, const char* code, const char* message) {
  put_byte(w, 1);
  write_string(w, code);
  write_string(w, message);
  write_null(w);
}
