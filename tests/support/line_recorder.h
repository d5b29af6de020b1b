// Records the modem-control requests and pauses below uart_set_rts /
// uart_set_dtr / Sleep (a pseudo-terminal refuses the requests themselves),
// as readable steps: "assert DTR", "release RTS", "pause 50".
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

class LineRecorder {
 public:
  // Installs the seams; pauses are recorded and skipped unless real_pauses.
  explicit LineRecorder(bool real_pauses = false);
  ~LineRecorder();  // restores the real ioctl and sleep
  LineRecorder(const LineRecorder &) = delete;
  LineRecorder &operator=(const LineRecorder &) = delete;

  const std::vector<std::string> &steps() const { return steps_; }
  void clear() { steps_.clear(); }
  // Sleeps each pause for ms / divisor for real (0: skip pauses entirely).
  // Useful where the far end needs some time, not the full pause.
  void set_pause_divisor(int divisor) { divisor_ = divisor; }
  // Runs after each recorded modem request, with its step text: lets a test
  // play the board's answer to the lines (a banner after a reset, say).
  void on_request(std::function<void(const std::string &step)> fn) { on_request_ = std::move(fn); }

 private:
  static int modem_hook(int fd, unsigned long request, int bits);
  static void sleep_hook(int ms);

  int divisor_;
  std::vector<std::string> steps_;
  std::function<void(const std::string &)> on_request_;
};

}  // namespace testsupport
