// SHA-256 against published answers: the FIPS 180-4 examples, the
// one-million-'a' message, and messages around the padding boundaries fed in
// pieces split at every position.
#include "tidewrite/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string hex(const uint8_t *d) {
  std::string s;
  char b[3];
  for (int i = 0; i < 32; ++i) {
    std::snprintf(b, sizeof b, "%02x", d[i]);
    s += b;
  }
  return s;
}

std::string digest_of(const std::string &msg) {
  uint8_t out[32];
  sha256(reinterpret_cast<const uint8_t *>(msg.data()), static_cast<int>(msg.size()), out);
  return hex(out);
}

TEST(Sha256, FipsExamples) {
  struct Case {
    const char *msg;
    const char *digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
       "mnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
  };
  for (const auto &c : cases) EXPECT_EQ(digest_of(c.msg), c.digest) << "message: " << c.msg;
}

TEST(Sha256, OneMillionA) {
  EXPECT_EQ(digest_of(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, OneMillionAInUnevenChunks) {
  const std::string chunk(997, 'a');
  sha256_state md;
  sha256_init(&md);
  size_t left = 1000000;
  while (left > 0) {
    const size_t n = left < chunk.size() ? left : chunk.size();
    ASSERT_EQ(sha256_process(&md, reinterpret_cast<const uint8_t *>(chunk.data()), n), 0);
    left -= n;
  }
  uint8_t out[32];
  ASSERT_EQ(sha256_done(&md, out), 0);
  EXPECT_EQ(hex(out), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Messages whose padding lands just before, on and after the 56-byte and
// 64-byte boundaries. Bytes are (i*7+3) mod 256 so that a byte-order slip
// shows; the digests were taken with an independent SHA-256 tool.
struct BoundaryCase {
  size_t len;
  const char *digest;
};
const BoundaryCase kBoundary[] = {
    {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
    {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
    {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
    {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
    {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
};

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
  return v;
}

TEST(Sha256, BoundaryLengthsOneShot) {
  for (const auto &c : kBoundary) {
    const auto data = pattern(c.len);
    uint8_t out[32];
    sha256(data.data(), static_cast<int>(data.size()), out);
    EXPECT_EQ(hex(out), c.digest) << "length " << c.len;
  }
}

TEST(Sha256, BoundaryLengthsSplitAtEveryPoint) {
  for (const auto &c : kBoundary) {
    const auto data = pattern(c.len);
    for (size_t cut1 = 0; cut1 <= c.len; ++cut1) {
      for (size_t cut2 = cut1; cut2 <= c.len; ++cut2) {
        sha256_state md;
        sha256_init(&md);
        ASSERT_EQ(sha256_process(&md, data.data(), cut1), 0);
        ASSERT_EQ(sha256_process(&md, data.data() + cut1, cut2 - cut1), 0);
        ASSERT_EQ(sha256_process(&md, data.data() + cut2, c.len - cut2), 0);
        uint8_t out[32];
        ASSERT_EQ(sha256_done(&md, out), 0);
        ASSERT_EQ(hex(out), c.digest) << "length " << c.len << " cut at " << cut1 << " and " << cut2;
      }
    }
  }
}

TEST(Sha256, VectorOfPiecesIsDigestOfTheirConcatenation) {
  const std::string a = "abcdbcdecdefdefgefgh", b = "fghighijhijkijkljklmklmnlmnomnopnopq";
  const uint8_t *addr[] = {reinterpret_cast<const uint8_t *>(a.data()), nullptr,
                           reinterpret_cast<const uint8_t *>(b.data())};
  const size_t len[] = {a.size(), 0, b.size()};
  uint8_t out[32];
  ASSERT_EQ(sha256_vector(3, addr, len, out), 0);
  EXPECT_EQ(hex(out), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Sha256, DamagedContextIsRefused) {
  sha256_state md;
  sha256_init(&md);
  md.curlen = 64;
  const uint8_t byte = 0;
  uint8_t out[32];
  EXPECT_EQ(sha256_process(&md, &byte, 1), -1);
  EXPECT_EQ(sha256_done(&md, out), -1);
}

TEST(Sha256, NegativeLengthHashesNothing) {
  uint8_t out[32];
  const uint8_t byte = 0;
  sha256(&byte, -5, out);
  EXPECT_EQ(hex(out), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
