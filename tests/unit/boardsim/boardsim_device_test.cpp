// The board's logic on in-memory byte streams with an injected clock: every
// command's reply bytes, XMODEM receive, NOR and NAND programming, faults.
#include "boardsim/device.h"

#include <openssl/evp.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tests/unit/boardsim/xmodem_frames.h"

namespace {

using namespace boardsim;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

Bytes bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }
std::string str(const Bytes &b) { return std::string(b.begin(), b.end()); }

Bytes pattern(size_t n, uint8_t seed = 1) {
  Bytes d(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto &b : d) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 16);
    if (b == 0 || b == 0x1A) b = 0x5A;  // keep the tail unambiguous for the trim
  }
  return d;
}

// A copy of `frame` with `bits` flipped in byte `at`.
Bytes flipped(const Bytes &frame, size_t at, uint8_t bits) {
  Bytes f = frame;
  f.at(at) ^= bits;
  return f;
}

Bytes sha256(const Bytes &d) {
  Bytes out(32);
  unsigned int n = 0;
  EVP_Digest(d.data(), d.size(), out.data(), &n, EVP_sha256(), nullptr);
  return out;
}

// One board, one fake clock, one host whose port rate the test sets.
struct Rig {
  testsupport::TempDir tmp;
  BoardConfig cfg;
  std::unique_ptr<FlashStore> store;
  std::unique_ptr<Device> dev;
  Clock::time_point t = Clock::time_point{} + 1h;
  int host_baud = 115200;
  std::vector<std::string> log;

  explicit Rig(BoardConfig c = {}) : cfg(std::move(c)) {
    if (cfg.flash == FlashKind::nand)
      store = std::make_unique<FlashStore>((tmp / "nand.bin").string(), kNandRawSize, kNandBlockRaw, false);
    else
      store = std::make_unique<FlashStore>((tmp / "nor.bin").string(), 1 << 20, 65536, true);
    dev = std::make_unique<Device>(
        cfg, *store, t, [this] { return host_baud; },
        [this](Clock::time_point, const std::string &s) { log.push_back(s); });
  }
  std::string send(const Bytes &b) {
    dev->feed(b, t);
    return str(dev->take_output());
  }
  std::string send(const std::string &s) { return send(bytes(s)); }
  std::string advance(std::chrono::milliseconds ms) {
    t += ms;
    dev->tick(t);
    return str(dev->take_output());
  }
  Bytes flash(uint64_t off, size_t n) const { return store->read(off, n); }

  // A whole transfer after the command: start request, every block ACKed,
  // then the end frame. Returns what followed the end frame.
  std::string transfer(const std::string &command, const Bytes &data, uint8_t header = 0x02,
                       bool checksum = false) {
    std::string start = send(command);
    EXPECT_EQ(start, checksum ? "\x15" : "C");
    size_t bs = testxm::size_of(header);
    size_t blocks = testxm::block_count(data.size(), bs);
    for (size_t k = 0; k < blocks; ++k) {
      auto f = testxm::frame(header, uint8_t(k + 1), testxm::payload(data, k, bs), checksum);
      EXPECT_EQ(send(f), "\x06") << "block " << k + 1;
    }
    return send(testxm::kEndFrame);
  }
};

BoardConfig nand_config() {
  BoardConfig c;
  c.flash = FlashKind::nand;
  return c;
}

// --- Handshake and simple replies -------------------------------------------

TEST(Device, PingIsEchoed) {
  Rig r;
  EXPECT_EQ(r.send("ping\n"), "ping");
  EXPECT_EQ(r.send("ping\n"), "ping");
}

TEST(Device, UcfgRepliesOkOnceTheHostFollows) {
  Rig r;
  EXPECT_EQ(r.send("ucfg 1500000 0 0\n"), "");  // host still at 115200
  EXPECT_EQ(r.advance(100ms), "");
  r.host_baud = 1500000;
  EXPECT_EQ(r.advance(5ms), "OK");
  EXPECT_EQ(r.dev->baud(), 1500000);
  EXPECT_EQ(r.send("ping\n"), "ping");
}

TEST(Device, UcfgToTheSameRateRepliesAtOnce) {
  Rig r;
  EXPECT_EQ(r.send("ucfg 115200 0 0\n"), "OK");
}

TEST(Device, UcfgWithAHostThatNeverSwitchesGivesNoise) {
  Rig r;
  r.send("ucfg 1500000 0 0\n");
  EXPECT_EQ(r.advance(900ms), "");
  std::string reply = r.advance(100ms);
  EXPECT_EQ(reply.size(), 2u);
  EXPECT_NE(reply, "OK");
  // Its replies are noise to the host too.
  std::string ping = r.send("ping\n");
  EXPECT_EQ(ping.size(), 4u);
  EXPECT_NE(ping, "ping");
}

TEST(Device, InputWaitsWhileTheRateSwitchIsPending) {
  Rig r;
  r.send("ucfg 921600 0 0\n");
  r.host_baud = 921600;  // switched, but the board has not looked yet
  EXPECT_EQ(r.send("ping\n"), "OKping");
}

TEST(Device, ReopeningReturnsToTheRomRate) {
  Rig r;
  r.send("ucfg 921600 0 0\n");
  r.host_baud = 921600;
  EXPECT_EQ(r.advance(1ms), "OK");
  r.send("pi");  // half a command is dropped with the reopening
  r.host_baud = 115200;
  r.dev->host_opened(r.t);
  EXPECT_EQ(r.send("ping\n"), "ping");
  EXPECT_EQ(r.dev->stats().opens, 1);
}

TEST(Device, UnknownAndMalformedCommandsAreIgnored) {
  Rig r;
  EXPECT_EQ(r.send("hello\n"), "");
  EXPECT_EQ(r.send("fwd 0 0 zz \n"), "");
  EXPECT_EQ(r.send("ucfg fast 0 0\n"), "");
  EXPECT_EQ(r.send("\n\r\n"), "");
  // A known name with the wrong number of words or the wrong fixed fields.
  EXPECT_EQ(r.send("ping 1\n"), "");
  EXPECT_EQ(r.send("hashq 0 0\n"), "");
  EXPECT_EQ(r.send("fwd 16 14 1500000 0 0 0 0 4000\n"), "");
  EXPECT_EQ(r.send("ping\n"), "ping");
  Rig nand(nand_config());
  EXPECT_EQ(nand.send("snb 0x11\n"), "");
  EXPECT_EQ(nand.send("snb 0x10 0\n"), "");
  EXPECT_EQ(nand.send("snb 0x10\n").size(), 3u);
}

// --- NOR download, hash and erase ---------------------------------------------

TEST(Device, HashOfTheLastStartAddressIgnoresTheOffsetField) {
  Rig r;
  EXPECT_EQ(r.transfer("fwd 0 0 2000 \n", bytes("abc")), "\x06OK");
  // FIPS 180-4 example: SHA-256("abc").
  const Bytes abc = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                     0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                     0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  EXPECT_EQ(r.send("hashq 3 0 0 \n"), "hashs " + str(abc));
  EXPECT_EQ(r.send("hashq 3 70000 0 \n"), "hashs " + str(abc));
  EXPECT_EQ(r.flash(0x2000, 4), (Bytes{'a', 'b', 'c', 0xFF}));
}

TEST(Device, FlashTypeQueryOnNorAndSilenceOnNand) {
  Rig nor;
  std::string reply = nor.send("hashq 0 0 0\n");
  ASSERT_EQ(reply.size(), 38u);
  EXPECT_EQ(reply.substr(0, 6), "hashs ");
  EXPECT_EQ(Bytes(reply.begin() + 6, reply.end()), sha256({}));
  Rig nand(nand_config());
  EXPECT_EQ(nand.send("hashq 0 0 0\n"), "");
}

struct BlockCase {
  uint8_t header;
  bool checksum;
};

class EveryBlockSize : public ::testing::TestWithParam<BlockCase> {};

TEST_P(EveryBlockSize, ProgramsExactlyTheImage) {
  auto [header, checksum] = GetParam();
  BoardConfig c;
  c.xmodem_checksum = checksum;
  Rig r(c);
  size_t bs = testxm::size_of(header);
  Bytes image = pattern(2 * bs + 100);
  // What lies beyond the image (a masked area, say) must survive.
  Bytes guard(bs, 0x33);
  r.store->write(0x10000 + image.size(), guard);
  std::string cmd = header == 0x02 ? "fwd 0 0 10000 \n" : "fwd16k 0 0 10000 \n";
  EXPECT_EQ(r.transfer(cmd, image, header, checksum), "\x06OK");
  EXPECT_EQ(r.flash(0x10000, image.size()), image);
  EXPECT_EQ(r.flash(0x10000 + image.size(), bs), guard);
  EXPECT_EQ(r.send("hashq " + std::to_string(image.size()) + " 0 0 \n"), "hashs " + str(sha256(image)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, EveryBlockSize,
                         ::testing::Values(BlockCase{0x01, false}, BlockCase{0x02, false},
                                           BlockCase{0xA3, false}, BlockCase{0xA4, false},
                                           BlockCase{0xA0, false}, BlockCase{0xA1, false},
                                           BlockCase{0xA2, false}, BlockCase{0x01, true},
                                           BlockCase{0x02, true}, BlockCase{0xA1, true}));

TEST(Device, ImageFillingItsLastBlockIsKeptWhole) {
  Rig r;
  Bytes image = pattern(2048);
  EXPECT_EQ(r.transfer("fwd 0 0 0 \n", image), "\x06OK");
  EXPECT_EQ(r.flash(0, 2049), [&] {
    Bytes b = image;
    b.push_back(0xFF);
    return b;
  }());
}

TEST(Device, AmbiguousTailIsTrimmed) {
  // An image that fills its last block and ends in 0x1A and zeros cannot be
  // told from padding: the board trims it (documented limitation).
  Rig r;
  Bytes image = pattern(1024);
  image[1020] = 0x1A;
  image[1021] = image[1022] = image[1023] = 0x00;
  EXPECT_EQ(r.transfer("fwd 0 0 0 \n", image), "\x06OK");
  EXPECT_EQ(r.flash(1019, 2), (Bytes{image[1019], 0xFF}));
}

TEST(Device, ImagePastTheEndOfTheFlashIsRefused) {
  Rig r;
  Bytes image = pattern(2048);
  EXPECT_EQ(r.transfer("fwd 0 0 fffc00 \n", image), "\x06" "ER");
  EXPECT_EQ(r.transfer("fwd 0 0 ffc00 \n", image), "\x06" "ER");  // 1 MiB flash: 1 KiB short
  EXPECT_EQ(r.flash(0xFFC00, 4), Bytes(4, 0xFF));
}

TEST(Device, RejectsBadFramesAndAcknowledgesRepeats) {
  Rig r;
  Bytes image = pattern(3000);
  ASSERT_EQ(r.send("fwd 0 0 0 \n"), "C");
  auto f1 = testxm::frame(0x02, 1, testxm::payload(image, 0, 1024), false);
  const Bytes bad_crc = flipped(f1, f1.size() - 1, 1);
  const Bytes bad_cpl = flipped(f1, 2, 1);
  EXPECT_EQ(r.send(bad_crc), "\x15");
  EXPECT_EQ(r.send(bad_cpl), "\x15");
  EXPECT_EQ(r.send(f1), "\x06");
  EXPECT_EQ(r.send(f1), "\x06");  // repeat: acknowledged, not stored twice
  auto f2 = testxm::frame(0x02, 2, testxm::payload(image, 1, 1024), false);
  auto f3 = testxm::frame(0x02, 3, testxm::payload(image, 2, 1024), false);
  // A frame cut short is NAKed once the line has been quiet for a second.
  EXPECT_EQ(r.send(Bytes(f2.begin(), f2.begin() + 500)), "");
  EXPECT_EQ(r.advance(1000ms), "\x15");
  EXPECT_EQ(r.send(f2), "\x06");
  EXPECT_EQ(r.send(f3), "\x06");
  EXPECT_EQ(r.send(testxm::kEndFrame), "\x06OK");
  EXPECT_EQ(r.flash(0, 3000), image);
}

TEST(Device, ChecksumModeRejectsABadSum) {
  BoardConfig c;
  c.xmodem_checksum = true;
  Rig r(c);
  Bytes image = pattern(100);
  ASSERT_EQ(r.send("fwd 0 0 0 \n"), "\x15");
  auto f = testxm::frame(0x01, 1, testxm::payload(image, 0, 128), true);
  const Bytes bad = flipped(f, f.size() - 1, 0x40);
  EXPECT_EQ(r.send(bad), "\x15");
  EXPECT_EQ(r.send(f), "\x06");
  EXPECT_EQ(r.send(testxm::kEndFrame), "\x06OK");
  EXPECT_EQ(r.flash(0, 101), [&] {
    Bytes b = image;
    b.push_back(0xFF);
    return b;
  }());
}

TEST(Device, BlockNumbersWrapAfter255) {
  Rig r;
  Bytes image = pattern(300 * 128 + 5);
  EXPECT_EQ(r.transfer("fwd 0 0 0 \n", image, 0x01), "\x06OK");
  EXPECT_EQ(r.flash(0, image.size()), image);
}

TEST(Device, OutOfSequenceBlockCancels) {
  Rig r;
  ASSERT_EQ(r.send("fwd 0 0 0 \n"), "C");
  auto f = testxm::frame(0x02, 3, Bytes(1024, 1), false);
  EXPECT_EQ(r.send(f), "\x18\x18");
  EXPECT_EQ(r.send("ping\n"), "ping");  // back at the command prompt
}

TEST(Device, StartRequestRepeatsAndGivesUp) {
  Rig r;
  ASSERT_EQ(r.send("fwd 0 0 0 \n"), "C");
  std::string more;
  for (int i = 0; i < 12; ++i) more += r.advance(3000ms);
  EXPECT_EQ(more, std::string(9, 'C'));
  EXPECT_EQ(r.send("ping\n"), "ping");
}

TEST(Device, SenderCancelEndsTheTransfer) {
  Rig r;
  ASSERT_EQ(r.send("fwd 0 0 0 \n"), "C");
  EXPECT_EQ(r.send(Bytes{0x18, 0x18, 0x18}), "");
  EXPECT_EQ(r.send("ping\n"), "ping");
  EXPECT_EQ(r.flash(0, 1), Bytes{0xFF});
}

TEST(Device, VerifyPassWithLoneEotGetsNoOk) {
  Rig r;
  r.store->write(0x3000, bytes("xyz"));
  ASSERT_EQ(r.send("fwd 0 0 3000 \n"), "C");
  EXPECT_EQ(r.send(Bytes{0x04}), "\x06");
  EXPECT_EQ(r.advance(2000ms), "");
  // The hash runs from the verify pass's start address.
  EXPECT_EQ(r.send("hashq 3 0 0 \n"), "hashs " + str(sha256(bytes("xyz"))));
}

TEST(Device, ChipAndSectorErase) {
  Rig r;
  r.store->write(0, Bytes(0x30000, 0x00));
  EXPECT_EQ(r.send("seras 10000 10000 0 0\n"), "OK");
  EXPECT_EQ(r.flash(0xFFFF, 1), Bytes{0x00});
  EXPECT_EQ(r.flash(0x10000, 0x10000), Bytes(0x10000, 0xFF));
  EXPECT_EQ(r.flash(0x20000, 1), Bytes{0x00});
  EXPECT_EQ(r.send("seras f0000 fff10000 0 0\n"), "ER");  // negative length from the host
  EXPECT_EQ(r.send("ceras 0 0\n"), "OK");
  EXPECT_EQ(r.flash(0, 0x30000), Bytes(0x30000, 0xFF));
}

TEST(Device, LongEraseAnswersAfterItsTime) {
  BoardConfig c;
  c.faults.erase_ms = 5000;
  Rig r(c);
  EXPECT_EQ(r.send("ceras 0 0\n"), "");
  EXPECT_EQ(r.send("ping\n"), "");  // busy: the command waits
  EXPECT_EQ(r.advance(4999ms), "");
  EXPECT_EQ(r.advance(1ms), "OKping");
}

TEST(Device, LoaderUploadThenDiscRunsTheLoader) {
  Rig r;
  EXPECT_EQ(r.transfer("uboot \n", pattern(5000)), "\x06OK");
  EXPECT_FALSE(r.dev->stats().loader_running);
  r.send("ucfg 1500000 0 0\n");
  r.host_baud = 1500000;
  EXPECT_EQ(r.advance(1ms), "OK");
  EXPECT_EQ(r.send("disc\n"), "");
  r.host_baud = 115200;
  EXPECT_TRUE(r.dev->stats().loader_running);
  EXPECT_EQ(r.dev->baud(), 115200);
  EXPECT_EQ(r.send("ping\n"), "ping");
  EXPECT_EQ(r.flash(0, 1), Bytes{0xFF});  // the loader is not programmed
  r.send("disc\n");                       // a second reset: back to the ROM
  EXPECT_FALSE(r.dev->stats().loader_running);
}

// --- q5 -----------------------------------------------------------------------

TEST(Device, Q5RomAnswersTheWakeWord) {
  BoardConfig c;
  c.chip = Chip::q5;
  Rig r(c);
  EXPECT_EQ(r.send("Vtl4420K"), "\r\n$4420k>");
  EXPECT_EQ(r.send("xxVtl4Vtl4420K"), "\r\n$4420k>");
}

TEST(Device, Q5ApplicationPromptsThenHandsOverOnAtxx) {
  BoardConfig c;
  c.chip = Chip::q5;
  c.faults.q5_in_application = true;
  Rig r(c);
  EXPECT_EQ(r.send("Vtl4420K"), "");
  EXPECT_EQ(r.send("\r\n"), "\r\n# ");
  EXPECT_EQ(r.send("ATXX\r"), "");
  EXPECT_EQ(r.send("Vtl4420K"), "\r\n$4420k>");
  r.send("WDTRST\r\n");  // a restart boots the application again
  EXPECT_EQ(r.send("Vtl4420K"), "");
}

TEST(Device, Q5DownloadSwitchesRateAndReturnsAfterwards) {
  BoardConfig c;
  c.chip = Chip::q5;
  Rig r(c);
  Bytes image = pattern(1500);
  EXPECT_EQ(r.send("fwd 16 15 1500000 0 0 0 0 4000"), "");
  EXPECT_EQ(r.advance(500ms), "");
  EXPECT_EQ(r.send("\r\n"), "");  // the board switches; the host not yet
  EXPECT_EQ(r.advance(1000ms), "");
  r.host_baud = 1500000;
  EXPECT_EQ(r.advance(5ms), "C");
  for (size_t k = 0; k < 2; ++k)
    EXPECT_EQ(r.send(testxm::frame(0x02, uint8_t(k + 1), testxm::payload(image, k, 1024), false)), "\x06");
  EXPECT_EQ(r.send(testxm::kEndFrame), "\x06OK");
  EXPECT_EQ(r.dev->baud(), 115200);
  EXPECT_EQ(r.flash(0x4000, image.size()), image);
}

// --- NAND ---------------------------------------------------------------------

TEST(Device, NandChipIdAndFreshPagesReadErased) {
  Rig r(nand_config());
  EXPECT_EQ(r.send("snb 0x10\n").size(), 3u);
  EXPECT_EQ(r.send("snr 0x440 0 2052 0\n"), std::string(2052, '\xFF'));
  EXPECT_EQ(r.send("snr 0x10000 0 2052 0\n"), "");  // past the last page
}

TEST(Device, NandPageWriteTakesExactly2052Bytes) {
  Rig r(nand_config());
  Bytes page = pattern(2052);
  // Page 1024 (block 16, page 0) lies at raw offset 0x210000.
  EXPECT_EQ(r.transfer("sfwd 0 0 0x210000\n", page), "\x06OK");
  Bytes raw = r.flash(0x210000, 2112);
  EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 2052), page);
  EXPECT_EQ(Bytes(raw.begin() + 2052, raw.end()), Bytes(60, 0xFF));  // padding not written
  EXPECT_EQ(r.send("snr 0x400 0 2052 0\n"), str(page));
  EXPECT_EQ(r.flash(0x210000 + 2112, 1), Bytes{0xFF});
}

TEST(Device, NandBlockWriteTakesExactlyOneBlock) {
  Rig r(nand_config());
  Bytes block = pattern(kNandBlockRaw);
  // Block 24 lies at 0x318000.
  EXPECT_EQ(r.transfer("sfwd 0 0 0x318000\n", block), "\x06OK");
  EXPECT_EQ(r.flash(0x318000, kNandBlockRaw), block);
  EXPECT_EQ(r.flash(0x318000 + kNandBlockRaw, 1), Bytes{0xFF});
  EXPECT_EQ(r.send("snr 0x63f 0 2052 0\n"), str(Bytes(block.end() - 2112, block.end() - 60)));
}

TEST(Device, NandWriteReplacesByDefaultAndAndsWhenAsked) {
  for (bool and_mode : {false, true}) {
    BoardConfig c = nand_config();
    c.nand_and_semantics = and_mode;
    Rig r(c);
    r.transfer("sfwd 0 0 0x0\n", Bytes(2052, 0x0F));
    r.transfer("sfwd 0 0 0x0\n", Bytes(2052, 0xF0));
    EXPECT_EQ(r.flash(0, 1), Bytes{uint8_t(and_mode ? 0x00 : 0xF0)});
  }
}

TEST(Device, NandEraseBlock) {
  Rig r(nand_config());
  r.store->write(0x83df000 - 1, Bytes(kNandBlockRaw + 2, 0x00));
  EXPECT_EQ(r.send("sne 0x83df000 0x21000\n"), "OK");  // block 1023
  EXPECT_EQ(r.flash(0x83df000, kNandBlockRaw), Bytes(kNandBlockRaw, 0xFF));
  EXPECT_EQ(r.flash(0x83df000 - 1, 1), Bytes{0x00});
  EXPECT_EQ(r.send("sne 0x1000 0x21000\n"), "ER");  // not on a block boundary
  EXPECT_EQ(r.send("sne 0x83df000 0x42000\n"), "ER");  // past the end
}

TEST(Device, NandCommandsWorkUnderTheLoaderToo) {
  Rig r(nand_config());
  r.transfer("uboot \n", pattern(3000));
  r.send("disc\n");
  ASSERT_TRUE(r.dev->stats().loader_running);
  EXPECT_EQ(r.send("snb 0x10\n").size(), 3u);
  EXPECT_EQ(r.send("sne 0x0 0x21000\n"), "OK");
  EXPECT_EQ(r.transfer("sfwd 0 0 0x0\n", pattern(2052)), "\x06OK");
}

TEST(Device, NorCommandsOnANandBoardAndBackAreIgnored) {
  Rig nand(nand_config());
  EXPECT_EQ(nand.send("fwd 0 0 0 \n"), "");
  EXPECT_EQ(nand.send("ceras 0 0\n"), "");
  Rig nor;
  EXPECT_EQ(nor.send("snb 0x10\n"), "");
  EXPECT_EQ(nor.send("sne 0x0 0x21000\n"), "");
}

// --- Faults -------------------------------------------------------------------

TEST(DeviceFaults, FactoryBadBlock) {
  BoardConfig c = nand_config();
  c.faults.factory_bad_blocks = {30};
  Rig r(c);
  std::string page0 = r.send("snr 0x780 0 2052 0\n");  // block 30, page 0
  EXPECT_EQ(uint8_t(page0[2048]), 0x00);
  EXPECT_EQ(r.transfer("sfwd 0 0 0x3de000\n", Bytes(kNandBlockRaw, 0x11)), "\x06OK");
  EXPECT_EQ(r.flash(0x3de000, 1), Bytes{0xFF});  // nothing landed
  EXPECT_EQ(r.send("sne 0x3de000 0x21000\n"), "ER");
  EXPECT_EQ(r.flash(0x3de000 + 2048, 1), Bytes{0x00});
}

TEST(DeviceFaults, ProgramFailOnlyForTheFirstWrites) {
  BoardConfig c = nand_config();
  c.faults.program_fail_blocks = {{25, 2}};
  Rig r(c);
  Bytes page = pattern(2052);
  page[2048] = 0x00;  // a bad-block mark lands even on a failing block
  const std::string cmd = "sfwd 0 0 0x339000\n";  // block 25
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(r.transfer(cmd, page), "\x06OK");
    Bytes got = r.flash(0x339000, 2052);
    EXPECT_EQ(got[0], i < 2 ? uint8_t(~page[0]) : page[0]) << "write " << i;
    EXPECT_EQ(Bytes(got.begin() + 1, got.end()), Bytes(page.begin() + 1, page.end()));
  }
}

TEST(DeviceFaults, EraseFailureLeavesTheBlock) {
  BoardConfig c = nand_config();
  c.faults.erase_fail_blocks = {2};
  Rig r(c);
  r.store->write(2 * kNandBlockRaw, Bytes(10, 0x00));
  EXPECT_EQ(r.send("sne 0x42000 0x21000\n"), "ER");
  EXPECT_EQ(r.flash(2 * kNandBlockRaw, 1), Bytes{0x00});
  EXPECT_EQ(r.send("sne 0x21000 0x21000\n"), "OK");
}

TEST(DeviceFaults, WrongFirstPing) {
  BoardConfig c;
  c.faults.wrong_first_ping = true;
  Rig r(c);
  EXPECT_EQ(r.send("ping\n"), "pong");
  EXPECT_EQ(r.send("ping\n"), "ping");
}

struct BlockFaultCase {
  BlockFaultKind kind;
  std::string reply;
};

class BlockFaults : public ::testing::TestWithParam<BlockFaultCase> {};

TEST_P(BlockFaults, ChosenBlockGetsTheFaultThenIsAccepted) {
  auto [kind, reply] = GetParam();
  BoardConfig c;
  c.faults.block_faults = {{2, 2, kind, 2}};  // second transfer, block 2, twice
  Rig r(c);
  Bytes image = pattern(3000);
  EXPECT_EQ(r.transfer("fwd 0 0 0 \n", image), "\x06OK");  // first transfer untouched
  ASSERT_EQ(r.send("fwd 0 0 8000 \n"), "C");
  auto f1 = testxm::frame(0x02, 1, testxm::payload(image, 0, 1024), false);
  auto f2 = testxm::frame(0x02, 2, testxm::payload(image, 1, 1024), false);
  auto f3 = testxm::frame(0x02, 3, testxm::payload(image, 2, 1024), false);
  EXPECT_EQ(r.send(f1), "\x06");
  EXPECT_EQ(r.send(f2), reply);
  EXPECT_EQ(r.send(f2), reply);
  EXPECT_EQ(r.send(f2), "\x06");
  EXPECT_EQ(r.send(f3), "\x06");
  EXPECT_EQ(r.send(testxm::kEndFrame), "\x06OK");
  EXPECT_EQ(r.flash(0x8000, image.size()), image);
}

INSTANTIATE_TEST_SUITE_P(Kinds, BlockFaults,
                         ::testing::Values(BlockFaultCase{BlockFaultKind::nak, "\x15"},
                                           BlockFaultCase{BlockFaultKind::garbage, "?"},
                                           BlockFaultCase{BlockFaultKind::silence, ""}));

TEST(DeviceFaults, CancelAtBlock) {
  BoardConfig c;
  c.faults.cancel_at_block = 2;
  Rig r(c);
  Bytes image = pattern(3000);
  ASSERT_EQ(r.send("fwd 0 0 0 \n"), "C");
  EXPECT_EQ(r.send(testxm::frame(0x02, 1, testxm::payload(image, 0, 1024), false)), "\x06");
  EXPECT_EQ(r.send(testxm::frame(0x02, 2, testxm::payload(image, 1, 1024), false)), "\x18\x18");
  EXPECT_EQ(r.send(Bytes{0x06}), "");  // the sender's ACK of the cancel
  EXPECT_EQ(r.send("ping\n"), "ping");
  EXPECT_EQ(r.flash(0, 1), Bytes{0xFF});
}

TEST(DeviceFaults, NoEndAckThenBackToCommands) {
  BoardConfig c;
  c.faults.no_end_ack = true;
  Rig r(c);
  Bytes image = pattern(100);
  ASSERT_EQ(r.send("fwd 0 0 0 \n"), "C");
  EXPECT_EQ(r.send(testxm::frame(0x02, 1, testxm::payload(image, 0, 1024), false)), "\x06");
  for (int i = 0; i < 10; ++i) EXPECT_EQ(r.send(testxm::kEndFrame), "");
  EXPECT_EQ(r.send("ping\n"), "ping");  // nothing programmed, no "OK"
  EXPECT_EQ(r.flash(0, 1), Bytes{0xFF});
}

TEST(DeviceFaults, NoStartRequest) {
  BoardConfig c;
  c.faults.no_start_request = true;
  Rig r(c);
  EXPECT_EQ(r.send("fwd 0 0 0 \n"), "");
  EXPECT_EQ(r.advance(16000ms), "");
  EXPECT_EQ(r.send(Bytes{0x18, 0x18, 0x18}), "");  // the sender gives up
  EXPECT_EQ(r.send("ping\n"), "ping");
}

TEST(DeviceFaults, NoOkAfterTransferStillPrograms) {
  BoardConfig c;
  c.faults.no_ok_after_transfer = true;
  Rig r(c);
  EXPECT_EQ(r.transfer("fwd 0 0 0 \n", bytes("data")), "\x06");
  EXPECT_EQ(r.flash(0, 4), bytes("data"));
}

TEST(DeviceFaults, ShortReplies) {
  BoardConfig c;
  c.faults.short_replies = true;
  Rig nor(c);
  EXPECT_EQ(nor.send("ping\n"), "pin");
  EXPECT_EQ(nor.send("ceras 0 0\n"), "O");
  EXPECT_EQ(nor.send("hashq 0 0 0 \n").size(), 6u + 16u);
  c.flash = FlashKind::nand;
  Rig nand(c);
  EXPECT_EQ(nand.send("snb 0x10\n").size(), 2u);
  EXPECT_EQ(nand.send("snr 0x0 0 2052 0\n").size(), 2000u);
}

TEST(DeviceFaults, WrongHash) {
  BoardConfig c;
  c.faults.wrong_hash = true;
  Rig r(c);
  std::string reply = r.send("hashq 0 0 0 \n");
  ASSERT_EQ(reply.size(), 38u);
  EXPECT_NE(Bytes(reply.begin() + 6, reply.end()), sha256({}));
}

TEST(DeviceFaults, SilentAfterCommands) {
  BoardConfig c;
  c.faults.silent_after_commands = 2;
  Rig r(c);
  EXPECT_EQ(r.send("ping\n"), "ping");
  EXPECT_EQ(r.send("ping\n"), "ping");
  EXPECT_EQ(r.send("ping\n"), "");
  EXPECT_EQ(r.send("fwd 0 0 0 \n"), "");
  EXPECT_EQ(r.advance(5000ms), "");
  c.faults.silent_after_commands = 0;
  Rig mute(c);
  EXPECT_EQ(mute.send("ping\n"), "");
}

// The N-th command is still answered (a transfer it starts asks for its
// data); everything after it, in the same feed or later, goes unread.
TEST(DeviceFaults, StopsReadingAfterCommands) {
  BoardConfig c;
  c.faults.stop_reading_after_commands = 2;
  Rig r(c);
  EXPECT_TRUE(r.dev->reading());
  EXPECT_EQ(r.send("ping\n"), "ping");
  EXPECT_EQ(r.send("fwd 0 0 0 \nping\n"), "C");
  EXPECT_FALSE(r.dev->reading());
  EXPECT_EQ(r.send("ping\n"), "");
  EXPECT_EQ(r.dev->stats().commands, 2);
  EXPECT_FALSE(r.dev->hang_up_due());
  c.faults.stop_reading_after_commands = 0;
  Rig deaf(c);
  EXPECT_FALSE(deaf.dev->reading());
  EXPECT_EQ(deaf.send("ping\n"), "");
  EXPECT_EQ(deaf.dev->stats().commands, 0);
}

TEST(DeviceFaults, HangsUpAfterCommands) {
  BoardConfig c;
  c.faults.hang_up_after_commands = 1;
  Rig r(c);
  EXPECT_EQ(r.send("ping\n"), "ping");
  EXPECT_FALSE(r.dev->hang_up_due()) << "the answer must have its chance to be read";
  EXPECT_EQ(r.send("p"), "");
  EXPECT_TRUE(r.dev->hang_up_due());
  EXPECT_EQ(r.dev->stats().commands, 1);
  c.faults.hang_up_after_commands = 0;
  Rig at_once(c);
  EXPECT_FALSE(at_once.dev->hang_up_due());
  EXPECT_EQ(at_once.send("ping\n"), "");
  EXPECT_TRUE(at_once.dev->hang_up_due());
}

TEST(DeviceFaults, TranscriptNamesCommandsAndReplies) {
  Rig r;
  r.send("ping\n");
  ASSERT_GE(r.log.size(), 2u);
  EXPECT_EQ(r.log[0], "rx \"ping\"");
  EXPECT_EQ(r.log[1], "tx \"ping\"");
}

}  // namespace
