// A pseudo-terminal pair for tests that need a real serial-like device: the
// code under test opens slave_path(), the test plays the board on master().
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace testsupport {

class PtyPair {
 public:
  // Opens the master (non-blocking) and keeps one raw slave descriptor of
  // its own, so the line never hangs up while the code under test reopens it.
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string &slave_path() const { return slave_path_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

// All bytes, waiting for room up to timeout_ms in all; false on failure.
bool write_all(int fd, std::string_view bytes, int timeout_ms = 5000);
// Everything that arrives within ms (reads until the time is up).
std::string read_for(int fd, int ms);
// Reads until the bytes read contain needle or timeout_ms has passed;
// returns what was read (check it with find()).
std::string read_until(int fd, std::string_view needle, int timeout_ms);
// Reads exactly n bytes unless timeout_ms passes first.
std::string read_exact(int fd, size_t n, int timeout_ms);

// Runs fn on its own thread and joins it when the object goes, so a test
// cannot leave a peer running. fn must end by itself (bounded reads).
class PeerThread {
 public:
  explicit PeerThread(std::function<void()> fn) : thread_(std::move(fn)) {}
  ~PeerThread() { join(); }
  PeerThread(const PeerThread &) = delete;
  PeerThread &operator=(const PeerThread &) = delete;
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

}  // namespace testsupport
