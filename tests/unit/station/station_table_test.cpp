#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "station/table.h"

namespace {

using namespace std::chrono_literals;
using station::Clock;
using station::PortStatus;
using station::State;

const Clock::time_point t0 = Clock::time_point() + 1000s;

PortStatus port(const std::string &path, State state, double started = -1, double ended = -1) {
  PortStatus p;
  p.port.path = path;
  p.state = state;
  if (started >= 0) {
    p.start = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(started));
    p.start_wall = station::WallClock::time_point();
    p.attempts = 1;
  }
  if (ended >= 0) p.end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(ended));
  return p;
}

std::vector<PortStatus> line_of_five() {
  std::vector<PortStatus> v;
  v.push_back(port("/dev/ttyUSB0", State::ok, 0, 3.94));
  v.back().last_line = v.back().outcome.emplace("upload success");
  v.push_back(port("/dev/ttyUSB1", State::failed, 0, 2.5));
  v.back().exit_status = 250;
  v.back().last_line = v.back().outcome.emplace("upload fail");
  v.push_back(port("/dev/ttyUSB2", State::running, 0.5));
  v.back().attempts = 2;
  v.back().last_line = "programing [#####          ] 40%";
  v.push_back(port("/dev/ttyUSB3", State::waiting));
  v.push_back(port("/dev/ttyUSB9", State::failed));
  v.back().error = "no such port";
  return v;
}

TEST(StationTable, FrameFromAGivenState) {
  const auto lines = station::table_lines(line_of_five(), t0 + 4s, 4.04, {100, 40});
  const std::vector<std::string> expected = {
      "PORT          STATE           TIME  LAST LINE                                 OUTCOME",
      "/dev/ttyUSB0  ok              3.9s  upload success                            upload success",
      "/dev/ttyUSB1  failed          2.5s  upload fail                               upload fail",
      "/dev/ttyUSB2  running #2      3.5s  programing [#####          ] 40%",
      "/dev/ttyUSB3  waiting",
      "/dev/ttyUSB9  failed                no such port",
      "5 ports: 1 ok, 2 failed, 1 running, 1 waiting; 4.0 s",
  };
  EXPECT_EQ(lines, expected);
}

// No line may reach the last column: the terminal would wrap it and the next
// frame would be drawn over the wrong lines.
TEST(StationTable, NoLineWrapsAtAnyWidth) {
  auto ports = line_of_five();
  ports[0].port.path = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  ports[2].last_line = std::string(300, '#');
  for (int width = 1; width <= 200; ++width) {
    const auto lines = station::table_lines(ports, t0 + 4s, 4, {width, 40});
    ASSERT_EQ(lines.size(), 7u);
    for (const auto &l : lines) EXPECT_LT(l.size(), static_cast<size_t>(std::max(width, 20))) << width << ": " << l;
  }
}

TEST(StationTable, NarrowScreensDropColumnsAndKeepThePortEnds) {
  auto ports = line_of_five();
  ports[0].port.path = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  // 80 columns: the port column is a quarter of the width and keeps the name's end.
  auto lines = station::table_lines(ports, t0 + 4s, 4, {80, 40});
  EXPECT_EQ(lines[1].substr(0, 23), "...285BI-if00-port0  ok") << lines[1];
  EXPECT_NE(lines[0].find("OUTCOME"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].substr(lines[1].size() - 14), "upload success");
  // 60 columns: no room for both text columns; the outcome goes first.
  lines = station::table_lines(ports, t0 + 4s, 4, {60, 40});
  EXPECT_EQ(lines[0].find("OUTCOME"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("LAST LINE"), std::string::npos) << lines[0];
  // 40 columns: port, state and time only.
  lines = station::table_lines(ports, t0 + 4s, 4, {40, 40});
  EXPECT_EQ(lines[0], "PORT          STATE           TIME");
  EXPECT_EQ(lines[3], "/dev/ttyUSB2  running #2      3.5s");
}

TEST(StationTable, ManyPortsKeepTheRowsThatNeedAnEye) {
  std::vector<PortStatus> ports;
  for (int i = 0; i < 64; ++i) {
    State s = i < 40 ? State::ok : i < 60 ? State::waiting : State::running;
    ports.push_back(port("/dev/ttyUSB" + std::to_string(i), s, s == State::waiting ? -1 : 0, 3));
  }
  ports[7].state = State::failed;
  // 12 rows: heading, totals and the cursor leave 9, one of them for the rest.
  const auto lines = station::table_lines(ports, t0 + 4s, 4, {100, 12});
  ASSERT_EQ(lines.size(), 11u);
  // Failed, then running, then waiting ports are kept, shown in their own order.
  const char *kept[] = {"/dev/ttyUSB7 ", "/dev/ttyUSB40", "/dev/ttyUSB41", "/dev/ttyUSB42",
                        "/dev/ttyUSB60", "/dev/ttyUSB61", "/dev/ttyUSB62", "/dev/ttyUSB63"};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(lines[1 + i].substr(0, 13), kept[i]);
  EXPECT_EQ(lines[9], "... 56 more: 39 ok, 17 waiting");
  EXPECT_EQ(lines[10], "64 ports: 39 ok, 1 failed, 4 running, 20 waiting; 4.0 s");
}

TEST(StationTable, FrameBytesReplaceThePreviousFrame) {
  EXPECT_EQ(station::frame_bytes(0, {"a", "bc"}), "a\x1b[K\nbc\x1b[K\n\x1b[J");
  EXPECT_EQ(station::frame_bytes(3, {"x"}), "\r\x1b[3Ax\x1b[K\n\x1b[J");
}

TEST(StationTable, FinishLines) {
  auto ports = line_of_five();
  EXPECT_EQ(station::finish_line(ports[0]), "/dev/ttyUSB0: ok in 3.9 s: upload success");
  EXPECT_EQ(station::finish_line(ports[1]), "/dev/ttyUSB1: failed in 2.5 s, exit status 250: upload fail");
  EXPECT_EQ(station::finish_line(ports[4]), "/dev/ttyUSB9: failed, no such port");

  PortStatus p = port("/dev/ttyUSB4", State::failed, 0, 12.3);
  p.attempts = 3;
  p.exit_status = 248;
  p.last_line = "erase fail";  // no outcome line without -r
  EXPECT_EQ(station::finish_line(p), "/dev/ttyUSB4: failed in 12.3 s (3 attempts), exit status 248: last line: erase fail");
  p.outcome = "upload fail";
  p.last_line = "ping timeout";
  EXPECT_EQ(station::finish_line(p),
            "/dev/ttyUSB4: failed in 12.3 s (3 attempts), exit status 248: upload fail; last line: ping timeout");
  p.state = State::interrupted;
  p.exit_status.reset();
  p.term_signal = SIGTERM;
  p.outcome.reset();
  p.last_line.clear();
  EXPECT_EQ(station::finish_line(p), "/dev/ttyUSB4: interrupted in 12.3 s (3 attempts), killed by SIGTERM");
  EXPECT_EQ(station::retry_line(p, 2, 3), "/dev/ttyUSB4: attempt 1 failed (killed by SIGTERM); attempt 2 of 3 starts");
}

}  // namespace
