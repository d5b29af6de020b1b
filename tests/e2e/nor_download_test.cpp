// NOR download and verify against the emulated board, run in this process:
// exact console bytes, the result, what the board was sent and what its
// flash holds afterwards.
#include <gtest/gtest.h>

#include "tests/e2e/nor_fixture.h"

namespace nortest {
namespace {

constexpr int kImageOffset = 0x10000;

class NorDownload : public testing::Test {
 protected:
  TempDir dir;
  fs::path image_path = dir / "image.bin";

  std::vector<uint8_t> make_image(size_t n, uint32_t seed = 1) {
    auto img = random_bytes(n, seed);
    testsupport::write_file(image_path, img);
    return img;
  }
  std::vector<std::string> download_args(const NorBoard &b, std::vector<std::string> extra = {}) {
    std::vector<std::string> a = {"-p", b.port(), "-f", image_path.string(), "-b", "1500000"};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }
};

// Every transfer mode, with and without the comparison of both query forms:
// the image lands at the offset, the bytes around it stay erased, the board
// got the start command of the mode and the hash query of the form.
TEST_F(NorDownload, EveryModeWritesTheImageAndComparesWhenAsked) {
  struct Case {
    const char *mode;
    const char *verify;  // nullptr, "" (plain -v) or "lira"
    const char *start_cmd;
    int blocks;  // frames of the mode's size for 100000 bytes
  };
  const Case cases[] = {
      {"1", nullptr, "fwd 0 0 10000 ", 98},     {"1", "lira", "fwd 0 0 10000 ", 98},
      {"1", "", "fwd 0 0 10000 ", 98},          {"4", "lira", "fwd16k 0 0 10000 ", 25},
      {"8", nullptr, "fwd16k 0 0 10000 ", 13},  {"16", "lira", "fwd16k 0 0 10000 ", 7},
      {"32", nullptr, "fwd16k 0 0 10000 ", 4},  {"32", "lira", "fwd16k 0 0 10000 ", 4},
  };
  // Not a multiple of any block size, so the last block is padded.
  const auto img = make_image(100000);
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string("mode ") + c.mode + " verify " + (c.verify ? c.verify : "none"));
    TempDir bdir;
    NorBoard board(bdir.path());
    std::vector<std::string> extra = {"-s", "0x10000", "-x", c.mode};
    if (c.verify) {
      extra.push_back("-v");
      if (*c.verify) extra.push_back(c.verify);
    }
    const auto r = run_in_process(download_args(board, extra));
    EXPECT_EQ(r.status, 0);
    EXPECT_OUT(r.out, c.verify ? hash_pass_lines(img.data(), img.size()) : "");
    EXPECT_EQ(board.flash(kImageOffset, img.size()), img);
    EXPECT_EQ(board.flash(kImageOffset - 16, 16), std::vector<uint8_t>(16, 0xFF));
    EXPECT_EQ(board.flash(kImageOffset + img.size(), 4096), std::vector<uint8_t>(4096, 0xFF));
    EXPECT_TRUE(board.received(c.start_cmd)) << board.transcript();
    EXPECT_NE(board.transcript().find("transfer of " + std::to_string(c.blocks) + " blocks"), std::string::npos)
        << board.transcript();
    if (c.verify) {
      EXPECT_TRUE(board.received("hashq 100000 0 0 ")) << board.transcript();
    }
  }
}

TEST_F(NorDownload, ResetAfterSuccessPrintsTheSuccessLine) {
  const auto img = make_image(5000);
  NorBoard board(dir.path());
  const auto r = run_in_process(download_args(board, {"-v", "lira", "-r"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, hash_pass_lines(img.data(), img.size()) + "upload success\r");
  EXPECT_TRUE(board.received("disc"));
  EXPECT_EQ(board.flash(0, img.size()), img);
}

// The hash query of a piece that does not start the file carries its place
// in the file in the lira form only.
TEST_F(NorDownload, LiraQueryCarriesThePiecePosition) {
  const auto img = make_image(0x10000);
  NorBoard board(dir.path());
  const auto r = run_in_process(download_args(board, {"-s", "0x11000", "-m", "0x10000", "0x18000", "-v", "lira"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(board.received("hashq 36864 7000 0 ")) << board.transcript();
  const auto plain_dir = TempDir();
  NorBoard plain(plain_dir.path());
  const auto p = run_in_process(download_args(plain, {"-s", "0x11000", "-m", "0x10000", "0x18000", "-v"}));
  EXPECT_EQ(p.status, 0);
  EXPECT_TRUE(plain.received("hashq 36864 0 0 ")) << plain.transcript();
}

TEST_F(NorDownload, HashMismatchFailsWithTheFormsCode) {
  const auto img = make_image(3000);
  const std::string local = sha256_hex(img.data(), img.size());
  std::string device = local;
  // The board inverts its first digest byte.
  device.replace(0, 2, [&] {
    char b[3];
    std::snprintf(b, sizeof b, "%02x", 0xFF ^ std::stoi(local.substr(0, 2), nullptr, 16));
    return std::string(b);
  }());
  for (const bool lira : {true, false}) {
    SCOPED_TRACE(lira ? "lira" : "plain");
    TempDir bdir;
    boardsim::BoardConfig cfg;
    cfg.faults.wrong_hash = true;
    NorBoard board(bdir.path(), cfg);
    std::vector<std::string> extra = {"-v"};
    if (lira) extra.push_back("lira");
    const auto r = run_in_process(download_args(board, extra));
    EXPECT_EQ(r.status, lira ? -6 : -7);
    EXPECT_OUT(r.out, "device:" + device + "\nlocal :" + local + "\nhash not match\n\rupload fail\r");
  }
}

TEST_F(NorDownload, VerifyOnlyComparesWithoutWriting) {
  const auto img = make_image(20000);
  std::vector<uint8_t> flash(kImageOffset + img.size(), 0xFF);
  std::copy(img.begin(), img.end(), flash.begin() + kImageOffset);
  NorBoard board(dir.path(), {}, flash);
  const auto r = run_in_process(download_args(board, {"-s", "0x10000", "-v", "lira", "only"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, "setup offset 0\n\r" + hash_pass_lines(img.data(), img.size()));
  EXPECT_EQ(board.stats().transfers, 1);
  EXPECT_EQ(board.stats().transfers_ok, 1);  // the empty transfer, closed by the end byte
  EXPECT_EQ(board.flash(kImageOffset, img.size()), img);
}

TEST_F(NorDownload, VerifyOnlyOfDifferentFlashFails) {
  const auto img = make_image(20000);
  NorBoard board(dir.path());  // erased flash
  const auto r = run_in_process(download_args(board, {"-v", "only", "-r"}));
  EXPECT_EQ(r.status, -7);
  const std::vector<uint8_t> erased(img.size(), 0xFF);
  EXPECT_OUT(r.out, "setup offset 0\n\rdevice:" + sha256_hex(erased.data(), erased.size()) +
                        "\nlocal :" + sha256_hex(img.data(), img.size()) + "\nhash not match\n\rverify fail\r");
  EXPECT_EQ(board.flash(0, img.size()), erased);
}

// The masked-area cases. The flash starts out holding a pattern so that a
// masked area left alone shows.
struct MaskCase {
  const char *name;
  int offset;
  int len;
  const char *mstart;
  const char *mend;
  int status;
  const char *out;
  // File ranges expected in flash at offset + start: {start, len}.
  std::vector<std::pair<int, int>> written;
};

TEST_F(NorDownload, MaskedAreaCases) {
  const char *size_error = "ERROR: please check masked area, image offset and firmware size\n\rupload fail\r";
  const MaskCase cases[] = {
      {"two pieces", 0x0, 0x20000, "0x10000", "0x18000", 0, "", {{0x0, 0x10000}, {0x18000, 0x8000}}},
      {"starts inside", 0x11000, 0x10000, "0x10000", "0x18000", 0, "", {{0x7000, 0x9000}}},
      {"wholly after", 0x20000, 0x8000, "0x10000", "0x18000", 0, "", {{0x0, 0x8000}}},
      {"starts at the masked end", 0x18000, 0x8000, "0x10000", "0x18000", 0, "", {{0x0, 0x8000}}},
      {"wholly before", 0x0, 0x8000, "0x10000", "0x18000", 0, "", {{0x0, 0x8000}}},
      {"ends at the masked start", 0x8000, 0x8000, "0x10000", "0x18000", 0, "", {{0x0, 0x8000}}},
      {"ends at the masked end", 0x0, 0x18000, "0x10000", "0x18000", 0, "", {{0x0, 0x10000}}},
      {"ends inside", 0x0, 0x12000, "0x10000", "0x18000", -5, size_error, {}},
      {"starts and ends inside", 0x11000, 0x1000, "0x10000", "0x18000", -5, size_error, {}},
      {"start equals end", 0x0, 0x8000, "0x10000", "0x10000", -4, "ERROR: wrong masked areaupload fail\r", {}},
      {"start above end", 0x0, 0x8000, "0x18000", "0x10000", -4, "ERROR: wrong masked areaupload fail\r", {}},
      {"no masked area", 0x0, 0x8000, "0x0", "0x0", 0, "", {{0x0, 0x8000}}},
  };
  const auto before = random_bytes(0x40000, 99);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir bdir;
    const auto img = make_image(static_cast<size_t>(c.len), 7);
    NorBoard board(bdir.path(), {}, before);
    char off[32];
    std::snprintf(off, sizeof off, "0x%x", c.offset);
    const auto r = run_in_process(download_args(board, {"-s", off, "-m", c.mstart, c.mend}));
    EXPECT_EQ(r.status, c.status);
    EXPECT_OUT(r.out, c.out);

    auto expected = before;
    for (const auto &[start, len] : c.written)
      std::copy_n(img.begin() + start, len, expected.begin() + c.offset + start);
    EXPECT_TRUE(board.flash(0, expected.size()) == expected) << "flash differs";
    EXPECT_EQ(board.stats().transfers, static_cast<int>(c.written.size()));
  }
}

TEST_F(NorDownload, TwoPiecesAreEachVerifiedRightAfterTheirTransfer) {
  const auto img = make_image(0x20000);
  NorBoard board(dir.path());
  const auto r = run_in_process(download_args(board, {"-m", "0x10000", "0x18000", "-v", "lira"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, hash_pass_lines(img.data(), 0x10000) + hash_pass_lines(img.data() + 0x18000, 0x8000));
  const std::string t = board.transcript();
  const auto first_query = t.find("rx \"hashq 65536 0 0 \"");
  const auto second_start = t.find("rx \"fwd 0 0 18000 \"");
  const auto second_query = t.find("rx \"hashq 32768 18000 0 \"");
  ASSERT_NE(first_query, std::string::npos) << t;
  ASSERT_NE(second_start, std::string::npos) << t;
  ASSERT_NE(second_query, std::string::npos) << t;
  EXPECT_LT(first_query, second_start);
  EXPECT_LT(second_start, second_query);
}

TEST_F(NorDownload, RefusedMaskedAreasNeverOpenThePort) {
  make_image(0x1000);
  NorBoard board(dir.path());
  for (const auto &extra : std::vector<std::vector<std::string>>{
           {"-m", "0x0", "0x10000"}, {"-m", "0x10000", "0x18000", "-d", "q5"}, {"-m", "0x10000", "0x18000", "-d", "lrm"},
           {"-v", "only", "-d", "q5"}, {"-v", "lira", "only", "-d", "lrm"}}) {
    const auto r = run_in_process(download_args(board, extra));
    EXPECT_EQ(r.status, -1) << extra[0] << " " << extra[1];
  }
  EXPECT_EQ(board.stats().opens, 0);
}

TEST_F(NorDownload, EmptyImageSendsNothingAndSucceeds) {
  make_image(0);
  NorBoard board(dir.path());
  const auto r = run_in_process(download_args(board, {"-v", "lira", "-r"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, "upload success\r");
  EXPECT_EQ(board.stats().transfers, 0);
}

TEST_F(NorDownload, MissingImageFileFailsAfterOpeningThePort) {
  NorBoard board(dir.path());
  const std::string missing = (dir / "missing.bin").string();
  const auto r = run_in_process({"-p", board.port(), "-f", missing, "-b", "1500000", "-r"});
  EXPECT_EQ(r.status, -2);
  EXPECT_OUT(r.out, "read_fw_file : " + missing + " open fail\n\rupload fail\r");
}

TEST_F(NorDownload, NoOkAfterTheTransferFailsAndStillResets) {
  const auto img = make_image(5000);
  boardsim::BoardConfig cfg;
  cfg.faults.no_ok_after_transfer = true;
  NorBoard board(dir.path(), cfg);
  const auto r = run_in_process(download_args(board, {"-v", "lira", "-r"}));
  EXPECT_EQ(r.status, -8);
  EXPECT_OUT(r.out, "upload fail\r");
  EXPECT_TRUE(board.received("disc")) << board.transcript();
  EXPECT_EQ(board.flash(0, img.size()), img);  // programmed, only the "OK" is missing
}

// A read with short time-outs stands in for the serial read during the
// transfer, so that the sender's retry budget costs milliseconds.
int quick_read(UARTHDL hdl, void *data, int len, int timeout) { return uart_read(hdl, data, len, timeout > 20 ? 20 : timeout); }

TEST_F(NorDownload, BoardFallingSilentMidTransferEndsTheRun) {
  make_image(50000);
  boardsim::BoardConfig cfg;
  cfg.faults.block_faults = {{0, 3, boardsim::BlockFaultKind::silence, 1000}};
  NorBoard board(dir.path(), cfg);
  nor_set_xmodem_transport(nullptr, quick_read);
  const auto started = std::chrono::steady_clock::now();
  const auto r = run_in_process(download_args(board, {"-v", "lira"}));
  nor_set_xmodem_transport(nullptr, nullptr);
  EXPECT_EQ(r.status, -8);
  EXPECT_OUT(r.out, "upload fail\r");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST_F(NorDownload, NandOptionsWithoutNandChangeNothing) {
  const auto img = make_image(7000);
  NorBoard board(dir.path());
  const auto r = run_in_process(download_args(board, {"-o", "0", "3", "-w", "10", "20", "-t", "0x12", "-r"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, "upload success\r");
  EXPECT_EQ(board.flash(0, img.size()), img);
}

TEST_F(NorDownload, PortThatCannotBeOpened) {
  make_image(100);
  const std::string port = (dir / "no-such-tty").string();
  const auto r = run_in_process({"-p", port, "-f", image_path.string(), "-b", "1500000", "-r"});
  EXPECT_EQ(r.status, -1);
  EXPECT_OUT(r.out, "uart " + port + " open fail\n\rnop fail\r");
}

// The q5 ROM: wake word and prompt, a start command carrying the rate, the
// host following the rate, and a reset that returns to 115200 first (the
// board is back at 115200 after its download and would hear noise).
TEST_F(NorDownload, Q5StartSequenceRateSwitchAndReset) {
  const auto img = make_image(30000);
  boardsim::BoardConfig cfg;
  cfg.chip = boardsim::Chip::q5;
  NorBoard board(dir.path(), cfg);
  const auto r = run_in_process(download_args(board, {"-d", "q5", "-s", "0x20000", "-v", "-r"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, "download mode ok\n\rupload success\r");
  EXPECT_NE(r.err.find("hash check skipped"), std::string::npos) << r.err;
  EXPECT_TRUE(board.received("fwd 16 15 1500000 0 0 0 0 20000")) << board.transcript();
  EXPECT_TRUE(board.received("WDTRST")) << board.transcript();
  EXPECT_EQ(board.flash(0x20000, img.size()), img);
  EXPECT_EQ(board.stats().device_baud, 115200);
}

TEST_F(NorDownload, Q5FromItsApplicationPrompt) {
  const auto img = make_image(2000);
  boardsim::BoardConfig cfg;
  cfg.chip = boardsim::Chip::q5;
  cfg.faults.q5_in_application = true;
  NorBoard board(dir.path(), cfg);
  const auto r = run_in_process(download_args(board, {"-d", "q5", "-x", "32"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, "download mode ok\n\r");
  EXPECT_TRUE(board.received("ATXX"));
  EXPECT_EQ(board.flash(0, img.size()), img);
}

TEST_F(NorDownload, LrmSkipsTheMaskedAreaAndTheHashCheck) {
  const auto img = make_image(9000);
  boardsim::BoardConfig cfg;
  cfg.chip = boardsim::Chip::lrm;
  NorBoard board(dir.path(), cfg);
  const auto r = run_in_process(download_args(board, {"-d", "lrm", "-v", "lira"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, "");
  EXPECT_NE(r.err.find("hash check skipped"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("hash check skipped"), r.err.rfind("hash check skipped")) << "one line only";
  EXPECT_EQ(board.flash(0, img.size()), img);
}

}  // namespace
}  // namespace nortest
