// The tidewrite program itself against the emulated board: exit statuses
// (the result modulo 256), exact console bytes, the loader found beside the
// program or in the share directory, and a board falling silent ending the
// run in bounded time.
#include <gtest/gtest.h>

#include "tests/e2e/nor_fixture.h"

namespace nortest {
namespace {

class NorProgram : public testing::Test {
 protected:
  TempDir dir;
  fs::path image_path = dir / "image.bin";
  std::vector<uint8_t> img = random_bytes(70000, 11);
  void SetUp() override { testsupport::write_file(image_path, img); }
};

TEST_F(NorProgram, DownloadWithVerifyAndReset) {
  NorBoard board(dir.path());
  const auto r = run_program({"-p", board.port(), "-f", image_path.string(), "-b", "1500000", "-s", "0x1000", "-v",
                              "lira", "-r"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_OUT(r.out, hash_pass_lines(img.data(), img.size()) + "upload success\r");
  EXPECT_EQ(board.flash(0x1000, img.size()), img);
  EXPECT_TRUE(board.received("disc"));
}

TEST_F(NorProgram, DownloadWithoutResetPrintsNoOutcomeLine) {
  NorBoard board(dir.path());
  const auto r = run_program({"-p", board.port(), "-f", image_path.string(), "-b", "921600", "-x", "16"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_OUT(r.out, "");
  EXPECT_EQ(board.flash(0, img.size()), img);
}

TEST_F(NorProgram, ChipEraseAndRefusedRange) {
  NorBoard board(dir.path(), {}, random_bytes(0x10000, 2));
  const auto r = run_program({"-p", board.port(), "-e", "chip", "-T", "2000"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_OUT(r.out, "erase success\r");
  EXPECT_EQ(board.flash(0, 0x10000), std::vector<uint8_t>(0x10000, 0xFF));

  const auto refused = run_program({"-p", board.port(), "-e", "0x3000", "0x1000", "-T", "2000"});
  EXPECT_EQ(refused.status, 255);
  EXPECT_EQ(board.stats().opens, 1);
}

TEST_F(NorProgram, PortThatCannotBeOpened) {
  const std::string port = (dir / "no-such-tty").string();
  const auto r = run_program({"-p", port, "-f", image_path.string(), "-b", "1500000", "-r"});
  EXPECT_EQ(r.status, 255);
  EXPECT_OUT(r.out, "uart " + port + " open fail\n\rnop fail\r");
}

TEST_F(NorProgram, HashMismatchStatus) {
  boardsim::BoardConfig cfg;
  cfg.faults.wrong_hash = true;
  NorBoard board(dir.path(), cfg);
  const auto r = run_program({"-p", board.port(), "-f", image_path.string(), "-b", "1500000", "-v", "lira"});
  EXPECT_EQ(r.status, 250);  // -6
  EXPECT_TRUE(r.out.ends_with("hash not match\n\rupload fail\r")) << testsupport::escaped(r.out);
}

// The loader is looked for beside the program (through /proc/self/exe, which
// resolves links, so the program itself is copied); one in the current
// directory wins over it.
TEST_F(NorProgram, LoaderBesideTheProgramAndInTheCurrentDirectory) {
  const fs::path bin = dir / "bin";
  const fs::path work = dir / "work";
  fs::create_directories(bin);
  fs::create_directories(work);
  fs::copy_file(TIDEWRITE_BIN, bin / "tidewrite");
  testsupport::write_file(bin / "flash_loader_nor.bin", random_bytes(3 * 1024, 4));  // 3 blocks
  const std::vector<std::string> args = {"-f", image_path.string(), "-b", "1500000", "-U", "-r"};

  auto first_transfer = [](const std::string &t) {
    const auto at = t.find("transfer of ");
    return at == std::string::npos ? std::string() : t.substr(at, t.find(',', at) - at);
  };
  {
    TempDir bdir;
    NorBoard board(bdir.path());
    std::vector<std::string> a = {"-p", board.port()};
    a.insert(a.end(), args.begin(), args.end());
    const auto r = run_program(a, work, std::chrono::seconds(60), (bin / "tidewrite").string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_OUT(r.out, "upload success\r");
    EXPECT_NE(board.transcript().find("restart into the uploaded loader"), std::string::npos);
    EXPECT_EQ(first_transfer(board.transcript()), "transfer of 3 blocks");
    EXPECT_EQ(board.flash(0, img.size()), img);
  }
  testsupport::write_file(work / "flash_loader_nor.bin", random_bytes(1024, 4));  // 1 block
  {
    TempDir bdir;
    NorBoard board(bdir.path());
    std::vector<std::string> a = {"-p", board.port()};
    a.insert(a.end(), args.begin(), args.end());
    const auto r = run_program(a, work, std::chrono::seconds(60), (bin / "tidewrite").string());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(first_transfer(board.transcript()), "transfer of 1 blocks");
  }
  fs::remove(bin / "flash_loader_nor.bin");
  fs::remove(work / "flash_loader_nor.bin");
  {
    TempDir bdir;
    NorBoard board(bdir.path());
    std::vector<std::string> a = {"-p", board.port()};
    a.insert(a.end(), args.begin(), args.end());
    const auto r = run_program(a, work, std::chrono::seconds(60), (bin / "tidewrite").string());
    EXPECT_EQ(r.status, 247);  // -9
    EXPECT_OUT(r.out, "flash loader not found\n\rNOR flashloader loading fail\n\rUart boot fail\r");
  }
}

// An installed program finds its loader in ../share/tidewrite/ beside its
// own bin/ (a copy, since /proc/self/exe resolves links); the current
// directory and the program's own directory still come first, in that order.
// The loaders differ in size, so the board's transfer tells which one went up.
TEST_F(NorProgram, LoaderInTheShareDirectoryComesLast) {
  const fs::path bin = dir / "bin";
  const fs::path share = dir / "share" / "tidewrite";
  const fs::path work = dir / "work";
  fs::create_directories(bin);
  fs::create_directories(share);
  fs::create_directories(work);
  fs::copy_file(TIDEWRITE_BIN, bin / "tidewrite");
  struct Case {
    const char *name;
    bool here, beside, shared;
    const char *transfer;  // the loader's transfer, "" when none was found
  };
  const Case cases[] = {
      {"share only", false, false, true, "transfer of 4 blocks"},
      {"beside wins over share", false, true, true, "transfer of 3 blocks"},
      {"current directory wins over both", true, true, true, "transfer of 1 blocks"},
      {"current directory wins over share", true, false, true, "transfer of 1 blocks"},
      {"none", false, false, false, ""},
  };
  auto place = [](bool wanted, const fs::path &path, size_t blocks) {
    fs::remove(path);
    if (wanted) testsupport::write_file(path, random_bytes(blocks * 1024, 4));
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    place(c.here, work / "flash_loader_nor.bin", 1);
    place(c.beside, bin / "flash_loader_nor.bin", 3);
    place(c.shared, share / "flash_loader_nor.bin", 4);
    TempDir bdir;
    NorBoard board(bdir.path());
    const auto r = run_program({"-p", board.port(), "-f", image_path.string(), "-b", "1500000", "-U", "-r"}, work,
                               std::chrono::seconds(60), (bin / "tidewrite").string());
    const std::string t = board.transcript();
    const auto at = t.find("transfer of ");
    const std::string transfer = at == std::string::npos ? "" : t.substr(at, t.find(',', at) - at);
    EXPECT_EQ(transfer, c.transfer) << t;
    if (*c.transfer != '\0') {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_OUT(r.out, "upload success\r");
      EXPECT_EQ(board.flash(0, img.size()), img);
    } else {
      EXPECT_EQ(r.status, 247);  // -9
      EXPECT_OUT(r.out, "flash loader not found\n\rNOR flashloader loading fail\n\rUart boot fail\r");
      // The reason names every place, the share directory without "..".
      EXPECT_EQ(r.err, "flash_loader_nor.bin is in none of the places searched: the current directory, " +
                           fs::canonical(bin).string() + "/ or " + fs::canonical(share).string() + "/\n");
    }
  }
}

// The full price of a silent board: block retries wait their second each
// until the board has been silent for 20 s in all; then the line counts as
// lost and the run ends, within 30 s.
TEST_F(NorProgram, BoardFallingSilentMidTransferEndsTheRun) {
  boardsim::BoardConfig cfg;
  cfg.faults.block_faults = {{0, 3, boardsim::BlockFaultKind::silence, 1000}};
  NorBoard board(dir.path(), cfg);
  const auto r = run_program({"-p", board.port(), "-f", image_path.string(), "-b", "1500000", "-r"}, {},
                             std::chrono::seconds(60));
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 248);  // -8
  EXPECT_OUT(r.out, "upload fail\r");
  EXPECT_EQ(r.err, "the board has sent nothing for 20000 ms: the link is lost (board reset, stopped or unplugged?)\n");
  EXPECT_LT(r.seconds, 30);
}

// A line that stops taking bytes: the board answers ping, ucfg and the
// start command, then reads nothing. The first 32 KiB frame fills the line,
// its write stalls for 5 s, and the run ends there as a lost line instead of
// sending the frame 25 times over.
TEST_F(NorProgram, LineThatStopsReadingEndsTheRunAfterOneStall) {
  boardsim::BoardConfig cfg;
  cfg.faults.stop_reading_after_commands = 3;
  NorBoard board(dir.path(), cfg);
  const auto r = run_program({"-p", board.port(), "-f", image_path.string(), "-b", "1500000", "-x", "32", "-r"}, {},
                             std::chrono::seconds(60));
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 248);  // -8
  EXPECT_OUT(r.out, "upload fail\r");
  EXPECT_EQ(r.err, "the serial line took no data for 5000 ms (adapter gone?)\n");
  EXPECT_GE(r.seconds, 5.0);
  EXPECT_LT(r.seconds, 12.0);
  EXPECT_EQ(board.stats().commands, 3);
  EXPECT_EQ(board.flash(0, img.size()), std::vector<uint8_t>(img.size(), 0xFF));
}

}  // namespace
}  // namespace nortest
