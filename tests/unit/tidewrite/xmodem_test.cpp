// The XMODEM sender against an in-memory receiver bound through
// xmodem_set_uart: reads answer at once, so retry budgets cost no real time.
#include "tidewrite/xmodem_r.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <new>
#include <string>
#include <vector>

#include "tests/support/pty_pair.h"
#include "tests/support/test_support.h"
#include "tidewrite/failure_reason.h"

// Counts heap allocations while a transfer runs (the sender must use none).
// The replacement pairs malloc with free; GCC cannot see that across inlining.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<bool> g_count_allocs{false};
std::atomic<long> g_allocs{0};
}  // namespace

void *operator new(std::size_t n) {
  if (g_count_allocs) ++g_allocs;
  void *p = std::malloc(n != 0 ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int SILENT = -1;  // a read that times out
constexpr int LINE_FAILED = -2;  // a read that fails (the line hung up, stalled, was stopped)
constexpr uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

// Scripted receiver: replies before the first write, then one reply list per
// write (default: ACK). Reads take one scripted byte, or time out at once.
struct FakeReceiver {
  std::deque<int> pending;
  std::deque<std::vector<int>> per_write;
  std::vector<Bytes> writes;
  int failing_write = -1;  // writes from this index on fail
  int reads = 0;
  int timeouts_asked = 0;
};

FakeReceiver *g_rx = nullptr;

int fake_write(UARTHDL hdl, const void *data, int len) {
  EXPECT_EQ(hdl, 42);
  const auto *p = static_cast<const uint8_t *>(data);
  g_rx->writes.emplace_back(p, p + len);
  if (g_rx->failing_write >= 0 && g_rx->writes.size() > static_cast<size_t>(g_rx->failing_write)) return -1;
  std::vector<int> reply = {ACK};
  if (!g_rx->per_write.empty()) {
    reply = g_rx->per_write.front();
    g_rx->per_write.pop_front();
  }
  for (int b : reply) g_rx->pending.push_back(b);
  return len;
}

int fake_read(UARTHDL hdl, void *data, int len, int timeout) {
  EXPECT_EQ(hdl, 42);
  EXPECT_EQ(len, 1);
  if (timeout == 1000) ++g_rx->timeouts_asked;
  ++g_rx->reads;
  if (g_rx->pending.empty()) return 0;
  int b = g_rx->pending.front();
  g_rx->pending.pop_front();
  if (b == SILENT) return 0;
  if (b == LINE_FAILED) return -1;
  *static_cast<uint8_t *>(data) = static_cast<uint8_t>(b);
  return 1;
}

class Xmodem : public testing::Test {
 protected:
  void SetUp() override {
    g_rx = &rx;
    xmodem_set_uart(42, fake_write, fake_read);
  }
  void TearDown() override { g_rx = nullptr; }
  FakeReceiver rx;
};

// CRC-16/XMODEM straight from its definition, one bit at a time.
uint16_t reference_crc(const uint8_t *p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint16_t>(p[i] << 8);
    for (int b = 0; b < 8; ++b) crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
  }
  return crc;
}

Bytes pattern(size_t n, unsigned seed = 1) {
  Bytes b(n);
  unsigned x = seed;
  for (auto &c : b) {
    x = x * 1103515245u + 12345u;
    c = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

// Checks one frame field by field; payload is the full block as it must be.
void expect_frame(const Bytes &frame, uint8_t header, uint8_t number, const Bytes &payload, bool crc) {
  ASSERT_EQ(frame.size(), 3 + payload.size() + (crc ? 2 : 1));
  EXPECT_EQ(frame[0], header);
  EXPECT_EQ(frame[1], number);
  EXPECT_EQ(frame[2], static_cast<uint8_t>(255 - number));
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), frame.begin() + 3)) << "payload differs";
  if (crc) {
    uint16_t c = reference_crc(payload.data(), payload.size());
    EXPECT_EQ(frame[3 + payload.size()], c >> 8);
    EXPECT_EQ(frame[4 + payload.size()], c & 0xFF);
  } else {
    uint8_t sum = 0;
    for (uint8_t b : payload) sum = static_cast<uint8_t>(sum + b);
    EXPECT_EQ(frame.back(), sum);
  }
}

const Bytes kEndFrame = {EOT, 0, 0, 0};
const Bytes kCan = {CAN};

TEST(Calcrc, PublishedCheckValue) {
  const char *check = "123456789";
  EXPECT_EQ(calcrc(reinterpret_cast<const uint8_t *>(check), 9), 0x31C3);
  uint8_t one = 0x41;
  EXPECT_EQ(calcrc(&one, 0), 0);
  EXPECT_EQ(calcrc(&one, -3), 0);
}

TEST(Calcrc, MatchesBitwiseDefinition) {
  Bytes data = pattern(65536, 7);
  for (size_t n : {1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 127u, 128u, 1024u, 65535u, 65536u}) {
    EXPECT_EQ(calcrc(data.data(), static_cast<int>(n)), reference_crc(data.data(), n)) << n;
  }
}

TEST(StartCode, HeaderBytesAndFallback) {
  struct {
    int use1K;
    int nK;
    uint8_t header;
    int nK_after;
  } cases[] = {
      {0, 32, SOH, 32}, {0, 1, SOH, 1}, {1, 1, STX, 1},    {1, 4, 0xA3, 4},  {1, 8, 0xA4, 8},
      {1, 16, 0xA0, 16}, {1, 32, 0xA1, 32}, {1, 64, 0xA2, 64}, {1, 2, STX, 1}, {1, 0, STX, 1},
      {1, -5, STX, 1},  {1, 128, STX, 1},
  };
  for (auto c : cases) {
    int nK = c.nK;
    EXPECT_EQ(xmodem_get_start_code(c.use1K, nK), c.header) << c.use1K << "/" << c.nK;
    EXPECT_EQ(nK, c.nK_after) << c.use1K << "/" << c.nK;
  }
}

TEST_F(Xmodem, OneByteIsPaddedWithCtrlZThenZeros) {
  rx.pending = {'C'};
  uint8_t b = 0x5A;
  EXPECT_EQ(xmodem_tx(&b, 1, true, 1, 0), 1024);
  ASSERT_EQ(rx.writes.size(), 2u);
  Bytes payload(1024, 0x00);
  payload[0] = 0x5A;
  payload[1] = 0x1A;
  expect_frame(rx.writes[0], STX, 1, payload, true);
  EXPECT_EQ(rx.writes[1], kEndFrame);
}

TEST_F(Xmodem, ExactMultipleEndsWithFullBlockAndNoCtrlZ) {
  rx.pending = {'C'};
  Bytes src = pattern(2048);
  EXPECT_EQ(xmodem_tx(src.data(), 2048, true, 1, 0), 2048);
  ASSERT_EQ(rx.writes.size(), 3u);
  expect_frame(rx.writes[0], STX, 1, Bytes(src.begin(), src.begin() + 1024), true);
  expect_frame(rx.writes[1], STX, 2, Bytes(src.begin() + 1024, src.end()), true);
  EXPECT_EQ(rx.writes[2], kEndFrame);
}

TEST_F(Xmodem, EmptySourceSendsOnlyTheEndFrame) {
  rx.pending = {'C'};
  uint8_t dummy = 0;
  EXPECT_EQ(xmodem_tx(&dummy, 0, true, 1, 0), 0);
  ASSERT_EQ(rx.writes.size(), 1u);
  EXPECT_EQ(rx.writes[0], kEndFrame);
}

TEST_F(Xmodem, NakStartSelectsChecksumMode) {
  rx.pending = {NAK};
  Bytes src = pattern(130, 3);
  EXPECT_EQ(xmodem_tx(src.data(), 130, false, 32, 0), 256);
  ASSERT_EQ(rx.writes.size(), 3u);
  expect_frame(rx.writes[0], SOH, 1, Bytes(src.begin(), src.begin() + 128), false);
  Bytes last(128, 0);
  last[0] = src[128];
  last[1] = src[129];
  last[2] = 0x1A;
  expect_frame(rx.writes[1], SOH, 2, last, false);
  EXPECT_EQ(rx.writes[1].size(), 132u);
}

TEST_F(Xmodem, BlockNumbersWrapPast255) {
  rx.pending = {'C'};
  Bytes src = pattern(300 * 128, 9);
  EXPECT_EQ(xmodem_tx(src.data(), static_cast<int>(src.size()), false, 1, 0), 300 * 128);
  ASSERT_EQ(rx.writes.size(), 301u);
  for (int i = 0; i < 300; ++i) {
    uint8_t number = static_cast<uint8_t>((i + 1) % 256);
    const Bytes &f = rx.writes[static_cast<size_t>(i)];
    ASSERT_EQ(f[1], number) << "block " << i;
    ASSERT_EQ(f[2], static_cast<uint8_t>(~number)) << "block " << i;
  }
  expect_frame(rx.writes[255], SOH, 0, Bytes(src.begin() + 255 * 128, src.begin() + 256 * 128), true);
}

TEST_F(Xmodem, LargeBlocksCarryTheirHeaderAndSize) {
  struct {
    int nK;
    uint8_t header;
  } cases[] = {{4, 0xA3}, {8, 0xA4}, {16, 0xA0}, {32, 0xA1}, {64, 0xA2}, {2, STX}, {0, STX}, {-5, STX}};
  for (auto c : cases) {
    rx = FakeReceiver{};
    rx.pending = {'C'};
    size_t bufsz = c.header == STX ? 1024 : static_cast<size_t>(c.nK) * 1024;
    Bytes src = pattern(bufsz + 3, static_cast<unsigned>(c.nK + 100));
    int r = xmodem_tx(src.data(), static_cast<int>(src.size()), true, c.nK, 0);
    EXPECT_EQ(r, static_cast<int>(2 * bufsz)) << c.nK;
    ASSERT_EQ(rx.writes.size(), 3u) << c.nK;
    expect_frame(rx.writes[0], c.header, 1, Bytes(src.begin(), src.begin() + static_cast<long>(bufsz)), true);
    Bytes tail(bufsz, 0);
    std::copy(src.begin() + static_cast<long>(bufsz), src.end(), tail.begin());
    tail[3] = 0x1A;
    expect_frame(rx.writes[1], c.header, 2, tail, true);
  }
}

TEST_F(Xmodem, TextBeforeStartUsesAttempts) {
  rx.pending = {'o', 'k', 'C'};
  uint8_t b = 1;
  EXPECT_EQ(xmodem_tx(&b, 1, false, 1, 0), 128);
  EXPECT_EQ(rx.writes[0][0], SOH);
  EXPECT_EQ(rx.writes[0].size(), 133u);  // CRC mode
}

TEST_F(Xmodem, FifteenFailedStartReadsStillStart) {
  for (int i = 0; i < 15; ++i) rx.pending.push_back(i % 2 ? SILENT : 'x');
  rx.pending.push_back(NAK);
  uint8_t b = 1;
  EXPECT_EQ(xmodem_tx(&b, 1, false, 1, 0), 128);
}

TEST_F(Xmodem, NoStartAfterSixteenReadsCancelsThreeTimes) {
  for (int i = 0; i < 16; ++i) rx.pending.push_back(i % 2 ? SILENT : 'x');
  rx.pending.push_back('C');  // too late
  uint8_t b = 1;
  EXPECT_EQ(xmodem_tx(&b, 1, true, 1, 0), -2);
  EXPECT_EQ(rx.reads, 16);
  EXPECT_EQ(rx.timeouts_asked, 16);
  EXPECT_EQ(rx.writes, (std::vector<Bytes>{kCan, kCan, kCan}));
}

TEST_F(Xmodem, CancelAtStart) {
  rx.pending = {CAN, CAN};
  uint8_t b = 1;
  EXPECT_EQ(xmodem_tx(&b, 1, true, 1, 0), -1);
  EXPECT_EQ(rx.writes, (std::vector<Bytes>{{ACK}}));
}

TEST_F(Xmodem, SingleCanAtStartIsOnlyAFailedAttempt) {
  rx.pending = {CAN, 'x', 'C'};
  uint8_t b = 1;
  EXPECT_EQ(xmodem_tx(&b, 1, true, 1, 0), 1024);
}

TEST_F(Xmodem, BlockIsResentOnNakGarbageSilenceAndLoneCan) {
  rx.pending = {'C'};
  rx.per_write = {{NAK}, {'?'}, {SILENT}, {CAN, 'z'}, {ACK}, {ACK}};
  Bytes src = pattern(1000);
  EXPECT_EQ(xmodem_tx(src.data(), 1000, true, 1, 0), 1024);
  ASSERT_EQ(rx.writes.size(), 6u);
  for (int i = 1; i < 5; ++i) EXPECT_EQ(rx.writes[static_cast<size_t>(i)], rx.writes[0]);
  EXPECT_EQ(rx.writes[5], kEndFrame);
}

TEST_F(Xmodem, CancelDuringBlock) {
  rx.pending = {'C'};
  rx.per_write = {{ACK}, {CAN, CAN}};
  Bytes src = pattern(2000);
  EXPECT_EQ(xmodem_tx(src.data(), 2000, true, 1, 0), -1);
  ASSERT_EQ(rx.writes.size(), 3u);
  EXPECT_EQ(rx.writes[1][1], 2);
  EXPECT_EQ(rx.writes[2], (Bytes{ACK}));
}

TEST_F(Xmodem, TwentyFiveFailuresGiveUp) {
  rx.pending = {'C'};
  for (int i = 0; i < 40; ++i) rx.per_write.push_back({i % 2 ? NAK : SILENT});
  Bytes src = pattern(10);
  EXPECT_EQ(xmodem_tx(src.data(), 10, true, 1, 0), -4);
  ASSERT_EQ(rx.writes.size(), 28u);
  for (size_t i = 0; i < 25; ++i) EXPECT_EQ(rx.writes[i].size(), 1029u);
  EXPECT_EQ(rx.writes[25], kCan);
  EXPECT_EQ(rx.writes[26], kCan);
  EXPECT_EQ(rx.writes[27], kCan);
}

TEST_F(Xmodem, UnacknowledgedEndFrameAfterTenTries) {
  rx.pending = {'C'};
  rx.per_write = {{ACK}};
  for (int i = 0; i < 20; ++i) rx.per_write.push_back({i % 2 ? NAK : SILENT});
  Bytes src = pattern(10);
  EXPECT_EQ(xmodem_tx(src.data(), 10, true, 1, 0), -5);
  ASSERT_EQ(rx.writes.size(), 11u);
  for (size_t i = 1; i < 11; ++i) EXPECT_EQ(rx.writes[i], kEndFrame);
}

TEST_F(Xmodem, EndFrameAckedOnLaterTry) {
  rx.pending = {'C'};
  rx.per_write = {{ACK}, {NAK}, {SILENT}, {ACK}};
  Bytes src = pattern(10);
  EXPECT_EQ(xmodem_tx(src.data(), 10, true, 1, 0), 1024);
  EXPECT_EQ(rx.writes.size(), 4u);
}

TEST_F(Xmodem, EotPassesOverNaks) {
  rx.per_write = {{NAK, NAK, ACK}};
  EXPECT_EQ(xmodem_eot(), 0);
  EXPECT_EQ(rx.writes, (std::vector<Bytes>{{EOT}}));
}

TEST_F(Xmodem, EotRetriesAfterSilenceOrOtherByte) {
  rx.per_write = {{SILENT}, {'x'}, {NAK, SILENT}, {ACK}};
  EXPECT_EQ(xmodem_eot(), 0);
  EXPECT_EQ(rx.writes.size(), 4u);
}

TEST_F(Xmodem, EotGivesUpAfterSixteenTries) {
  for (int i = 0; i < 20; ++i) rx.per_write.push_back({SILENT});
  EXPECT_EQ(xmodem_eot(), -1);
  EXPECT_EQ(rx.writes.size(), 16u);
}

TEST_F(Xmodem, EotEndsOnEndlessNaks) {
  for (int i = 0; i < 16; ++i) rx.per_write.push_back(std::vector<int>(1000, NAK));
  EXPECT_EQ(xmodem_eot(), -1);
  EXPECT_EQ(rx.writes.size(), 16u);
}

TEST_F(Xmodem, OneWritePerFrameAndNoHeapPerBlock) {
  // A receiver that records nothing, so only the sender could allocate.
  static int writes = 0;
  static long bytes = 0;
  static int reads = 0;
  writes = 0;
  bytes = 0;
  reads = 0;
  xmodem_set_uart(
      7,
      [](UARTHDL, const void *, int len) {
        ++writes;
        bytes += len;
        return len;
      },
      [](UARTHDL, void *data, int, int) {
        *static_cast<uint8_t *>(data) = reads++ == 0 ? 'C' : ACK;
        return 1;
      });
  Bytes src = pattern(5 * 32768 + 17);
  g_allocs = 0;
  g_count_allocs = true;
  int r = xmodem_tx(src.data(), static_cast<int>(src.size()), true, 32, 0);
  g_count_allocs = false;
  EXPECT_EQ(r, 6 * 32768);
  EXPECT_EQ(g_allocs.load(), 0);
  EXPECT_EQ(writes, 7);  // six frames and the end frame
  EXPECT_EQ(bytes, 6 * (32768 + 5) + 4);
}

std::string progress(const char *desc, int curr, int max) {
  testing::internal::CaptureStdout();
  xmodem_draw_progress(desc, curr, max);
  return testing::internal::GetCapturedStdout();
}

TEST(Progress, LineText) {
  EXPECT_EQ(testsupport::escaped(progress("programing", 1500, 1000)),
            testsupport::escaped("\rprograming\t[" + std::string(40, '=') + "] 100%         1500/        1500 bytes" +
                                 "\n\rprograming done.\n\r"));
  EXPECT_EQ(testsupport::escaped(progress("programing", 0, 0)),
            testsupport::escaped("\rprograming\t[" + std::string(40, ' ') + "]   0%            0/           1 bytes"));
  EXPECT_EQ(testsupport::escaped(progress("x", 512, 1024)),
            testsupport::escaped("\rx\t[" + std::string(20, '=') + std::string(20, ' ') +
                                 "]  50%          512/        1024 bytes"));
  EXPECT_EQ(testsupport::escaped(progress("x", 1023, 1024)),
            testsupport::escaped("\rx\t[" + std::string(39, '=') + " ]  99%         1023/        1024 bytes"));
}

TEST_F(Xmodem, ProgressAfterEveryAcknowledgedBlock) {
  rx.pending = {'C'};
  rx.per_write = {{NAK}, {ACK}, {ACK}, {ACK}};
  Bytes src = pattern(1500);
  testing::internal::CaptureStdout();
  EXPECT_EQ(xmodem_tx(src.data(), 1500, true, 1, 1), 2048);
  std::string out = testing::internal::GetCapturedStdout();
  std::string half = "\rprograming\t[" + std::string(27, '=') + std::string(13, ' ') + "]  68%         1024/        1500 bytes";
  std::string full = "\rprograming\t[" + std::string(40, '=') + "] 100%         2048/        2048 bytes\n\rprograming done.\n\r";
  EXPECT_EQ(testsupport::escaped(out), testsupport::escaped(half + full));
}

// A failed read or write means the line is gone: the transfer ends at once,
// in whichever phase, without retries and without CANs nobody would read.
TEST_F(Xmodem, FailedLineEndsTheTransferAtOnce) {
  Bytes src = pattern(3000);
  {
    rx = {};
    rx.pending = {'x', LINE_FAILED, 'C'};
    EXPECT_EQ(xmodem_tx(src.data(), 3000, true, 1, 0), -6);
    EXPECT_EQ(rx.reads, 2);
    EXPECT_TRUE(rx.writes.empty());
  }
  {
    rx = {};
    rx.pending = {'C'};
    rx.per_write = {{ACK}, {LINE_FAILED}, {ACK}};
    EXPECT_EQ(xmodem_tx(src.data(), 3000, true, 1, 0), -6);
    EXPECT_EQ(rx.writes.size(), 2u);
  }
  {
    rx = {};
    rx.pending = {'C'};
    rx.per_write = {{CAN, LINE_FAILED}};
    EXPECT_EQ(xmodem_tx(src.data(), 3000, true, 1, 0), -6);
    EXPECT_EQ(rx.writes.size(), 1u);
  }
  {
    rx = {};
    rx.pending = {'C'};
    rx.per_write = {{ACK}, {ACK}, {ACK}, {LINE_FAILED}};
    EXPECT_EQ(xmodem_tx(src.data(), 3000, true, 1, 0), -6);
    EXPECT_EQ(rx.writes.size(), 4u);
    EXPECT_EQ(rx.writes[3], kEndFrame);
  }
  {
    rx = {};
    rx.pending = {'C'};
    rx.failing_write = 1;
    EXPECT_EQ(xmodem_tx(src.data(), 3000, true, 1, 0), -6);
    EXPECT_EQ(rx.writes.size(), 2u);
    EXPECT_EQ(rx.reads, 2);
  }
  EXPECT_EQ(xmodem_failure_text(-6), "the serial line failed during the transfer");
}

TEST_F(Xmodem, EotEndsOnAFailedLine) {
  rx.per_write = {{NAK, LINE_FAILED}};
  EXPECT_EQ(xmodem_eot(), -1);
  EXPECT_EQ(rx.writes.size(), 1u);
  rx = {};
  rx.failing_write = 0;
  EXPECT_EQ(xmodem_eot(), -1);
  EXPECT_EQ(rx.writes.size(), 1u);
  EXPECT_EQ(rx.reads, 0);
}

TEST(XmodemUnbound, FailsWithoutTransport) {
  xmodem_set_uart(0, nullptr, nullptr);
  uint8_t b = 0;
  EXPECT_EQ(xmodem_tx(&b, 1, true, 1, 0), -2);
  EXPECT_EQ(xmodem_eot(), -1);
  EXPECT_EQ(in_byte(), 0);
}

}  // namespace

// ---- on a real line that stops taking bytes

namespace {

// The board asks for the data, then reads nothing: the first frame fills
// the line and its write stalls. With the stall limit at 200 ms the whole
// transfer ends with the line failed, at once rather than after 25 tries
// of a stalled frame each.
TEST(XmodemOnALine, StalledWriteEndsTheWholeTransfer) {
  const int saved = uart_write_stall_ms;
  uart_write_stall_ms = 200;
  forget_failure_reason();
  testsupport::PtyPair pty;
  UARTHDL hdl = uart_open(pty.slave_path().c_str());
  ASSERT_GT(hdl, 0);
  ASSERT_TRUE(testsupport::write_all(pty.master(), "C"));
  xmodem_set_uart(hdl, uart_write, uart_read);
  const Bytes src = pattern(1 << 20, 3);
  const auto t0 = std::chrono::steady_clock::now();
  const int r = xmodem_tx(src.data(), static_cast<int>(src.size()), true, 32, 0);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  uart_write_stall_ms = saved;
  EXPECT_EQ(r, -6);
  EXPECT_LT(seconds, 2.0);
  EXPECT_EQ(failure_reason(), "the serial line took no data for 200 ms (adapter gone?)");
  forget_failure_reason();
  uart_close(hdl);
}

}  // namespace
