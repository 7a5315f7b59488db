// Builds standard-codec messages byte by byte for the channel tests.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Numbers are single bytes, strings their bytes; str/i32/i64/f64 write whole
// values with their type byte, add() appends another message.
struct Msg {
  Bytes b;
  Msg& operator<<(int byte) {
    b.push_back((uint8_t)byte);
    return *this;
  }
  Msg& operator<<(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Msg& add(const Msg& m) {
    b.insert(b.end(), m.b.begin(), m.b.end());
    return *this;
  }
  Msg& str(const std::string& s) {
    *this << 7;
    if (s.size() < 254) return *this << (int)s.size() << s;
    return *this << 254 << (int)(s.size() & 0xFF) << (int)(s.size() >> 8) << s;
  }
  Msg& le(uint64_t v, int n) {
    for (int i = 0; i < n; i++) b.push_back((uint8_t)(v >> (8 * i)));
    return *this;
  }
  Msg& i32(int32_t v) { return (*this << 3).le((uint32_t)v, 4); }
  Msg& i64(int64_t v) { return (*this << 4).le((uint64_t)v, 8); }
  // Padded to a multiple of 8 from the start of this message.
  Msg& f64(uint64_t raw_bits) {
    *this << 6;
    while (b.size() % 8) b.push_back(0);
    return le(raw_bits, 8);
  }
  Msg& map(int n) { return *this << 13 << n; }
};
