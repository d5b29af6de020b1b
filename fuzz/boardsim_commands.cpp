// boardsim's board on host byte streams made from the input: text command
// lines as the host sends them, and whatever follows them (XMODEM frames,
// noise). The first byte picks the board (NOR or NAND, ROM dialogue, short
// replies, q5 application, checksum mode), the second the time between
// chunks; the rest is fed in chunks with a tick after each. Every input gets
// a fresh board and a fresh unnamed flash store in the temporary folder.
#include <algorithm>
#include <span>
#include <vector>

#include "boardsim/device.h"
#include "boardsim/flash_store.h"
#include "fuzz/fuzz_check.h"

using namespace boardsim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  BoardConfig cfg;
  const uint8_t mode = data[0];
  cfg.flash = (mode & 1) != 0 ? FlashKind::nand : FlashKind::nor;
  cfg.chip = static_cast<Chip>((mode >> 1) % 3);
  cfg.faults.short_replies = (mode & 8) != 0;
  cfg.faults.q5_in_application = (mode & 16) != 0;
  cfg.xmodem_checksum = (mode & 32) != 0;
  cfg.nand_and_semantics = (mode & 64) != 0;
  cfg.nor_size = 64 * 1024;  // small: a hash or erase of the whole NOR stays cheap
  const bool nand = cfg.flash == FlashKind::nand;
  FlashStore store("", nand ? kNandRawSize : cfg.nor_size, nand ? uint64_t{kNandBlockRaw} : 4096, false);

  const int step_ms = 1 + data[1] * 20;
  Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
  Device dev(cfg, store, now);
  const std::span<const uint8_t> stream(data + 2, size - 2);
  constexpr size_t chunk = 61;
  size_t replied = 0;
  for (size_t at = 0; at < stream.size(); at += chunk) {
    dev.feed(stream.subspan(at, std::min(chunk, stream.size() - at)), now);
    now += std::chrono::milliseconds(step_ms);
    dev.tick(now);
    replied += dev.take_output().size();
    const BoardStats &s = dev.stats();
    FUZZ_CHECK(s.transfers_ok <= s.transfers && dev.baud() > 0 && s.device_baud == dev.baud());
  }
  // Whatever is still pending comes due; nothing waits for ever.
  for (int i = 0; i < 8 && dev.next_deadline() != Clock::time_point::max(); ++i) {
    now = std::max(now, dev.next_deadline());
    dev.tick(now);
    replied += dev.take_output().size();
  }
  FUZZ_CHECK(store.size() == (nand ? kNandRawSize : cfg.nor_size));
  (void)replied;
  return 0;
}
