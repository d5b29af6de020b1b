// FTL write (-w) against boardsim NAND boards with failing blocks, run
// in-process through nand_download: console bytes, result, the data blocks,
// bad-block marks and the FTL table in blocks 1020-1023.
#include <gtest/gtest.h>

#include "tests/e2e/nand_fixture.h"

namespace {

using namespace nandtest;

constexpr size_t kFileLen = 300000;  // three blocks, the last one 37,856 bytes

std::string fmt(const char *f, int v) {
  char b[128];
  snprintf(b, sizeof b, f, v);
  return b;
}

class FtlWrite : public NandBoardTest {
 protected:
  void SetUp() override {
    NandBoardTest::SetUp();
    file = fwbuild::pattern(kFileLen, 0x5E);
    put_firmware(file, "raw.bin");
  }

  Run ftl(int s, int bs) {
    lira_nand_ftl_w = 1;
    block_s = s;
    block_bs = bs;
    return download("raw.bin");
  }

  std::string head(int s, int bs, int blocks = 3) const {
    return opening("raw.bin", file.size()) + "Lira nand flash FTL write\n\r" + fmt("start block is %d\n\r", s) +
           fmt("back start block is %d\n\r", bs) + "fw_len = " + std::to_string(file.size()) +
           " , block_w_total = " + std::to_string(blocks) + "\n\r";
  }

  // Data block i of the file where it must be: pages of data, all spare 0xFF.
  void expect_data_block(int i, int block) {
    SCOPED_TRACE("data block " + std::to_string(i) + " in block " + std::to_string(block));
    for (int p = 0; p < 64; ++p) {
      std::vector<uint8_t> want(2112, 0xFF);
      const size_t from = (size_t(i) * 64 + p) * 2048;
      if (from < file.size()) std::copy_n(file.begin() + from, std::min<size_t>(2048, file.size() - from), want.begin());
      ASSERT_EQ(page(block, p), want) << "page " << p;
    }
  }

  // The table page: magic, the entries (logical, backup), free entries 0xFF,
  // and the four spare bytes sent with it 0xFF like the rest of the spare.
  void expect_ftl_table(int block, const std::vector<std::pair<int, int>> &entries) {
    SCOPED_TRACE("FTL table in block " + std::to_string(block));
    std::vector<uint8_t> want(2112, 0xFF);
    const char magic[] = "BBTTRRbb";
    std::copy(magic, magic + 8, want.begin());
    for (size_t k = 0; k < entries.size(); ++k) {
      uint8_t *e = want.data() + 8 + 8 * k;
      e[0] = 0x42;  // "BB"
      e[1] = 0x42;
      e[2] = static_cast<uint8_t>(entries[k].first);  // failed block, little-endian
      e[3] = static_cast<uint8_t>(entries[k].first >> 8);
      e[4] = static_cast<uint8_t>(entries[k].second);  // backup block, little-endian
      e[5] = static_cast<uint8_t>(entries[k].second >> 8);
      e[6] = 0x62;  // "bb"
      e[7] = 0x62;
    }
    EXPECT_EQ(page(block), want);
  }

  std::vector<uint8_t> file;
};

TEST_F(FtlWrite, NoFailureLeavesTheTableBlocksErased) {
  start();
  const Run r = ftl(100, 900);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ts::escaped(r.out), ts::escaped(head(100, 900) +
                                            "clear FTL table done \n\r"
                                            "block 100 write sucess! \n\r"
                                            "block 101 write sucess! \n\r"
                                            "block 102 write sucess! \n\r"));
  for (int i = 0; i < 3; ++i) expect_data_block(i, 100 + i);
  EXPECT_TRUE(block_erased(103));
  EXPECT_TRUE(block_erased(900));
  for (int b = 1020; b < 1024; ++b) EXPECT_TRUE(block_erased(b)) << b;
}

TEST_F(FtlWrite, FailingTargetGoesToItsBackupAndIntoTheTable) {
  cfg.faults.program_fail_blocks = {{101, 0}};
  start();
  const Run r = ftl(100, 900);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ts::escaped(r.out), ts::escaped(head(100, 900) +
                                            "clear FTL table done \n\r"
                                            "block 100 write sucess! \n\r"
                                            "nand_load_ftl_block, block 101 write fail! \n\r"
                                            "block 900 is block_backup_w_nmb! \n\r"
                                            "update ftl_table done \n\r"
                                            "block 102 write sucess! \n\r"));
  expect_data_block(0, 100);
  expect_data_block(1, 900);
  expect_data_block(2, 102);
  EXPECT_TRUE(marked_bad(101));
  expect_ftl_table(1020, {{101, 900}});
  expect_ftl_table(1021, {{101, 900}});
  EXPECT_TRUE(block_erased(1022));
  EXPECT_TRUE(block_erased(1023));
}

// Failed backups are marked and passed over: after failures at 900 and 902
// the next candidate is 905; the next data block's search starts past it.
TEST_F(FtlWrite, FailingBackupsFollowTheCandidateSequence) {
  cfg.faults.program_fail_blocks = {{101, 0}, {102, 0}, {900, 0}, {902, 0}};
  start();
  const Run r = ftl(100, 900);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ts::escaped(r.out), ts::escaped(head(100, 900) +
                                            "clear FTL table done \n\r"
                                            "block 100 write sucess! \n\r"
                                            "nand_load_ftl_block, block 101 write fail! \n\r"
                                            "block 900 is block_backup_w_nmb! \n\r"
                                            "nand_load_ftl_block, block 900 write fail! \n\r"
                                            "block 902 is block_backup_w_nmb! \n\r"
                                            "nand_load_ftl_block, block 902 write fail! \n\r"
                                            "block 905 is block_backup_w_nmb! \n\r"
                                            "update ftl_table done \n\r"
                                            "nand_load_ftl_block, block 102 write fail! \n\r"
                                            "block 906 is block_backup_w_nmb! \n\r"
                                            "update ftl_table done \n\r"));
  for (int b : {101, 102, 900, 902}) EXPECT_TRUE(marked_bad(b)) << b;
  EXPECT_TRUE(block_erased(901));
  expect_data_block(1, 905);
  expect_data_block(2, 906);
  expect_ftl_table(1020, {{101, 905}, {102, 906}});
  expect_ftl_table(1021, {{101, 905}, {102, 906}});
}

// Backups below the targets are allowed; used up they end the run, either at
// the table blocks or where the targets begin, before anything is overwritten.
TEST_F(FtlWrite, BackupsRunningOut) {
  struct Case {
    const char *name;
    int s, bs;
    std::vector<boardsim::ProgramFailBlock> fail;
    std::string lines;
    int status;
  };
  const std::vector<Case> cases = {
      {"backup below the targets", 500, 100, {{501, 0}},
       "block 500 write sucess! \n\rnand_load_ftl_block, block 501 write fail! \n\r"
       "block 100 is block_backup_w_nmb! \n\rupdate ftl_table done \n\rblock 502 write sucess! \n\r",
       0},
      {"last backup fails, next would be 1021", 100, 1019, {{101, 0}, {1019, 0}},
       "block 100 write sucess! \n\rnand_load_ftl_block, block 101 write fail! \n\r"
       "block 1019 is block_backup_w_nmb! \n\rnand_load_ftl_block, block 1019 write fail! \n\r"
       "block 1021 is block_backup_w_nmb! \n\rAll backup blocks are used, Qorin stop !!! \n\r",
       -4},
      {"backup start at the table blocks", 100, 1020, {{100, 0}},
       "nand_load_ftl_block, block 100 write fail! \n\r"
       "block 1020 is block_backup_w_nmb! \n\rAll backup blocks are used, Qorin stop !!! \n\r",
       -4},
      {"backup search climbs into the targets", 500, 498, {{500, 0}, {498, 0}},
       "nand_load_ftl_block, block 500 write fail! \n\r"
       "block 498 is block_backup_w_nmb! \n\rnand_load_ftl_block, block 498 write fail! \n\r"
       "block 500 is block_backup_w_nmb! \n\rAll backup blocks are used, Qorin stop !!! \n\r",
       -4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    std::filesystem::remove(dir / "nand.bin");
    SetUp();
    cfg.faults.program_fail_blocks = c.fail;
    start();
    const Run r = ftl(c.s, c.bs);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(ts::escaped(r.out), ts::escaped(head(c.s, c.bs) + "clear FTL table done \n\r" + c.lines));
  }
  // The last case stopped before the failed target's data went anywhere:
  // block 500 holds only its bad-block mark, 501 and 502 were never written.
  EXPECT_TRUE(marked_bad(500));
  EXPECT_TRUE(block_erased(501));
  EXPECT_TRUE(block_erased(1021));
}

// Arguments that would overwrite the table blocks, a target or nothing
// sensible, and a file with nothing to write, are refused before anything
// reaches the board.
TEST_F(FtlWrite, RefusedArgumentsWriteNothing) {
  cfg.faults.program_fail_blocks = {{101, 0}};
  start();
  ASSERT_EQ(ftl(100, 900).status, 0);  // leaves data in 100-102, 900 and a table
  const std::vector<uint8_t> table = page(1020);
  const std::vector<uint8_t> first = page(100);

  struct Case {
    int s, bs;
    const char *message;
  };
  const Case cases[] = {
      {-1, 900, "FTL write refused: negative block number (start -1, backup start 900)\n\r"},
      {100, -5, "FTL write refused: negative block number (start 100, backup start -5)\n\r"},
      {1018, 900, "FTL write refused: target blocks 1018-1020 run past block 1019 (FTL table from block 1020)\n\r"},
      {1022, 900, "FTL write refused: target blocks 1022-1024 run past block 1019 (FTL table from block 1020)\n\r"},
      {100, 102, "FTL write refused: backup start 102 lies inside the target blocks 100-102\n\r"},
      {100, 100, "FTL write refused: backup start 100 lies inside the target blocks 100-102\n\r"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    const Run r = ftl(c.s, c.bs);
    EXPECT_EQ(r.status, -4);
    EXPECT_EQ(ts::escaped(r.out), ts::escaped(head(c.s, c.bs) + c.message));
  }
  // An empty file: erasing the table for nothing would lose the move above.
  file.clear();
  put_firmware(file, "raw.bin");
  const Run empty = ftl(100, 900);
  EXPECT_EQ(empty.status, -4);
  EXPECT_EQ(ts::escaped(empty.out), ts::escaped(head(100, 900, 0) + "no firmware section to write\n\r"));
  EXPECT_EQ(page(1020), table);
  EXPECT_EQ(page(100), first);
  EXPECT_TRUE(block_erased(1018));
  EXPECT_TRUE(block_erased(1019));
}

}  // namespace
