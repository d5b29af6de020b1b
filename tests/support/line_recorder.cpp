#include "tests/support/line_recorder.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "tidewrite/serial_port.h"

namespace testsupport {

namespace {
LineRecorder *g_active = nullptr;
}

LineRecorder::LineRecorder(bool real_pauses) : divisor_(real_pauses ? 1 : 0) {
  g_active = this;
  uart_set_modem_request_hook(&LineRecorder::modem_hook);
  uart_set_sleep_hook(&LineRecorder::sleep_hook);
}

LineRecorder::~LineRecorder() {
  uart_set_modem_request_hook(nullptr);
  uart_set_sleep_hook(nullptr);
  g_active = nullptr;
}

int LineRecorder::modem_hook(int, unsigned long request, int bits) {
  std::string verb = request == TIOCMBIS ? "assert" : request == TIOCMBIC ? "release" : "request?";
  std::string line = bits == TIOCM_DTR ? "DTR" : bits == TIOCM_RTS ? "RTS" : "lines?";
  if (verb.back() == '?' || line.back() == '?') {
    char buf[64];
    std::snprintf(buf, sizeof buf, "request 0x%lx bits 0x%x", request, bits);
    verb = buf;
    line.clear();
  }
  std::string step = line.empty() ? verb : verb + " " + line;
  if (g_active != nullptr) {
    g_active->steps_.push_back(step);
    if (g_active->on_request_) g_active->on_request_(step);
  }
  return 0;
}

void LineRecorder::sleep_hook(int ms) {
  if (g_active != nullptr) {
    g_active->steps_.push_back("pause " + std::to_string(ms));
    if (g_active->divisor_ <= 0) return;
    ms /= g_active->divisor_;
  }
  usleep(static_cast<useconds_t>(ms) * 1000);
}

}  // namespace testsupport
