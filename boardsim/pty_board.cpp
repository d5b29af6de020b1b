// PtyBoard: the device state machine served on a pseudo-terminal by one
// background thread. The thread owns the device; other threads only read the
// flash (the store locks itself) and the counters (under the mutex).
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include "boardsim/board.h"
#include "boardsim/device.h"
#include "boardsim/flash_store.h"
#include "boardsim/pty_util.h"

namespace boardsim {

struct PtyBoard::Impl {
  BoardConfig cfg;
  std::unique_ptr<FlashStore> store;
  std::unique_ptr<Device> dev;
  Fd master;
  Fd notify;
  Fd timer;  // absolute wake-ups on the steady clock, to the nanosecond
  Fd stop_r, stop_w;
  std::string slave;
  std::thread thread;
  mutable std::mutex mu;  // guards dev
  Transcript transcript;
  bool stopped = false;

  // Pacing state: bytes in flight on the emulated line, with the time each
  // one has fully arrived.
  std::deque<std::pair<Clock::time_point, uint8_t>> in_line, out_line;
  Clock::time_point in_clock{}, out_clock{}, last_rx{};
  int host_fds = 0;

  // What one turn of the device leaves for the loop.
  struct Turn {
    Clock::time_point wake;  // when the device next has work
    bool reading = true;     // whether it still takes bytes from the line
    bool hung_up = false;    // the line is down: serving ends
  };

  void serve();
  Turn device_turn(Clock::time_point now);
  Clock::time_point next_wake(Clock::time_point device_wake, Clock::time_point now, bool ready_out) const;
  bool wait_for_events(Clock::time_point wake, Clock::time_point now, bool reading, bool ready_out);
  bool arm_timer(Clock::time_point wake);
  Clock::duration byte_time() const {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / dev->baud()));
  }
  void queue_output(Clock::time_point now);
  void flush_output(Clock::time_point now);
  void on_notify(Clock::time_point now);
  void read_master(Clock::time_point now);
  std::vector<uint8_t> rbuf = std::vector<uint8_t>(65536);
};

PtyBoard::PtyBoard(const BoardConfig &config) : impl_(std::make_unique<Impl>()) {
  Impl &m = *impl_;
  m.cfg = config;
  m.transcript.open(config.transcript_path);
  if (config.flash == FlashKind::nand) {
    m.store = std::make_unique<FlashStore>(config.store_path, kNandRawSize, kNandBlockRaw, false);
  } else {
    m.store = std::make_unique<FlashStore>(config.store_path, config.nor_size, 64 * 1024, true);
  }
  m.master = open_pty_master(m.slave);
  m.notify = Fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!m.notify || inotify_add_watch(m.notify.get(), m.slave.c_str(), IN_OPEN | IN_CLOSE) < 0)
    throw std::runtime_error(std::string("boardsim: cannot watch ") + m.slave + ": " + std::strerror(errno));
  m.timer = Fd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!m.timer) throw std::runtime_error(std::string("boardsim: timerfd failed: ") + std::strerror(errno));
  int p[2];
  if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("boardsim: pipe failed");
  m.stop_r = Fd(p[0]);
  m.stop_w = Fd(p[1]);
  if (!config.link_path.empty()) {
    std::error_code ec;
    if (std::filesystem::is_symlink(config.link_path, ec)) std::filesystem::remove(config.link_path, ec);
    std::filesystem::create_symlink(m.slave, config.link_path);
  }
  int master_fd = m.master.get();
  auto host_baud = [master_fd] { return pty_host_baud(master_fd); };
  auto log = [this](Clock::time_point t, const std::string &text) { impl_->transcript.line(t, text); };
  m.dev = std::make_unique<Device>(m.cfg, *m.store, Clock::now(), host_baud, log);
  m.thread = std::thread([this] { impl_->serve(); });
}

PtyBoard::~PtyBoard() { stop(); }

const std::string &PtyBoard::slave_path() const { return impl_->slave; }

std::vector<uint8_t> PtyBoard::read_flash(uint64_t offset, size_t length) const {
  return impl_->store->read(offset, length);
}

std::vector<uint8_t> PtyBoard::read_nand_page(int page) const {
  return impl_->store->read(uint64_t(page) * kNandPageRaw, kNandPageRaw);
}

uint64_t PtyBoard::flash_size() const { return impl_->store->size(); }

BoardStats PtyBoard::stats() const {
  std::lock_guard lock(impl_->mu);
  return impl_->dev->stats();
}

void PtyBoard::stop() {
  Impl &m = *impl_;
  if (m.stopped) return;
  m.stopped = true;
  char c = 'x';
  (void)!write(m.stop_w.get(), &c, 1);
  if (m.thread.joinable()) m.thread.join();
  if (m.cfg.complete_store_on_stop) m.store->complete();
  if (!m.cfg.link_path.empty()) {
    std::error_code ec;
    std::filesystem::remove(m.cfg.link_path, ec);
  }
  m.master.reset();
}

void PtyBoard::Impl::on_notify(Clock::time_point now) {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    ssize_t k = read(notify.get(), buf, sizeof buf);
    if (k <= 0) return;
    for (char *q = buf; q < buf + k;) {
      auto *e = reinterpret_cast<inotify_event *>(q);
      // Only an opening of an idle port stands in for the reset lines: a
      // second program opening a port that is in use (and finding it
      // locked) changes nothing on a real line either.
      if (e->mask & IN_OPEN) {
        if (++host_fds > 1) {
          transcript.line(now, "host opened the port again while it was open");
        } else {
          std::lock_guard lock(mu);
          dev->host_opened(now);
          dev->take_output();
          in_line.clear();
          out_line.clear();
          transcript.line(now, "host opened the port");
        }
      }
      if (e->mask & IN_CLOSE) {
        // No drain here: the host may already have opened the port again and
        // written to it, and those bytes belong to the new session. What an
        // old session left unread is flushed by the next opening.
        if (host_fds > 0) --host_fds;
        transcript.line(now, "host closed the port");
      }
      q += sizeof(inotify_event) + e->len;
    }
  }
}

void PtyBoard::Impl::queue_output(Clock::time_point now) {
  std::vector<uint8_t> bytes = dev->take_output();
  if (bytes.empty()) return;
  // A reply begins no sooner than the turnaround after the last byte heard.
  Clock::time_point start = std::max(now, last_rx + Millis(cfg.turnaround_ms));
  if (out_line.empty()) out_clock = std::max(out_clock, start);
  auto bt = cfg.paced ? byte_time() : Clock::duration::zero();
  for (uint8_t b : bytes) {
    out_clock = std::max(out_clock, start) + bt;
    out_line.emplace_back(out_clock, b);
  }
}

void PtyBoard::Impl::flush_output(Clock::time_point now) {
  if (host_fds == 0) {
    out_line.clear();  // nobody listens: a real line would lose them too
    return;
  }
  std::vector<uint8_t> chunk;
  for (auto &[t, b] : out_line) {
    if (t > now) break;
    chunk.push_back(b);
  }
  if (chunk.empty()) return;
  ssize_t k = write(master.get(), chunk.data(), chunk.size());
  if (k > 0) out_line.erase(out_line.begin(), out_line.begin() + k);
}

// Arms the timer for an absolute steady-clock time; false when that time has
// already come (nothing to wait for).
bool PtyBoard::Impl::arm_timer(Clock::time_point wake) {
  static_assert(std::is_same_v<Clock, std::chrono::steady_clock>, "the timer runs on CLOCK_MONOTONIC");
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wake.time_since_epoch()).count();
  if (ns <= 0) return false;
  itimerspec spec{};
  spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
  spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
  return timerfd_settime(timer.get(), TFD_TIMER_ABSTIME, &spec, nullptr) == 0;
}

void PtyBoard::Impl::serve() {
  // The line is emulated by sleeping to exact deadlines: ask the kernel not
  // to stretch this thread's wake-ups (the default slack is 50 us per sleep).
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  for (;;) {
    const auto now = Clock::now();
    const Turn turn = device_turn(now);
    if (turn.hung_up) return;
    // Bytes due but not taken by the terminal wait for POLLOUT, not the timer.
    const bool ready_out = !out_line.empty() && out_line.front().first <= now;
    if (!wait_for_events(next_wake(turn.wake, now, ready_out), now, turn.reading, ready_out)) return;
  }
}

PtyBoard::Impl::Turn PtyBoard::Impl::device_turn(Clock::time_point now) {
  std::lock_guard lock(mu);
  // Bytes that have crossed the emulated line go to the device; a reply
  // they cause is timed from the arrival of the last of them.
  std::vector<uint8_t> arrived;
  while (!in_line.empty() && in_line.front().first <= now) {
    last_rx = in_line.front().first;
    arrived.push_back(in_line.front().second);
    in_line.pop_front();
  }
  if (!arrived.empty()) dev->feed(arrived, now);
  dev->tick(now);
  queue_output(now);
  flush_output(now);
  Turn turn{dev->next_deadline(), dev->reading()};
  // The line goes down once the last reply is out, as when the adapter is
  // pulled: the host's reads and writes fail from then on.
  if (dev->hang_up_due() && out_line.empty()) {
    transcript.line(now, "line hung up");
    master.reset();
    turn.hung_up = true;
  }
  return turn;
}

Clock::time_point PtyBoard::Impl::next_wake(Clock::time_point device_wake, Clock::time_point now,
                                            bool ready_out) const {
  // Bytes in flight go to the device at least this often, so a long frame is
  // seen arriving (its silence timers run) without a wake-up per byte.
  constexpr auto kInBatch = std::chrono::milliseconds(1);
  Clock::time_point wake = device_wake;
  // Wake exactly when the last byte read so far has arrived (a frame's end
  // or a command's line end), and in between no later than kInBatch.
  if (!in_line.empty()) wake = std::min({wake, in_line.back().first, in_line.front().first + kInBatch});
  if (!out_line.empty() && !ready_out) wake = std::min(wake, out_line.front().first);
  return std::min(wake, now + std::chrono::milliseconds(100));
}

// Sleeps until `wake` or until the host, the stop pipe or the port's
// openings need the thread, and takes what came; false when told to stop.
bool PtyBoard::Impl::wait_for_events(Clock::time_point wake, Clock::time_point now, bool reading,
                                     bool ready_out) {
  int timeout = -1;
  if (wake <= now) {
    timeout = 0;
  } else if (!arm_timer(wake)) {
    timeout = static_cast<int>(std::chrono::ceil<Millis>(wake - now).count());  // coarse, but never stuck
  }
  // With no host the master reports a hang-up at every poll: leave it out.
  // A board that has stopped reading leaves the host's bytes in the line.
  const short master_events = short((reading ? POLLIN : 0) | (ready_out ? POLLOUT : 0));
  pollfd fds[4] = {{stop_r.get(), POLLIN, 0},
                   {notify.get(), POLLIN, 0},
                   {host_fds > 0 && master_events != 0 ? master.get() : -1, master_events, 0},
                   {timer.get(), POLLIN, 0}};
  int r = poll(fds, 4, timeout);
  if (r < 0 && errno != EINTR) return false;
  if (fds[0].revents) return false;
  if (fds[3].revents & POLLIN) {
    uint64_t expirations;
    (void)!read(timer.get(), &expirations, sizeof expirations);
  }
  const auto woke = Clock::now();
  if (fds[1].revents & POLLIN) on_notify(woke);
  if (host_fds > 0 && (fds[2].revents & POLLIN)) read_master(woke);
  return true;
}

void PtyBoard::Impl::read_master(Clock::time_point now) {
  // Bounded, so replies still go out while a host writes without pause.
  for (int round = 0; round < 16; ++round) {
    ssize_t k = read(master.get(), rbuf.data(), rbuf.size());
    if (k <= 0) return;
    bool drained = size_t(k) < rbuf.size();
    std::lock_guard lock(mu);
    if (!cfg.paced) {
      last_rx = now;
      dev->feed(std::span(rbuf.data(), size_t(k)), now);
    } else {
      auto bt = byte_time();
      for (ssize_t i = 0; i < k; ++i) {
        in_clock = std::max(in_clock, now) + bt;
        in_line.emplace_back(in_clock, rbuf[i]);
      }
    }
    if (drained) return;  // a short read took all there was
  }
}

}  // namespace boardsim
