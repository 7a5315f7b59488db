// Flutter's standard message codec: an in-place reader and a growing writer.
//
// Only the subset the e-ink channels use.  The reader walks the engine's
// message bytes without allocating and hands out pointers into them; the
// writer appends to one heap buffer that it owns and frees when it goes out of
// scope, so no reply path can leak it.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The type byte in front of every value.
enum CodecType : int {
  kCodecNull = 0,
  kCodecTrue = 1,
  kCodecFalse = 2,
  kCodecInt32 = 3,
  kCodecInt64 = 4,
  kCodecLargeInt = 5,
  kCodecFloat64 = 6,
  kCodecString = 7,
  kCodecBytes = 8,
  kCodecInt32List = 9,
  kCodecInt64List = 10,
  kCodecFloat64List = 11,
  kCodecList = 12,
  kCodecMap = 13,
  kCodecFloat32List = 14,
};

// A cursor over one message.  Copying it gives an independent cursor over the
// same bytes.  `offset` never exceeds `length`; once `valid` is cleared every
// further read fails without moving `offset`.
struct codec_reader {
  const uint8_t* bytes;
  uint32_t length;
  uint32_t offset;
  bool valid;
};

// Owns its buffer: moving is not needed by any sender, copying would free the
// buffer twice, so both are ruled out.
struct codec_writer {
  uint8_t* buffer = nullptr;
  uint32_t used = 0;
  uint32_t allocated = 0;

  codec_writer() = default;
  codec_writer(const codec_writer&) = delete;
  codec_writer& operator=(const codec_writer&) = delete;
  ~codec_writer();
};

// Lists and maps nested deeper than this are treated as malformed, so that
// skipping a hostile message cannot exhaust the stack.
constexpr int kCodecMaxDepth = 256;

void reader_init(codec_reader& r, const uint8_t* bytes, uint32_t length);
// Next type byte (0..255), or -1 when none is left.
int reader_type(codec_reader& r);
uint32_t reader_size(codec_reader& r);
// After kCodecString: the string's bytes inside the message (not
// NUL-terminated) and their count; "" and 0 on failure.
const char* reader_string_body(codec_reader& r, uint32_t* length);
// After kCodecInt32 or kCodecInt64: the value; any other type gives 0 and leaves the
// reader untouched.
int64_t reader_int_body(codec_reader& r, int type);
void reader_skip_body(codec_reader& r, int type);
// Copies the method name into `name` (cut to capacity - 1 bytes, terminated)
// and leaves the reader on the arguments.  `name_length`, when given, receives
// the full length of the name in the message so callers can tell a cut or
// NUL-carrying name from a real match.  0 when the first value is no string.
int read_method_call(codec_reader& r, char* name, size_t capacity, uint32_t* name_length = nullptr);
// Type code of the value stored under the string `key` in the map at the
// reader's position, with `out` standing on the value's body; -1 when absent.
int find_map_key(codec_reader r, const char* key, codec_reader* out);

// Both leave the writer empty, giving back what it held.
void writer_init(codec_writer& w);
void writer_free(codec_writer& w);
void write_null(codec_writer& w);
void write_bool(codec_writer& w, int flag);
void write_int(codec_writer& w, int64_t value);
void write_string(codec_writer& w, const char* text);
void write_list_header(codec_writer& w, uint32_t count);
void write_map_header(codec_writer& w, uint32_t count);
void write_success_envelope(codec_writer& w);
void write_error_envelope(codec_writer& w, const char* code, const char* message);
