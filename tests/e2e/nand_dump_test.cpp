// The page dump after a write flow (-o): whole blocks, appended to
// "flash_log.bin" in the current directory; failures give -6.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/e2e/nand_fixture.h"

namespace {

using namespace nandtest;

class Dump : public NandBoardTest {
 protected:
  void SetUp() override {
    NandBoardTest::SetUp();
    // One small section: a quick write flow.
    fwbuild::FirmwareBuilder fb;
    fb.section(fwbuild::certificate_1, 0x3000, 0x40, fwbuild::pattern(0x40, 1));
    put_firmware(fb.bytes());
  }
  Run dump(int first, int last) {
    lira_nand_dump = 1;
    block_os = first;
    block_e = last;
    return download();
  }
  // The data bytes of the blocks, page by page, as on the flash now.
  std::vector<uint8_t> data_of(int first, int last) const {
    std::vector<uint8_t> out;
    for (int b = first; b <= last; ++b)
      for (int p = 0; p < 64; ++p) {
        const std::vector<uint8_t> pg = page(b, p);
        out.insert(out.end(), pg.begin(), pg.begin() + 2048);
      }
    return out;
  }
  static std::string dump_lines(int first, int last) {
    return "Lira nand flash dump\n\rstart block is " + std::to_string(first) + "\n\rend block is " +
           std::to_string(last) + "\n\rDump flash_log.bin\n\r";
  }
};

TEST_F(Dump, SingleBlockIsDumpedWhole) {
  start();
  const Run run = dump(0, 0);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(run.out.ends_with(dump_lines(0, 0))) << ts::escaped(run.out);
  const std::vector<uint8_t> log = ts::read_file(dir / "flash_log.bin");
  ASSERT_EQ(log.size(), 64u * 2048);
  EXPECT_EQ(log, data_of(0, 0));
  // Pages 0 and 1 of block 0 are the control information.
  EXPECT_TRUE(std::equal(control_info.begin(), control_info.end(), log.begin()));
}

TEST_F(Dump, RangeOfBlocksAppendedTwice) {
  start();
  ASSERT_EQ(dump(15, 17).status, 0);
  const std::vector<uint8_t> once = ts::read_file(dir / "flash_log.bin");
  ASSERT_EQ(once.size(), 3u * 64 * 2048);
  EXPECT_EQ(once, data_of(15, 17));
  ASSERT_EQ(dump(0, 0).status, 0);
  std::vector<uint8_t> want = once;
  const std::vector<uint8_t> second = data_of(0, 0);
  want.insert(want.end(), second.begin(), second.end());
  EXPECT_EQ(ts::read_file(dir / "flash_log.bin"), want);
}

TEST_F(Dump, StartAboveEndDumpsNothing) {
  start();
  const Run run = dump(5, 3);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out.ends_with(dump_lines(5, 3))) << ts::escaped(run.out);
  EXPECT_FALSE(fs::exists(dir / "flash_log.bin"));
}

TEST_F(Dump, RangeBeyondTheDeviceIsRefused) {
  start();
  const Run run = dump(1023, 1024);
  EXPECT_EQ(run.status, -6);
  EXPECT_NE(run.out.find("nothing dumped"), std::string::npos) << ts::escaped(run.out);
  EXPECT_FALSE(fs::exists(dir / "flash_log.bin"));
}

// A dump file that is no regular file is refused before the port is opened:
// the board never hears a command, and a FIFO never blocks the run.
TEST_F(Dump, DumpFileThatIsNoRegularFileIsRefusedBeforeThePortOpens) {
  struct Case {
    const char *name;
    void (*make)(const fs::path &);
    const char *reason;
  };
  const Case cases[] = {
      {"directory", [](const fs::path &p) { fs::create_directory(p); }, "a directory, not a regular file"},
      {"FIFO", [](const fs::path &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, "a FIFO, not a regular file"},
      {"device", [](const fs::path &p) { fs::create_symlink("/dev/null", p); },
       "a character device, not a regular file"},
  };
  start();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path log = dir / "flash_log.bin";
    c.make(log);
    testing::internal::CaptureStderr();
    const Run run = dump(0, 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(run.status, -6);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(err, std::string("tidewrite: flash_log.bin: ") + c.reason +
                       "; the dump cannot be written, nothing done\n");
    EXPECT_EQ(board->stats().opens, 0);
    fs::remove(log);
  }
}

TEST_F(Dump, BoardFallingSilentFailsTheDump) {
  // Count the commands of the write flow on a scratch board, then let the
  // real board answer ten dump reads more.
  int write_commands = 0;
  {
    start();
    ASSERT_EQ(download().status, 0);
    write_commands = board->stats().commands;
    board.reset();
    fs::remove(dir / "nand.bin");
  }
  cfg.faults.silent_after_commands = write_commands + 10;
  start();
  const Run run = dump(0, 1);
  EXPECT_EQ(run.status, -6);
  EXPECT_TRUE(run.out.ends_with(dump_lines(0, 1) + "page 10 could not be read, dump stopped !!!\n\r"))
      << ts::escaped(run.out);
  EXPECT_EQ(ts::read_file(dir / "flash_log.bin").size(), 10u * 2048);
}

}  // namespace
