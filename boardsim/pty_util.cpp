#include "boardsim/pty_util.h"

#include <fcntl.h>
#include <termios.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace boardsim {

Fd open_pty_master(std::string &slave_path) {
  Fd m(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!m || grantpt(m.get()) != 0 || unlockpt(m.get()) != 0)
    throw std::runtime_error(std::string("boardsim: no pseudo-terminal: ") + std::strerror(errno));
  char name[256];
  if (ptsname_r(m.get(), name, sizeof name) != 0)
    throw std::runtime_error(std::string("boardsim: ptsname failed: ") + std::strerror(errno));
  slave_path = name;
  // Raw from the start: an echoing slave would hand the host its own bytes.
  termios t{};
  if (tcgetattr(m.get(), &t) == 0) {
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(m.get(), TCSANOW, &t);
  }
  return m;
}

int speed_to_baud(unsigned code) {
  switch (code) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B500000: return 500000;
    case B576000: return 576000;
    case B921600: return 921600;
    case B1000000: return 1000000;
    case B1152000: return 1152000;
    case B1500000: return 1500000;
    case B2000000: return 2000000;
    case B2500000: return 2500000;
    case B3000000: return 3000000;
    case B3500000: return 3500000;
    case B4000000: return 4000000;
    default: return 0;
  }
}

int pty_host_baud(int master_fd) {
  termios t{};
  if (tcgetattr(master_fd, &t) != 0) return 0;
  return speed_to_baud(cfgetospeed(&t));
}

Transcript::~Transcript() {
  if (owned_ && file_ != nullptr) std::fclose(file_);
}

void Transcript::open(const std::string &path) {
  if (path.empty()) return;
  if (path == "-") {
    file_ = stderr;
    return;
  }
  file_ = std::fopen(path.c_str(), "a");
  if (file_ == nullptr) throw std::runtime_error("boardsim: cannot open transcript " + path);
  owned_ = true;
}

void Transcript::line(Clock::time_point t, const std::string &text) {
  if (file_ == nullptr) return;
  std::lock_guard lock(mu_);
  double s = std::chrono::duration<double>(t - start_).count();
  std::fprintf(file_, "%10.6f %s\n", s, text.c_str());
  std::fflush(file_);
}

}  // namespace boardsim
