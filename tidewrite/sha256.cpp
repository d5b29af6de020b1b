// SHA-256 as FIPS 180-4 defines it: the host-side digest the NOR download
// compares with the board's answer to a hash query.
#include "tidewrite/sha256.h"

#include <cstring>

namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t kInitialHash[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

uint32_t load_be32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void store_be32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace

int sha256_compress(sha256_state *md, const uint8_t *buf) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) w[i] = load_be32(buf + 4 * i);
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }

  uint32_t a = md->state[0], b = md->state[1], c = md->state[2], d = md->state[3];
  uint32_t e = md->state[4], f = md->state[5], g = md->state[6], h = md->state[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 =
        h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRoundConstants[i] + w[i];
    const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  md->state[0] += a;
  md->state[1] += b;
  md->state[2] += c;
  md->state[3] += d;
  md->state[4] += e;
  md->state[5] += f;
  md->state[6] += g;
  md->state[7] += h;
  return 0;
}

void sha256_init(sha256_state *md) {
  md->length = 0;
  md->curlen = 0;
  std::memcpy(md->state, kInitialHash, sizeof md->state);
}

int sha256_process(sha256_state *md, const uint8_t *in, uint64_t inlen) {
  if (md->curlen >= sizeof md->buf) return -1;
  while (inlen > 0) {
    if (md->curlen == 0 && inlen >= 64) {
      sha256_compress(md, in);
      md->length += 512;
      in += 64;
      inlen -= 64;
      continue;
    }
    const uint64_t room = 64 - md->curlen;
    const uint64_t n = inlen < room ? inlen : room;
    std::memcpy(md->buf + md->curlen, in, static_cast<size_t>(n));
    md->curlen += static_cast<uint32_t>(n);
    in += n;
    inlen -= n;
    if (md->curlen == 64) {
      sha256_compress(md, md->buf);
      md->length += 512;
      md->curlen = 0;
    }
  }
  return 0;
}

int sha256_done(sha256_state *md, uint8_t *out) {
  if (md->curlen >= sizeof md->buf) return -1;
  md->length += uint64_t{md->curlen} * 8;
  md->buf[md->curlen++] = 0x80;
  // No room left for the 64-bit length: pad this block out and start another.
  if (md->curlen > 56) {
    std::memset(md->buf + md->curlen, 0, 64 - md->curlen);
    sha256_compress(md, md->buf);
    md->curlen = 0;
  }
  std::memset(md->buf + md->curlen, 0, 56 - md->curlen);
  for (int i = 0; i < 8; ++i) md->buf[56 + i] = static_cast<uint8_t>(md->length >> (56 - 8 * i));
  sha256_compress(md, md->buf);
  for (int i = 0; i < 8; ++i) store_be32(out + 4 * i, md->state[i]);
  return 0;
}

int sha256_vector(size_t num_elem, const uint8_t *addr[], const size_t *len, uint8_t *mac) {
  sha256_state md;
  sha256_init(&md);
  for (size_t i = 0; i < num_elem; ++i) {
    if (sha256_process(&md, addr[i], len[i]) != 0) return -1;
  }
  return sha256_done(&md, mac);
}

void sha256(const uint8_t *data, int len, uint8_t *output) {
  sha256_state md;
  sha256_init(&md);
  // A negative length is no data; never let it turn into a huge unsigned count.
  sha256_process(&md, data, len > 0 ? static_cast<uint64_t>(len) : 0);
  sha256_done(&md, output);
}
