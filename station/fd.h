// An owned file descriptor, closed when the object goes.
#pragma once

#include <unistd.h>

#include <string>
#include <utility>

namespace station {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd &operator=(UniqueFd &&o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Writes all of text, retrying after interruptions; false on failure.
bool write_all(int fd, const char *data, size_t size);
inline bool write_all(int fd, const std::string &text) { return write_all(fd, text.data(), text.size()); }

}  // namespace station
