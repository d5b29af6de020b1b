#include "tidewrite/serial_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <optional>
#include <vector>

#include "tidewrite/failure_reason.h"
#include "tidewrite/stop_signal.h"

UARTHDL g_uart_hdl = 0;
int uart_write_stall_ms = 5000;
int uart_silence_limit_ms = 20000;

namespace {

int g_open_count = 0;

using Clock = std::chrono::steady_clock;

int real_modem_request(int fd, unsigned long request, int bits) { return ioctl(fd, request, &bits); }

int real_serial_request(int fd, unsigned long request, serial_struct *info) { return ioctl(fd, request, info); }

int real_output_queue(int fd, int *queued) { return ioctl(fd, TIOCOUTQ, queued); }

// In pieces, so that a stop signal ends the pause within a fraction of a
// second even when it did not interrupt the sleep itself.
void real_sleep(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (stop_signal_caught() == 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return;
    const long piece = std::min<long>(static_cast<long>(left), 200);
    timespec pause{piece / 1000, (piece % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

// Set when a caller gave the terminal a minimum count or timer. With a
// minimum count the terminal reports input only once that many bytes are in,
// so a short reply would never wake the read; uart_read clears them first.
bool g_terminal_counts_set = false;

uart_modem_request_fn g_modem_request = real_modem_request;
uart_serial_request_fn g_serial_request = real_serial_request;
uart_sleep_fn g_sleep = real_sleep;
uart_output_queue_fn g_output_queue = real_output_queue;

// Every wait in this layer wakes at least this often to look for a stop
// signal: one that lands just before a wait begins does not interrupt it.
constexpr int kStopCheckMs = 200;

// What one uart_open changed on the device, put back by uart_close, and the
// state of the line in between.
struct PortSession {
  int fd = -1;
  bool locked = false;
  bool settings_saved = false;
  termios settings{};            // as at open
  bool low_latency_set = false;  // the driver's flag was off and is now on
  // The line failed (stalled, silent past the limit, or the run was stopped
  // by a signal): every later read and write fails at once and quietly, so
  // no flow retries into a dead line. A line that hung up fails at once by
  // itself, and each read says so as before.
  bool lost = false;
  bool hung_up = false;
  int silent_ms = 0;  // waited in reads since the board last sent a byte
};

// Handles are few and short-lived; a list under a lock is plenty.
std::mutex g_sessions_mu;
std::vector<PortSession> g_sessions;

void add_session(const PortSession &s) {
  std::lock_guard lock(g_sessions_mu);
  g_sessions.push_back(s);
}

std::optional<PortSession> take_session(int fd) {
  std::lock_guard lock(g_sessions_mu);
  auto it = std::find_if(g_sessions.begin(), g_sessions.end(), [fd](const PortSession &s) { return s.fd == fd; });
  if (it == g_sessions.end()) return std::nullopt;
  PortSession s = *it;
  g_sessions.erase(it);
  return s;
}

// Runs change on the session of fd under the lock; false when fd has none
// (a descriptor this layer did not open).
template <class Change>
bool change_session(int fd, Change change) {
  std::lock_guard lock(g_sessions_mu);
  for (PortSession &s : g_sessions) {
    if (s.fd == fd) {
      change(s);
      return true;
    }
  }
  return false;
}

void mark_lost(int fd) {
  change_session(fd, [](PortSession &s) { s.lost = true; });
}

bool session_lost(int fd) {
  bool lost = false;
  change_session(fd, [&lost](PortSession &s) { lost = s.lost; });
  return lost;
}

// A stop signal ends the use of every line; a lost line stays lost.
bool line_unusable(int fd) {
  if (stop_signal_caught() != 0) {
    mark_lost(fd);
    return true;
  }
  return session_lost(fd);
}

// USB serial adapters hold received bytes back for up to 16 ms unless the
// driver is in low-latency mode; with thousands of request/reply exchanges
// in a NAND write that costs minutes. A driver without the request (or a
// pseudo-terminal) is fine as it is.
bool request_low_latency(int fd) {
  serial_struct info{};
  if (g_serial_request(fd, TIOCGSERIAL, &info) != 0) return false;
  if ((info.flags & ASYNC_LOW_LATENCY) != 0) return false;  // already on: nothing to undo
  info.flags |= ASYNC_LOW_LATENCY;
  return g_serial_request(fd, TIOCSSERIAL, &info) == 0;
}

void undo_low_latency(int fd) {
  serial_struct info{};
  if (g_serial_request(fd, TIOCGSERIAL, &info) != 0) return;
  info.flags &= ~ASYNC_LOW_LATENCY;
  g_serial_request(fd, TIOCSSERIAL, &info);
}

// What a path that is not a port is, for the line that refuses it.
const char *file_kind(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device";
  return "not a terminal device";
}

void refuse_not_a_port(const char *port, const char *kind) {
  const bool file = std::strcmp(kind, "a regular file") == 0;
  std::fprintf(stderr, "%s is not a serial port: it is %s%s\n", port, kind,
               file ? ", left untouched (are -p and -f swapped?)" : "");
}

void refuse_busy(const char *port, int own_fd) {
  const std::string holders = uart_port_holders(port, own_fd);
  if (holders.empty()) {
    std::fprintf(stderr, "%s is busy: another program has it open\n", port);
  } else {
    std::fprintf(stderr, "%s is busy: %s %s it open\n", port, holders.c_str(),
                 holders.find(',') == std::string::npos ? "has" : "have");
  }
}

struct SpeedCode {
  int rate;
  speed_t code;
};

constexpr SpeedCode kSpeeds[] = {
    {115200, B115200},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

// The line rate of a speed code; the common lower rates too, since a port
// is put back at whatever rate it had before the run.
int rate_of(speed_t code) {
  for (const auto &s : kSpeeds)
    if (s.code == code) return s.rate;
  switch (code) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B230400: return 230400;
    case B460800: return 460800;
    default: return 0;
  }
}

// Lets the bytes still queued for the line go out, for as long as they need
// at the line's rate and not longer: an adapter whose output is stuck
// (flow control, a vanished device) must not hold the close for ever. true
// when the queue emptied.
bool drain_output(int fd) {
  int queued = 0;
  if (g_output_queue(fd, &queued) != 0) return false;
  if (queued <= 0) return true;
  termios tio{};
  const int rate = tcgetattr(fd, &tio) == 0 ? rate_of(cfgetospeed(&tio)) : 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(uart_drain_budget_ms(queued, rate));
  while (Clock::now() < deadline && stop_signal_caught() == 0) {
    timespec pause{0, 5 * 1000000L};
    nanosleep(&pause, nullptr);
    if (g_output_queue(fd, &queued) != 0) return false;
    if (queued <= 0) return true;
  }
  return false;
}

// Milliseconds from now to the deadline, rounded up so a wait never ends a
// hair early and spins.
int ms_until(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

constexpr int kWaitStopped = -2;

// Waits for the descriptor to become ready for events; 1 ready, 0 time-out,
// -1 error, kWaitStopped when a stop signal came. EINTR restarts the wait
// for the time that is left.
int wait_ready(int fd, short events, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (stop_signal_caught() != 0) return kWaitStopped;
    const int left = ms_until(deadline);
    if (left == 0) return 0;
    pollfd pfd{fd, events, 0};
    int r = poll(&pfd, 1, std::min(left, kStopCheckMs));
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR) return -1;
  }
}

// A read or write that failed on the line: err 0 stands for end of file,
// which a terminal reports after a hang-up, as it does EIO.
void note_line_error(int fd, const char *doing, int err) {
  change_session(fd, [](PortSession &s) { s.hung_up = true; });
  if (err == 0 || err == EIO) {
    note_failure("the serial line hung up (adapter unplugged or board switched off?)");
  } else {
    note_failure("%s the serial port failed: %s", doing, std::strerror(err));
  }
}

// How long a read may wait: a board that has sent nothing for
// uart_silence_limit_ms of waiting in all is gone, whatever each read's own
// time-out.
int read_wait_ms(int fd, int timeout) {
  int wait = timeout;
  change_session(fd, [&wait](PortSession &s) {
    wait = std::min(wait, std::max(0, uart_silence_limit_ms - s.silent_ms));
  });
  return wait;
}

// Counts a read's silence; the line is lost once the limit is reached.
void account_silence(int fd, int got, int waited_ms) {
  bool now_lost = false;
  change_session(fd, [&](PortSession &s) {
    if (got > 0) {
      s.silent_ms = 0;
      return;
    }
    if (s.lost || s.hung_up) return;
    s.silent_ms += waited_ms;
    if (s.silent_ms >= uart_silence_limit_ms) now_lost = s.lost = true;
  });
  if (now_lost) {
    note_failure("the board has sent nothing for %d ms: the link is lost (board reset, stopped or unplugged?)",
                 uart_silence_limit_ms);
  }
}

int modify_settings(UARTHDL hdl, void (*change)(termios &, int), int value) {
  termios tio{};
  if (tcgetattr(hdl, &tio) != 0) {
    std::perror("tcgetattr failed");
    return -1;
  }
  change(tio, value);
  if (tcsetattr(hdl, TCSANOW, &tio) != 0) {
    std::perror("tcsetattr failed");
    return -1;
  }
  return 0;
}

}  // namespace

std::string uart_open_error_message(const char *port, int err) {
  std::string name = port != nullptr ? port : "(no port)";
  std::string head = "cannot open " + name + ": ";
  switch (err) {
    case ENOENT:
      return head + "no such device (check the port name and that the board is plugged in)";
    case ENXIO:
    case ENODEV:
      return head + "device not present (the adapter may have been unplugged)";
    case EACCES:
    case EPERM:
      return head +
             "permission denied (on Linux add your user to the dialout group: "
             "sudo usermod -aG dialout $USER, then log in again)";
    case EBUSY:
      return head + "port busy (another program holds it; close that program and retry)";
    default:
      return head + std::strerror(err);
  }
}

std::string uart_port_holders(const char *port, int own_fd) {
  struct stat dev {};
  if (port == nullptr || stat(port, &dev) != 0 || !S_ISCHR(dev.st_mode)) return {};
  const pid_t self = getpid();
  std::string out;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return {};
  while (const dirent *p = readdir(proc)) {
    char *end = nullptr;
    const long pid = std::strtol(p->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    const std::string fd_dir = std::string("/proc/") + p->d_name + "/fd";
    DIR *fds = opendir(fd_dir.c_str());  // other users' processes are not listed
    if (fds == nullptr) continue;
    bool holds = false;
    while (const dirent *f = readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      if (pid == self && std::atoi(f->d_name) == own_fd) continue;
      const std::string link = fd_dir + "/" + f->d_name;
      char target[256];
      const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      // Only device nodes are looked at: stat on anything else (a file on a
      // network mount) could wait.
      if (n <= 0 || std::strncmp(target, "/dev/", 5) != 0) continue;
      struct stat st {};
      if (stat(link.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == dev.st_rdev) {
        holds = true;
        break;
      }
    }
    closedir(fds);
    if (!holds) continue;
    std::string comm;
    std::ifstream comm_file(std::string("/proc/") + p->d_name + "/comm");
    std::getline(comm_file, comm);
    if (!out.empty()) out += ", ";
    out += "pid " + std::to_string(pid) + " (" + (comm.empty() ? "?" : comm) + ")";
  }
  closedir(proc);
  return out;
}

UARTHDL uart_open(const char *port) {
  if (port == nullptr) return 0;
  // A port swapped with the image file must not be written to: anything but
  // a character device is refused before it is opened.
  struct stat st {};
  if (stat(port, &st) == 0 && !S_ISCHR(st.st_mode)) {
    refuse_not_a_port(port, file_kind(st.st_mode));
    return 0;
  }
  // Non-blocking: the open must not wait for a carrier, a stalled write must
  // end (uart_write), and a read must never sit on the terminal's minimum
  // count (uart_read bounds every wait itself).
  int fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (err == EBUSY) {
      refuse_busy(port, -1);  // held in exclusive mode by another program
    } else {
      std::fprintf(stderr, "%s\n", uart_open_error_message(port, err).c_str());
    }
    return 0;
  }
  if (fd == 0) {  // 0 means "no port" to every caller: move it
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    if (moved < 0) {
      std::perror("cannot move the port descriptor");
      return 0;
    }
    fd = moved;
  }
  if (!isatty(fd)) {
    refuse_not_a_port(port, "not a terminal device");
    close(fd);
    return 0;
  }
  // Claim the port before touching it: a second run must fail without
  // flushing, re-timing or writing to the line of the run that holds it.
  PortSession session;
  session.fd = fd;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    session.locked = true;
  } else if (errno == EWOULDBLOCK) {
    refuse_busy(port, fd);
    close(fd);
    return 0;
  }
  // Keeps out other programs that do not lock (root passes, the lock does not).
  ioctl(fd, TIOCEXCL);
  session.settings_saved = tcgetattr(fd, &session.settings) == 0;
  session.low_latency_set = request_low_latency(fd);
  add_session(session);

  if (tcflush(fd, TCIOFLUSH) != 0) std::perror("tcflush failed");
  uart_set_baudrate(fd, 115200);
  ++g_open_count;
  return fd;
}

void uart_close(UARTHDL hdl) {
  if (hdl <= 0) return;
  if (const auto session = take_session(hdl)) {
    if (session->low_latency_set) undo_low_latency(hdl);
    // What a working line has queued goes out first, within a bound; what
    // is left then (or on a line that failed) is discarded, so neither the
    // settings below (a speed change would garble bytes still going out)
    // nor the close itself waits on it.
    const bool usable = !session->lost && !session->hung_up && stop_signal_caught() == 0;
    if (!usable || !drain_output(hdl)) tcflush(hdl, TCOFLUSH);
    if (session->settings_saved) tcsetattr(hdl, TCSANOW, &session->settings);
    ioctl(hdl, TIOCNXCL);
    if (session->locked) flock(hdl, LOCK_UN);
  }
  close(hdl);
}

int uart_drain_budget_ms(int queued, int rate) {
  if (queued <= 0) return 0;
  if (rate <= 0) rate = 115200;
  // Twice the time the bytes need at 10 bits each, and a little for the
  // adapter to start; never more than kDrainLimitMs.
  constexpr long long kDrainLimitMs = 2000;
  const long long need = static_cast<long long>(queued) * 10 * 1000 / rate;
  return static_cast<int>(std::min(kDrainLimitMs, 2 * need + 50));
}

int uart_open_count() { return g_open_count; }

bool uart_link_lost(UARTHDL hdl) {
  bool lost = stop_signal_caught() != 0;
  change_session(hdl, [&lost](PortSession &s) { lost = lost || s.lost || s.hung_up; });
  return lost;
}

int uart_write(UARTHDL hdl, const void *data, int len) {
  if (len <= 0) return 0;
  if (line_unusable(hdl)) return -1;
  const auto *p = static_cast<const uint8_t *>(data);
  int done = 0;
  while (done < len) {
    ssize_t r = write(hdl, p + done, static_cast<size_t>(len - done));
    if (r > 0) {
      done += static_cast<int>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) {
      if (line_unusable(hdl)) return -1;
      continue;
    }
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The line takes bytes as fast as it sends them; a line that takes
      // none for this long is stuck (flow control, vanished adapter), and
      // the run is over: every later write would stall as long again.
      const int ready = wait_ready(hdl, POLLOUT, uart_write_stall_ms);
      if (ready == 1) continue;
      if (ready == kWaitStopped) {
        mark_lost(hdl);
        return -1;
      }
      mark_lost(hdl);
      if (ready == 0) note_failure("the serial line took no data for %d ms (adapter gone?)", uart_write_stall_ms);
      break;
    }
    note_line_error(hdl, "writing to", r < 0 ? errno : 0);
    if (done == 0) return -1;
    break;
  }
  return done;
}

namespace {

int read_bounded(UARTHDL hdl, void *data, int len, int timeout, bool silence_counts) {
  if (len <= 0) return 0;
  // A stopped run or a lost line fails at once and quietly: the cause has
  // been told already.
  if (line_unusable(hdl)) return -1;
  auto *out = static_cast<uint8_t *>(data);
  if (timeout <= 0) {
    ssize_t r = read(hdl, out, static_cast<size_t>(len));
    if (r >= 0) return static_cast<int>(r);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    note_line_error(hdl, "reading from", errno);
    std::printf("rest len < 0\n\r");
    return -1;
  }

  if (g_terminal_counts_set) {
    g_terminal_counts_set = false;
    modify_settings(
        hdl,
        [](termios &tio, int) {
          tio.c_cc[VMIN] = 0;
          tio.c_cc[VTIME] = 0;
        },
        0);
  }

  const auto start = Clock::now();
  const int wait_ms = silence_counts ? read_wait_ms(hdl, timeout) : timeout;
  const auto deadline = start + std::chrono::milliseconds(wait_ms);
  int got = 0;
  for (;;) {
    if (stop_signal_caught() != 0) {
      mark_lost(hdl);
      return -1;
    }
    int left = ms_until(deadline);
    if (left == 0) break;
    int wait = std::min(left, got > 0 ? uart_quiet_ms : kStopCheckMs);
    pollfd pfd{hdl, POLLIN, 0};
    int pr = poll(&pfd, 1, wait);
    if (pr < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (pr == 0) {
      if (got > 0) break;  // the reply has ended: a quiet line after bytes
      continue;            // the deadline decides at the top
    }
    ssize_t r = read(hdl, out + got, static_cast<size_t>(len - got));
    if (r > 0) {
      got += static_cast<int>(r);
      if (got == len) break;
      continue;
    }
    // End of file on a terminal is a hang-up (the adapter or the far end is
    // gone): an error, not a quiet line, so callers stop at once.
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    note_line_error(hdl, "reading from", r < 0 ? errno : 0);
    if (got > 0) break;
    std::printf("rest len < 0\n\r");
    return -1;
  }
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  if (silence_counts || got > 0) account_silence(hdl, got, static_cast<int>(waited));
  return got;
}

}  // namespace

int uart_read(UARTHDL hdl, void *data, int len, int timeout) { return read_bounded(hdl, data, len, timeout, true); }

int uart_read_patient(UARTHDL hdl, void *data, int len, int timeout) {
  return read_bounded(hdl, data, len, timeout, false);
}

void uart_raw_line_settings(termios &tio) {
  // Raw: bytes pass unchanged both ways. Stripping the eighth bit, marking
  // parity errors (0xFF doubled) or any output processing would corrupt
  // binary frames and digests.
  tio.c_iflag &= ~static_cast<tcflag_t>(INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | ISTRIP | INPCK | PARMRK | IUCLC);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR | OCRNL);
  tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
  // The whole line, whatever a previous program left: 8N1 with the receiver
  // on, the modem-status lines ignored, and no hardware flow control (a
  // board that does not drive CTS would stall every write).
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_cc[VTIME] = 0;
  tio.c_cc[VMIN] = 0;
}

bool uart_rate_supported(int baudrate) {
  return std::any_of(std::begin(kSpeeds), std::end(kSpeeds), [baudrate](const SpeedCode &s) { return s.rate == baudrate; });
}

std::string uart_supported_rates() {
  std::string out;
  for (const auto &s : kSpeeds) {
    if (!out.empty()) out += ", ";
    out += std::to_string(s.rate);
  }
  return out;
}

int uart_set_baudrate(UARTHDL hdl, int baudrate) {
  return modify_settings(
      hdl,
      [](termios &tio, int rate) {
        uart_raw_line_settings(tio);
        for (const auto &s : kSpeeds) {
          if (s.rate == rate) {
            cfsetispeed(&tio, s.code);
            cfsetospeed(&tio, s.code);
            break;
          }
        }
      },
      baudrate);
}

int uart_set_timeout(UARTHDL hdl, int timeout) {
  g_terminal_counts_set = true;
  return modify_settings(
      hdl, [](termios &tio, int ms) { tio.c_cc[VTIME] = static_cast<cc_t>(ms / 10000); }, timeout);
}

int uart_set_min_byte(UARTHDL hdl, int cnt) {
  g_terminal_counts_set = true;
  return modify_settings(hdl, [](termios &tio, int n) { tio.c_cc[VMIN] = static_cast<cc_t>(n); }, cnt);
}

int uart_set_rts(UARTHDL hdl, int state) {
  g_modem_request(hdl, state != 0 ? TIOCMBIC : TIOCMBIS, TIOCM_RTS);
  return 0;
}

int uart_set_dtr(UARTHDL hdl, int state) {
  g_modem_request(hdl, state != 0 ? TIOCMBIC : TIOCMBIS, TIOCM_DTR);
  return 0;
}

void uart_flush_tx(UARTHDL hdl) { tcflush(hdl, TCOFLUSH); }

void uart_flush_rx(UARTHDL hdl) { tcflush(hdl, TCIFLUSH); }

void Sleep(int ms) {
  if (ms <= 0) return;
  g_sleep(ms);
}

void uart_set_modem_request_hook(uart_modem_request_fn fn) {
  g_modem_request = fn != nullptr ? fn : real_modem_request;
}

void uart_set_serial_request_hook(uart_serial_request_fn fn) {
  g_serial_request = fn != nullptr ? fn : real_serial_request;
}

void uart_set_sleep_hook(uart_sleep_fn fn) { g_sleep = fn != nullptr ? fn : real_sleep; }

void uart_set_output_queue_hook(uart_output_queue_fn fn) {
  g_output_queue = fn != nullptr ? fn : real_output_queue;
}
