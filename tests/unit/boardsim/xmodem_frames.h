// Test-side XMODEM framing, written from the frame layout alone (not shared
// with the board's receiver or the programmer's sender).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace testxm {

inline uint16_t crc(const std::vector<uint8_t> &d) {
  uint16_t c = 0;
  for (uint8_t b : d) {
    c ^= uint16_t(b) << 8;
    for (int i = 0; i < 8; ++i) c = (c & 0x8000) ? uint16_t((c << 1) ^ 0x1021) : uint16_t(c << 1);
  }
  return c;
}

inline size_t size_of(uint8_t header) {
  switch (header) {
    case 0x01: return 128;
    case 0x02: return 1024;
    case 0xA3: return 4096;
    case 0xA4: return 8192;
    case 0xA0: return 16384;
    case 0xA1: return 32768;
    case 0xA2: return 65536;
  }
  return 0;
}

// Payload of block k (0-based) of data: full, or the rest, 0x1A, zeros.
inline std::vector<uint8_t> payload(const std::vector<uint8_t> &data, size_t k, size_t bs) {
  std::vector<uint8_t> p(bs, 0x00);
  size_t off = k * bs;
  size_t n = std::min(bs, data.size() - off);
  std::copy(data.begin() + long(off), data.begin() + long(off + n), p.begin());
  if (n < bs) p[n] = 0x1A;
  return p;
}

// Header, block number and its complement, payload, then the checksum byte
// or the two CRC bytes (high first). Sized once and filled in place.
inline std::vector<uint8_t> frame(uint8_t header, uint8_t number, const std::vector<uint8_t> &pl,
                                  bool checksum) {
  const size_t body = 3 + pl.size();
  std::vector<uint8_t> f(body + (checksum ? 1 : 2));
  f[0] = header;
  f[1] = number;
  f[2] = uint8_t(0xFF - number);
  std::copy(pl.begin(), pl.end(), f.begin() + 3);
  if (checksum) {
    uint8_t s = 0;
    for (uint8_t b : pl) s = uint8_t(s + b);
    f[body] = s;
  } else {
    uint16_t c = crc(pl);
    f[body] = uint8_t(c >> 8);
    f[body + 1] = uint8_t(c & 0xFF);
  }
  return f;
}

inline size_t block_count(size_t len, size_t bs) { return (len + bs - 1) / bs; }

inline const std::vector<uint8_t> kEndFrame = {0x04, 0x00, 0x00, 0x00};

}  // namespace testxm
