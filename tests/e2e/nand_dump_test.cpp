// The page dump after a write flow (-o): whole blocks, appended to
// "flash_log.bin" in the current directory; failures give -6.
#include <gtest/gtest.h>

#include "tests/e2e/nand_fixture.h"

namespace {

using namespace nandtest;

class Dump : public NandBoardTest {
 protected:
  void SetUp() override {
    NandBoardTest::SetUp();
    put_firmware(fwbuild::FirmwareBuilder().bytes());  // no section: a quick write flow
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

TEST_F(Dump, UnwritableDumpFileFails) {
  start();
  fs::create_directory(dir / "flash_log.bin");  // a folder where the file should go
  const Run run = dump(0, 0);
  EXPECT_EQ(run.status, -6);
  EXPECT_TRUE(run.out.ends_with(dump_lines(0, 0) + "flash_log.bin could not be written, dump stopped !!!\n\r"))
      << ts::escaped(run.out);
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
