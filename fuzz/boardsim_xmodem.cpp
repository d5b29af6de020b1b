// boardsim's XMODEM receiver on sender byte streams made from the input.
// The first byte picks the options (checksum, end acknowledgement, a cancel
// or a fault at some block); the rest is cut into chunks, each followed by a
// tick some time later. Two receivers take the same stream, one byte by
// byte, one through the mid-frame fast path as the board feeds it: they must
// answer and accept exactly the same.
#include <algorithm>
#include <span>
#include <vector>

#include "boardsim/xmodem_rx.h"
#include "fuzz/fuzz_check.h"

using namespace boardsim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  XmodemRxOptions opt;
  const uint8_t mode = data[0];
  opt.checksum = (mode & 1) != 0;
  opt.no_end_ack = (mode & 2) != 0;
  if (mode & 4) opt.cancel_at_block = 1 + (mode >> 5);
  if (mode & 8) opt.faults.push_back({0, 1 + (mode >> 5), static_cast<BlockFaultKind>((mode >> 4) % 3), 1 + (mode & 1)});
  const int step_ms = 1 + data[1] * 50;  // up to 12.8 s: the receiver's time-outs come into play

  Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
  std::vector<uint8_t> out_a, out_b;
  XmodemReceiver a(opt, now, out_a);
  XmodemReceiver b(opt, now, out_b);
  const std::span<const uint8_t> stream(data + 2, size - 2);
  constexpr size_t chunk = 97;
  for (size_t at = 0; at < stream.size(); at += chunk) {
    const auto piece = stream.subspan(at, std::min(chunk, stream.size() - at));
    bool a_ended = false, b_ended = false;
    for (uint8_t byte : piece)
      if (!a_ended && !a.feed(byte, now, out_a)) a_ended = true;
    for (size_t i = 0; i < piece.size() && !b_ended;) {
      const size_t k = b.feed_body(piece.subspan(i), now, out_b);
      if (k > 0) {
        i += k;
      } else if (!b.feed(piece[i++], now, out_b)) {
        b_ended = true;
      }
    }
    FUZZ_CHECK(out_a == out_b && a.status() == b.status() && a.blocks() == b.blocks() && a.data() == b.data());
    now += std::chrono::milliseconds(step_ms);
    a.tick(now, out_a);
    b.tick(now, out_b);
    FUZZ_CHECK(out_a == out_b && a.status() == b.status());
  }
  // Every block accepted adds one payload; the last is the one reported.
  if (a.blocks() == 0) FUZZ_CHECK(a.data().empty() && a.last_block_size() == 0);
  else FUZZ_CHECK(a.last_block_size() > 0 && a.data().size() >= a.last_block_size());
  if (a.status() != XmodemReceiver::Status::running) {
    std::vector<uint8_t> late;
    FUZZ_CHECK(!a.feed(0x01, now, late) && late.empty());
  }
  return 0;
}
