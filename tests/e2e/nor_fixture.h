// Shared pieces of the NOR end-to-end tests: an emulated NOR board on a
// pseudo-terminal, runs of the programmer in this process (options reset
// between runs, output captured) or as its own process, and independent
// SHA-256 digests for the expected console lines.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "boardsim/board.h"
#include "tests/support/test_support.h"
#include "tidewrite/main_flow.h"
#include "tidewrite/nor_ops.h"
#include "tidewrite/options.h"
#include "tidewrite/serial_port.h"

namespace nortest {

namespace fs = std::filesystem;
using testsupport::TempDir;

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto &b : v) b = static_cast<uint8_t>(gen());
  return v;
}

// Digest as lower-case hex, taken with OpenSSL rather than the code under test.
inline std::string sha256_hex(const uint8_t *data, size_t len) {
  uint8_t md[32];
  unsigned int n = 0;
  EVP_Digest(data, len, md, &n, EVP_sha256(), nullptr);
  std::string s;
  char b[3];
  for (unsigned i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", md[i]);
    s += b;
  }
  return s;
}

// The console lines of one successful piece comparison.
inline std::string hash_pass_lines(const uint8_t *data, size_t len) {
  const std::string h = sha256_hex(data, len);
  return "device:" + h + "\nlocal :" + h + "\nhash match\n\rhash verify pass\n\r";
}

inline std::vector<uint8_t> slice(const std::vector<uint8_t> &v, size_t start, size_t len) {
  return {v.begin() + static_cast<long>(start), v.begin() + static_cast<long>(start + len)};
}

// A NOR board with a small flash, a transcript of what it received, and
// optionally flash contents laid down before it starts.
class NorBoard {
 public:
  explicit NorBoard(const fs::path &dir, boardsim::BoardConfig cfg = {},
                    const std::vector<uint8_t> &initial_flash = {})
      : transcript_(dir / "transcript.txt") {
    cfg.flash = boardsim::FlashKind::nor;
    if (cfg.nor_size == (16u << 20)) cfg.nor_size = 1u << 20;
    cfg.complete_store_on_stop = false;
    cfg.transcript_path = transcript_.string();
    if (!initial_flash.empty()) {
      cfg.store_path = (dir / "nor.bin").string();
      testsupport::write_file(cfg.store_path, initial_flash);
    }
    board_ = std::make_unique<boardsim::PtyBoard>(cfg);
  }

  const std::string &port() const { return board_->slave_path(); }
  std::vector<uint8_t> flash(uint64_t offset, size_t len) const { return board_->read_flash(offset, len); }
  boardsim::BoardStats stats() const { return board_->stats(); }
  boardsim::PtyBoard &board() { return *board_; }
  // Everything the board logged so far (command lines appear as rx "...").
  std::string transcript() const {
    std::error_code ec;
    return fs::exists(transcript_, ec) ? testsupport::read_text(transcript_) : std::string();
  }
  bool received(const std::string &line) const { return transcript().find("rx \"" + line + "\"") != std::string::npos; }

 private:
  fs::path transcript_;
  std::unique_ptr<boardsim::PtyBoard> board_;
};

struct RunResult {
  int status = 0;  // tidewrite_main's value (not reduced modulo 256)
  std::string out;
  std::string err;
};

// Whole main flow in this process, from freshly reset globals.
inline RunResult run_in_process(const std::vector<std::string> &args) {
  reset_option_globals();
  operation = "nop";
  g_uart_hdl = 0;
  std::vector<std::string> words = {"tidewrite"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  RunResult r;
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  r.status = tidewrite_main(static_cast<int>(words.size()), argv.data());
  std::fflush(stdout);
  std::fflush(stderr);
  r.err = testing::internal::GetCapturedStderr();
  r.out = testing::internal::GetCapturedStdout();
  return r;
}

inline testsupport::ProcessResult run_program(const std::vector<std::string> &args, const fs::path &cwd = {},
                                              std::chrono::milliseconds timeout = std::chrono::seconds(60),
                                              const std::string &program = TIDEWRITE_BIN) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  testsupport::ProcessOptions opts;
  opts.cwd = cwd;
  opts.timeout = timeout;
  return testsupport::run_process(argv, opts);
}

#define EXPECT_OUT(actual, expected) \
  EXPECT_EQ(testsupport::escaped(actual), testsupport::escaped(expected))

}  // namespace nortest
