// Flash-loader upload before the NOR operation, run in this process: the
// loader search, the board running the loader, and every failure of the step.
#include <gtest/gtest.h>

#include "tests/e2e/nor_fixture.h"

namespace nortest {
namespace {

class NorUartBoot : public testing::Test {
 protected:
  TempDir dir;
  fs::path image_path = dir / "image.bin";
  std::vector<uint8_t> img = random_bytes(40000, 3);

  void SetUp() override { testsupport::write_file(image_path, img); }
  std::vector<std::string> args(const std::string &port, std::vector<std::string> extra) {
    std::vector<std::string> a = {"-p", port, "-f", image_path.string(), "-b", "1500000", "-U"};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }
};

TEST_F(NorUartBoot, LoaderInTheCurrentDirectoryThenDownloadInLargeBlocks) {
  testsupport::write_file(dir / "flash_loader_nor.bin", random_bytes(3000, 8));
  testsupport::ScopedCwd cwd(dir.path());
  NorBoard board(dir.path());
  const auto r = run_in_process(args(board.port(), {"-v", "lira", "-r"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, hash_pass_lines(img.data(), img.size()) + "upload success\r");
  EXPECT_NE(board.transcript().find("restart into the uploaded loader"), std::string::npos);
  EXPECT_EQ(board.stats().opens, 2);  // the upload closes the port; the download opens it again
  const std::string t = board.transcript();
  const auto uboot = t.find("rx \"uboot \"");
  const auto disc = t.find("rx \"disc\"");
  const auto fwd = t.find("rx \"fwd16k 0 0 0 \"");
  ASSERT_NE(uboot, std::string::npos) << t;
  ASSERT_NE(disc, std::string::npos) << t;
  ASSERT_NE(fwd, std::string::npos) << t;
  EXPECT_LT(uboot, disc);
  EXPECT_LT(disc, fwd);
  EXPECT_EQ(board.flash(0, img.size()), img);
}

// A later -x decides the transfer mode over -U.
TEST_F(NorUartBoot, LaterModeOptionWins) {
  testsupport::write_file(dir / "flash_loader_nor.bin", random_bytes(1000, 8));
  testsupport::ScopedCwd cwd(dir.path());
  NorBoard board(dir.path());
  const auto r = run_in_process(args(board.port(), {"-x", "1"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(board.received("fwd 0 0 0 ")) << board.transcript();
  EXPECT_EQ(board.flash(0, img.size()), img);
}

TEST_F(NorUartBoot, LoaderFailures) {
  struct Case {
    const char *name;
    bool loader_file;     // a loader in the current directory
    bool loader_is_dir;   // ...that cannot be read
    bool no_ok;           // the board never acknowledges the transfer
    bool silent;          // the board answers nothing at all
    int status;
    const char *out;
  };
  const Case cases[] = {
      {"missing", false, false, false, false, -9,
       "flash loader not found\n\rNOR flashloader loading fail\n\rUart boot fail\r"},
      {"unreadable", false, true, false, false, -3,
       "read_fw_file : flash_loader_nor.bin open fail\n\rfw_buf is NULL, goto exit !!!\n\r"
       "NOR flashloader loading fail\n\rUart boot fail\r"},
      {"no OK", true, false, true, false, -4, "uboot fail\n\rNOR flashloader loading fail\n\rUart boot fail\r"},
      {"silent board", true, false, false, true, -2,
       "ping fail \n\rping retry fail \n\rNOR flashloader loading fail\n\rUart boot fail\r"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir work;
    if (c.loader_file) testsupport::write_file(work / "flash_loader_nor.bin", random_bytes(2000, 8));
    if (c.loader_is_dir) fs::create_directory(work / "flash_loader_nor.bin");
    testsupport::ScopedCwd cwd(work.path());
    boardsim::BoardConfig cfg;
    cfg.faults.no_ok_after_transfer = c.no_ok;
    if (c.silent) cfg.faults.silent_after_commands = 0;
    NorBoard board(work.path(), cfg);
    const auto r = run_in_process(args(board.port(), {"-r"}));
    EXPECT_EQ(r.status, c.status);
    EXPECT_OUT(r.out, c.out);
    // The operation never started and nothing reset the board.
    EXPECT_FALSE(board.received("disc")) << board.transcript();
    EXPECT_EQ(board.transcript().find("fwd"), std::string::npos);
    EXPECT_EQ(board.stats().opens, 1);
    EXPECT_EQ(g_uart_hdl, 0);
  }
}

// A NAND request on a board whose ROM answers the flash-type query with a
// digest is a NOR board: the NOR loader goes up and the NOR download runs.
TEST_F(NorUartBoot, NandRequestOnANorBoardRunsTheNorPath) {
  testsupport::write_file(dir / "flash_loader_nor.bin", random_bytes(2048, 8));  // 2 blocks
  testsupport::write_file(dir / "flash_loader_nand.bin", random_bytes(5 * 1024, 8));  // 5 blocks
  testsupport::ScopedCwd cwd(dir.path());
  NorBoard board(dir.path());
  const auto r = run_in_process(args(board.port(), {"-n", "lira", "-v", "lira", "-r"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_OUT(r.out, hash_pass_lines(img.data(), img.size()) + "upload success\r");
  const std::string t = board.transcript();
  const auto first = t.find("transfer of ");
  ASSERT_NE(first, std::string::npos) << t;
  EXPECT_EQ(t.compare(first, 20, "transfer of 2 blocks"), 0) << t;
  EXPECT_EQ(board.flash(0, img.size()), img);
}

TEST_F(NorUartBoot, PortThatCannotBeOpened) {
  const std::string port = (dir / "no-such-tty").string();
  const auto r = run_in_process(args(port, {"-r"}));
  EXPECT_EQ(r.status, -1);
  EXPECT_OUT(r.out, "uart " + port + " open fail\n\rNOR flashloader loading fail\n\rnop fail\r");
}

}  // namespace
}  // namespace nortest
