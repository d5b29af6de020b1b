// Small terminal helpers of the board program: descriptors, the
// pseudo-terminal pair, the host's rate, the transcript.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "boardsim/xmodem_rx.h"

namespace boardsim {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd &operator=(Fd &&o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Opens a pseudo-terminal master (non-blocking), sets the slave side raw at
// 115200 baud and returns the slave's path in slave_path. Throws on failure.
Fd open_pty_master(std::string &slave_path);
// The rate the slave side is set to; on Linux the master reads the slave's
// settings. 0 when unknown.
int pty_host_baud(int master_fd);
int speed_to_baud(unsigned speed_code);

// Transcript lines "seconds text" to a file, standard error ("-") or nowhere.
class Transcript {
 public:
  Transcript() = default;
  ~Transcript();
  Transcript(const Transcript &) = delete;
  Transcript &operator=(const Transcript &) = delete;
  void open(const std::string &path);
  void line(Clock::time_point t, const std::string &text);

 private:
  std::FILE *file_ = nullptr;
  bool owned_ = false;
  Clock::time_point start_ = Clock::now();
  std::mutex mu_;
};

}  // namespace boardsim
