// SHA-256 (FIPS 180-4), one-shot and incremental.
#pragma once

#include <cstddef>
#include <cstdint>

struct sha256_state {
  uint64_t length;  // bits absorbed in complete blocks
  uint32_t state[8];
  uint32_t curlen;  // bytes waiting in buf
  uint8_t buf[64];
};

void sha256_init(sha256_state *md);
int sha256_process(sha256_state *md, const uint8_t *in, uint64_t inlen);  // 0 or -1
int sha256_done(sha256_state *md, uint8_t *out);                          // 0 or -1
int sha256_vector(size_t num_elem, const uint8_t *addr[], const size_t *len, uint8_t *mac);
int sha256_compress(sha256_state *md, const uint8_t *buf);
void sha256(const uint8_t *data, int len, uint8_t *output);
