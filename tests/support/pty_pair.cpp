#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Reads what is there within the wait and appends it to out: 1 bytes came
// (or a retryable interruption), 0 time-out, -1 end of file or error.
int read_some(int fd, std::string &out, size_t max, int wait_ms) {
  pollfd pfd{fd, POLLIN, 0};
  int r = poll(&pfd, 1, wait_ms);
  if (r == 0) return 0;
  if (r < 0) return errno == EINTR ? 1 : -1;
  char buf[4096];
  size_t want = max < sizeof buf ? max : sizeof buf;
  ssize_t n = read(fd, buf, want);
  if (n > 0) {
    out.append(buf, static_cast<size_t>(n));
    return 1;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 1;
  return -1;
}

}  // namespace

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) throw std::runtime_error("posix_openpt failed");
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("grantpt/unlockpt failed");
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname failed");
  slave_path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) throw std::runtime_error("cannot open the slave side");
  termios tio{};
  tcgetattr(slave_, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave_, TCSANOW, &tio);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

bool write_all(int fd, std::string_view bytes, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd pfd{fd, POLLOUT, 0};
    if (poll(&pfd, 1, ms_left(deadline)) <= 0) return false;
  }
  return true;
}

std::string read_for(int fd, int ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  std::string out;
  while (ms_left(deadline) > 0) {
    if (read_some(fd, out, 1 << 20, ms_left(deadline)) < 0) break;
  }
  return out;
}

std::string read_until(int fd, std::string_view needle, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string out;
  while (out.find(needle) == std::string::npos && ms_left(deadline) > 0) {
    if (read_some(fd, out, 1 << 20, ms_left(deadline)) < 0) break;
  }
  return out;
}

std::string read_exact(int fd, size_t n, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string out;
  while (out.size() < n && ms_left(deadline) > 0) {
    if (read_some(fd, out, n - out.size(), ms_left(deadline)) < 0) break;
  }
  return out;
}

}  // namespace testsupport
