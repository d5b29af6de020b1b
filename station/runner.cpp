#include "station/runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "station/output_scan.h"
#include "station/report.h"
#include "station/table.h"

extern char **environ;

namespace station {

bool write_all(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

namespace {

constexpr auto kFrameInterval = std::chrono::milliseconds(100);  // at most ten frames a second
constexpr size_t kReadChunk = 65536;

sigset_t handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&set, s);
  return set;
}

std::string quoted(const std::string &w) {
  if (!w.empty() && w.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                        "-_./=:,+@%") == std::string::npos)
    return w;
  std::string q = "'";
  for (char c : w) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Slot {
  PortStatus status;
  UniqueFd log;
  std::string log_error;
  pid_t pid = -1;
  UniqueFd out, err;
  OutputScan scan;
};

// A pipe whose reading end, the station's, never blocks. Returns 0 or errno.
int make_pipe(UniqueFd &read_end, UniqueFd &write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  return 0;
}

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnActions() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnActions() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnActions(const SpawnActions &) = delete;
  SpawnActions &operator=(const SpawnActions &) = delete;
};

// A pseudo-terminal for a run's standard error, so that tidewrite draws its
// progress line there and the table's last-line column moves during a
// transfer. Raw, so the bytes reach the log as they were written. Returns 0
// or errno.
int make_terminal(UniqueFd &master, UniqueFd &slave) {
  master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) return errno;
  char name[128];
  if (::ptsname_r(master.get(), name, sizeof name) != 0) return errno;
  slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave) return errno;
  termios tio{};
  if (::tcgetattr(slave.get(), &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(slave.get(), TCSANOW, &tio);
  }
  ::fcntl(master.get(), F_SETFL, O_NONBLOCK);
  return 0;
}

// Starts words[0] with stdin from /dev/null, stdout and stderr into the given
// pipes, no signal blocked and the stop signals at their defaults (the
// station blocks and ignores some). Returns 0 or the error.
int spawn(std::vector<std::string> &words, int out, int err, pid_t &pid) {
  SpawnActions sa;
  posix_spawn_file_actions_addopen(&sa.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&sa.actions, out, 1);
  posix_spawn_file_actions_adddup2(&sa.actions, err, 2);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&sa.attr, &none);
  posix_spawnattr_setsigdefault(&sa.attr, &defaults);
  posix_spawnattr_setflags(&sa.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return ::posix_spawn(&pid, argv[0], &sa.actions, &sa.attr, argv.data(), environ);
}

class Station {
 public:
  Station(const RunConfig &config, const std::vector<Port> &ports, std::vector<UniqueFd> logs)
      : cfg_(config), slots_(ports.size()) {
    for (size_t i = 0; i < ports.size(); ++i) {
      slots_[i].status.port = ports[i];
      if (i < logs.size()) slots_[i].log = std::move(logs[i]);
    }
    sigset_t set = handled_signals();
    sigfd_.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!sigfd_) throw std::runtime_error(std::string("signalfd: ") + std::strerror(errno));
  }

  RunResult run();

 private:
  void start_waiting();
  void start_attempt(Slot &s);
  bool missing(Slot &s);
  void end_attempt(Slot &s, int wstatus, bool reaped);
  void read_child(Slot &s, UniqueFd &fd, Stream stream);
  void read_signals();
  void reap();
  void begin_stop(int sig, bool from_terminal);
  void kill_remaining();
  void log(Slot &s, const std::string &text) { log_bytes(s, text.data(), text.size()); }
  void log_bytes(Slot &s, const char *data, size_t size);
  void say(const std::string &line);
  void draw(bool force);
  int running() const {
    return static_cast<int>(
        std::count_if(slots_.begin(), slots_.end(), [](const Slot &s) { return s.status.state == State::running; }));
  }
  bool any_waiting() const {
    return std::any_of(slots_.begin(), slots_.end(), [](const Slot &s) { return s.status.state == State::waiting; });
  }
  std::vector<PortStatus> statuses() const {
    std::vector<PortStatus> v;
    for (const auto &s : slots_) v.push_back(s.status);
    return v;
  }

  const RunConfig &cfg_;
  std::vector<Slot> slots_;
  UniqueFd sigfd_;
  Clock::time_point now_ = Clock::now();
  Clock::time_point run_start_ = now_;
  int stop_signal_ = 0;
  bool killed_ = false;
  Clock::time_point kill_at_{}, give_up_at_{};
  bool dirty_ = true;
  Clock::time_point last_draw_{};
  int drawn_lines_ = 0;
  bool no_room_ = false;  // out of descriptors: start nothing until a run ends
};

void Station::log_bytes(Slot &s, const char *data, size_t size) {
  if (!s.log || !s.log_error.empty()) return;
  if (!write_all(s.log.get(), data, size)) {
    s.log_error = std::string("log incomplete: ") + std::strerror(errno);
    say("tidewrite-station: " + s.status.port.log_path + ": " + std::strerror(errno));
  }
}

void Station::say(const std::string &line) {
  if (cfg_.live) return;  // the table tells it
  write_all(cfg_.err_fd, line + "\n");
}

void Station::start_waiting() {
  const int limit = cfg_.jobs > 0 ? cfg_.jobs : static_cast<int>(slots_.size());
  // Every start either runs, fails the port, or uses up an attempt (a run
  // that could not start waits for its retry), so this ends.
  while (running() < limit && !no_room_) {
    // Retries first: a failed port takes the place it has just left.
    Slot *next = nullptr;
    for (bool retry : {true, false}) {
      for (auto &s : slots_)
        if (s.status.state == State::waiting && (s.status.attempts > 0) == retry) {
          next = &s;
          break;
        }
      if (next != nullptr) break;
    }
    if (next == nullptr) return;
    start_attempt(*next);
  }
}

void Station::start_attempt(Slot &s) {
  PortStatus &st = s.status;
  // Nothing is started for a port that is not there (also when one vanishes
  // before a retry): the run would only fail to open it.
  if (missing(s)) return;

  std::vector<std::string> words = {cfg_.tidewrite, "-p", st.port.path};
  words.insert(words.end(), cfg_.tidewrite_args.begin(), cfg_.tidewrite_args.end());
  UniqueFd out_r, out_w, err_r, err_w;
  pid_t pid = -1;
  int err = make_pipe(out_r, out_w);
  if (err == 0) err = cfg_.live ? make_terminal(err_r, err_w) : make_pipe(err_r, err_w);
  std::string why = err != 0 ? std::string("cannot make a pipe or terminal: ") + std::strerror(err) : std::string();
  if (err == 0) {
    err = spawn(words, out_w.get(), err_w.get(), pid);
    if (err != 0) why = "cannot start " + cfg_.tidewrite + ": " + std::strerror(err);
  }
  if ((err == EMFILE || err == ENFILE) && running() > 0) {
    no_room_ = true;  // this port and the rest wait until a run ends and frees its descriptors
    return;
  }

  ++st.attempts;
  now_ = Clock::now();
  if (!st.start_wall) {
    st.start = now_;
    st.start_wall = WallClock::now();
  }
  st.end_wall.reset();
  st.exit_status.reset();
  st.term_signal = 0;
  st.error.clear();
  st.outcome.reset();
  st.last_line.clear();
  s.scan = OutputScan{};
  std::string command;
  for (const auto &w : words) command += (command.empty() ? "" : " ") + quoted(w);
  log(s, "=== tidewrite-station: attempt " + std::to_string(st.attempts) + " of " +
             std::to_string(cfg_.retry + 1) + ", " + iso8601_utc(WallClock::now()) + ": " + command + " ===\n");
  if (err != 0) {
    st.error = why;
    end_attempt(s, 0, false);
    return;
  }
  s.pid = pid;
  s.out = std::move(out_r);
  s.err = std::move(err_r);
  st.state = State::running;
  dirty_ = true;
}

bool Station::missing(Slot &s) {
  struct stat info{};
  if (::stat(s.status.port.path.c_str(), &info) == 0) return false;
  PortStatus &st = s.status;
  st.error = errno == ENOENT ? std::string("no such port") : std::string("port unusable: ") + std::strerror(errno);
  st.state = State::failed;
  log(s, "=== tidewrite-station: " + st.port.path + ": " + st.error + "; not started ===\n");
  say(finish_line(st));
  dirty_ = true;
  return true;
}

void Station::read_child(Slot &s, UniqueFd &fd, Stream stream) {
  char buf[kReadChunk];
  ssize_t n = ::read(fd.get(), buf, sizeof buf);
  if (n > 0) {
    log_bytes(s, buf, static_cast<size_t>(n));
    scan_output(s.scan, stream, std::string_view(buf, static_cast<size_t>(n)));
    s.status.last_line = s.scan.last_line;
    s.status.outcome = s.scan.outcome;
    dirty_ = true;
  } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
    fd.reset();
  }
}

void Station::end_attempt(Slot &s, int wstatus, bool reaped) {
  PortStatus &st = s.status;
  // Everything the run wrote before it ended is in the pipes by now.
  for (UniqueFd *fd : {&s.out, &s.err}) {
    const Stream stream = fd == &s.out ? Stream::out : Stream::err;
    for (int rounds = 0; *fd && rounds < 1024; ++rounds) {
      char buf[kReadChunk];
      ssize_t n = ::read(fd->get(), buf, sizeof buf);
      if (n > 0) {
        log_bytes(s, buf, static_cast<size_t>(n));
        scan_output(s.scan, stream, std::string_view(buf, static_cast<size_t>(n)));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      break;  // end of file, or nothing more for now (a descendant may hold the pipe)
    }
    fd->reset();
  }
  st.last_line = s.scan.last_line;
  st.outcome = s.scan.outcome;
  s.pid = -1;
  now_ = Clock::now();
  st.end = now_;
  st.end_wall = WallClock::now();

  std::string how;
  if (reaped && WIFEXITED(wstatus)) {
    st.exit_status = WEXITSTATUS(wstatus);
    how = "exit status " + std::to_string(*st.exit_status);
  } else if (reaped && WIFSIGNALED(wstatus)) {
    st.term_signal = WTERMSIG(wstatus);
    how = "ended by " + signal_name(st.term_signal);
  } else {
    how = st.error;
  }
  char took[48];
  std::snprintf(took, sizeof took, " after %.3f s",
                std::chrono::duration<double>(st.end - st.start).count());
  log(s, "\n=== tidewrite-station: " + how + took + " ===\n");
  dirty_ = true;

  const bool ok = st.exit_status == 0;
  if (ok) {
    st.state = State::ok;
  } else if (stop_signal_ != 0) {
    st.state = State::interrupted;
  } else if (st.attempts <= cfg_.retry) {
    say(retry_line(st, st.attempts + 1, cfg_.retry + 1));
    st.state = State::waiting;  // started again at once, before any port that has not run yet
    return;
  } else {
    st.state = State::failed;
  }
  if (!s.log_error.empty()) st.error += (st.error.empty() ? "" : "; ") + s.log_error;
  say(finish_line(st));
}

void Station::reap() {
  for (;;) {
    int wstatus = 0;
    pid_t pid = ::waitpid(-1, &wstatus, WNOHANG);
    if (pid <= 0) return;
    no_room_ = false;
    for (auto &s : slots_)
      if (s.pid == pid) {
        end_attempt(s, wstatus, true);
        break;
      }
  }
}

void Station::begin_stop(int sig, bool from_terminal) {
  if (stop_signal_ != 0) return;  // one stop: later signals change nothing
  stop_signal_ = sig;
  for (auto &s : slots_) {
    if (s.status.state == State::waiting && s.status.attempts > 0) {
      s.status.state = State::failed;  // its retry is called off
      log(s, "=== tidewrite-station: stopped by " + signal_name(sig) + " before the next attempt ===\n");
      say(finish_line(s.status));
    } else if (s.status.state == State::waiting) {
      s.status.state = State::not_started;
      log(s, "=== tidewrite-station: stopped by " + signal_name(sig) + " before this port started ===\n");
    } else if (s.status.state == State::running && !(sig == SIGINT && from_terminal)) {
      // A Ctrl-C at the terminal has reached every run already (they share the
      // station's process group); a second signal would cut their tidy-up short.
      ::kill(s.pid, SIGTERM);
    }
  }
  kill_at_ = Clock::now() + cfg_.grace;
  dirty_ = true;
  if (int n = running(); n > 0)
    say("tidewrite-station: " + signal_name(sig) + ": stopping " + std::to_string(n) + (n == 1 ? " run" : " runs"));
}

void Station::kill_remaining() {
  for (auto &s : slots_)
    if (s.status.state == State::running) ::kill(s.pid, SIGKILL);
  killed_ = true;
  give_up_at_ = Clock::now() + cfg_.kill_wait;
}

void Station::read_signals() {
  signalfd_siginfo info;
  while (::read(sigfd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    const int sig = static_cast<int>(info.ssi_signo);
    if (sig == SIGCHLD) continue;  // every round reaps
    begin_stop(sig, info.ssi_code == SI_KERNEL);
  }
}

void Station::draw(bool force) {
  if (!cfg_.live) return;
  now_ = Clock::now();
  // Changes show within a frame; the elapsed times tick while runs go on.
  if (!force && (!(dirty_ || running() > 0) || now_ - last_draw_ < kFrameInterval)) return;
  Screen screen;
  winsize ws{};
  if (::ioctl(cfg_.err_fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
    screen.width = ws.ws_col;
    screen.height = ws.ws_row;
  }
  const auto st = statuses();
  const auto lines =
      table_lines(st, now_, std::chrono::duration<double>(now_ - run_start_).count(), screen);
  write_all(cfg_.err_fd, frame_bytes(drawn_lines_, lines));
  drawn_lines_ = static_cast<int>(lines.size());
  last_draw_ = now_;
  dirty_ = false;
}

RunResult Station::run() {
  RunResult result;
  result.start_wall = WallClock::now();
  run_start_ = Clock::now();

  for (auto &s : slots_) {
    if (s.status.port.device.empty()) missing(s);  // reported failed at once
  }
  std::vector<pollfd> fds;
  std::vector<std::pair<Slot *, Stream>> owners;
  for (;;) {
    if (stop_signal_ == 0) start_waiting();
    if (running() == 0 && (stop_signal_ != 0 || !any_waiting())) break;

    now_ = Clock::now();
    if (stop_signal_ != 0 && !killed_ && now_ >= kill_at_) kill_remaining();
    if (killed_ && now_ >= give_up_at_) {
      for (auto &s : slots_)
        if (s.status.state == State::running) {
          s.status.state = State::interrupted;
          s.status.error = "still running after SIGKILL; left behind as process " + std::to_string(s.pid);
          s.status.end = now_;
          s.status.end_wall = WallClock::now();
          s.out.reset();
          s.err.reset();
          say(finish_line(s.status));
        }
      break;
    }
    draw(false);

    // Sleep until something happens, the next frame is due, or the stop's deadline.
    int timeout = -1;
    auto wake_at = [&](Clock::time_point t) {
      auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - now_).count();
      ms = std::max<long long>(ms, 0);
      if (timeout < 0 || ms < timeout) timeout = static_cast<int>(std::min<long long>(ms, 60000));
    };
    if (cfg_.live && (dirty_ || running() > 0)) wake_at(last_draw_ + kFrameInterval);
    if (stop_signal_ != 0) wake_at(killed_ ? give_up_at_ : kill_at_);

    fds.clear();
    owners.clear();
    fds.push_back({sigfd_.get(), POLLIN, 0});
    owners.emplace_back(nullptr, Stream::out);
    for (auto &s : slots_) {
      if (s.out) fds.push_back({s.out.get(), POLLIN, 0}), owners.emplace_back(&s, Stream::out);
      if (s.err) fds.push_back({s.err.get(), POLLIN, 0}), owners.emplace_back(&s, Stream::err);
    }
    int n = ::poll(fds.data(), fds.size(), timeout);
    if (n < 0 && errno != EINTR) throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    if (n <= 0) continue;
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      auto [slot, stream] = owners[i];
      UniqueFd &fd = stream == Stream::out ? slot->out : slot->err;
      if (fd.get() == fds[i].fd) read_child(*slot, fd, stream);
    }
    if (fds[0].revents != 0) read_signals();
    reap();
  }
  draw(true);
  result.ports = statuses();
  result.stop_signal = stop_signal_;
  result.end_wall = WallClock::now();
  result.seconds = std::chrono::duration<double>(Clock::now() - run_start_).count();
  return result;
}

}  // namespace

void block_signals() {
  sigset_t set = handled_signals();
  ::sigprocmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

void die_by_signal(int sig) {
  ::signal(sig, SIG_DFL);
  ::raise(sig);  // pending while blocked
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::_exit(128 + sig);  // not reached when the default action ends the process
}

std::string open_logs(const std::vector<Port> &ports, std::vector<UniqueFd> &logs) {
  logs.clear();
  for (const auto &p : ports) {
    UniqueFd fd(::open(p.log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd) return "cannot open the log " + p.log_path + ": " + std::strerror(errno);
    logs.push_back(std::move(fd));
  }
  return {};
}

RunResult run_ports(const RunConfig &config, const std::vector<Port> &ports, std::vector<UniqueFd> logs) {
  Station station(config, ports, std::move(logs));
  return station.run();
}

}  // namespace station
