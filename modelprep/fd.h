// An owned file descriptor, closed when it goes.
#pragma once

#include <unistd.h>

#include <string>
#include <utility>

namespace modelprep {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes now and reports the result, for writers that must see a failed close.
  int close() { return ::close(std::exchange(fd_, -1)); }
  void reset() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

// Opens `path` for reading when it names a regular file, without blocking:
// a pipe left at the name must not stall the build, nor a device never end.
// Otherwise an empty descriptor, and in `reason` (when given) why.
UniqueFd openRegularFile(const std::string &path, std::string *reason = nullptr);

}  // namespace modelprep
