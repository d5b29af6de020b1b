// The tidewrite program with -n lira against boardsim: flash-type detection
// (about 5 s on a line without modem-control signals), the NAND loader with
// -U, the NOR fallback, and a silent board. Most NAND flows run in-process in
// the other nand_* tests; these are the few whole-program runs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/e2e/nand_fixture.h"

namespace {

using namespace nandtest;
using fwbuild::FirmwareBuilder;

class NandProgram : public NandBoardTest {
 protected:
  ts::ProcessResult run(std::vector<std::string> args, const fs::path &program = TIDEWRITE_BIN) {
    args.insert(args.begin(), program.string());
    ts::ProcessOptions opts;
    opts.cwd = dir.path();
    opts.timeout = std::chrono::milliseconds(60000);
    return ts::run_process(args, opts);
  }
  std::vector<std::string> nand_args() const {
    return {"-p", board->slave_path(), "-b", "1500000", "-f", "fw.bin", "-n", "lira"};
  }
  fwbuild::ExpectedImage cert{"certificate_1", {0xC2, 0xE9}, 0x3000, 0x40};
  std::vector<uint8_t> firmware() const {
    FirmwareBuilder fb;
    fb.section(fwbuild::certificate_1, 0x3000, 0x40, fwbuild::pattern(0x40, 1));
    return fb.bytes();
  }
  std::string write_lines(size_t fw_len) const {
    const std::string len = "fw.bin length = " + std::to_string(fw_len) + " \n\r";
    return board->slave_path() + " opened\n\r" + kChipIdLine + len +
           "Lira nand flash normal write\n\rcrc = 0x? \n\rflash_control_info done for download \n\r" + len +
           image_lines(cert, {24}, 0) +
           "Lira nand partition_table_copy 20-23\n\rpartition_table read OK, Block 16 \n\r"
           "Lira nand partition_table_copy done\n\r";
  }
};

TEST_F(NandProgram, NormalWriteWithResetAndDump) {
  start();
  const std::vector<uint8_t> fw = firmware();
  put_firmware(fw);
  std::vector<std::string> args = nand_args();
  for (const char *a : {"-r", "-o", "24", "24"}) args.push_back(a);
  const ts::ProcessResult r = run(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ts::escaped(mask_crc(strip_progress(r.out))),
            ts::escaped(write_lines(fw.size()) +
                        "Lira nand flash dump\n\rstart block is 24\n\rend block is 24\n\rDump flash_log.bin\n\r"
                        "nand download success\r"));
  expect_image_on_flash(*board, fw, cert, {24});
  expect_table_page(page(16), {expected_record(cert, {24}, 0)});
  const std::vector<uint8_t> log = ts::read_file(dir / "flash_log.bin");
  ASSERT_EQ(log.size(), 64u * 2048);
  EXPECT_TRUE(std::equal(fw.begin() + 0x3000, fw.begin() + 0x3040, log.begin()));
}

// The program runs from its own folder holding the NAND loader and the
// control information; the working folder has neither.
TEST_F(NandProgram, NandLoaderAndControlInfoFoundBesideTheProgram) {
  start();
  const std::vector<uint8_t> fw = firmware();
  put_firmware(fw);
  const fs::path bin = dir / "bin";
  fs::create_directory(bin);
  fs::copy_file(TIDEWRITE_BIN, bin / "tidewrite");
  fs::rename(dir / "flash_control_info.bin", bin / "flash_control_info.bin");
  ts::write_file(bin / "flash_loader_nand.bin", fwbuild::pattern(5000, 9));  // no NOR loader anywhere
  std::vector<std::string> args = nand_args();
  args.push_back("-U");
  const ts::ProcessResult r = run(args, bin / "tidewrite");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(board->stats().loader_running);
  std::string want = write_lines(fw.size());
  const std::string exe = (bin / "flash_control_info.bin").string();
  const std::string search = "read_fw_file : flash_control_info.bin open fail\n\r"
                             "read flash_control_info.bin return NULL fw_buf, use default !!!\n\r"
                             "exe path " + exe + "\n\r";
  want.insert(want.find("crc = 0x?"), search);
  EXPECT_TRUE(mask_crc(strip_progress(r.out)).ends_with(want)) << ts::escaped(r.out);
  expect_image_on_flash(*board, fw, cert, {24});
  const std::vector<uint8_t> p0 = page(0);
  EXPECT_TRUE(std::equal(control_info.begin(), control_info.begin() + 2048, p0.begin()));
}

// A program path too long for the 1024-byte path buffer is refused, never cut.
TEST_F(NandProgram, OverlongProgramPathIsRefused) {
  start();
  put_firmware(firmware());
  fs::remove(dir / "flash_control_info.bin");
  fs::path deep = dir.path();
  for (char c : std::string("abcdef")) deep /= std::string(200, c);
  fs::create_directories(deep);
  fs::copy_file(TIDEWRITE_BIN, deep / "tidewrite");
  ts::write_file(deep / "flash_control_info.bin", control_info);
  const ts::ProcessResult r = run(nand_args(), deep / "tidewrite");
  EXPECT_EQ(r.status, 253);
  EXPECT_TRUE(r.out.ends_with("read flash_control_info.bin return NULL fw_buf, use default !!!\n\r"
                              "read flash_control_info.bin return NULL fw_buf, goto exit !!!\n\r"
                              "nand download fail\r"))
      << ts::escaped(r.out);
  EXPECT_NE(r.err.find("longer than 1024 bytes"), std::string::npos) << r.err;
  EXPECT_EQ(board->stats().transfers, 0);
}

TEST_F(NandProgram, NorBoardTurnsTheRunIntoANorDownload) {
  cfg.flash = boardsim::FlashKind::nor;
  start();
  const std::vector<uint8_t> fw = firmware();
  put_firmware(fw);
  std::vector<std::string> args = nand_args();
  args.push_back("-r");
  const ts::ProcessResult r = run(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("Lira nand"), std::string::npos) << ts::escaped(r.out);
  EXPECT_TRUE(r.out.ends_with("upload success\r")) << ts::escaped(r.out);
  EXPECT_EQ(board->read_flash(0, fw.size()), fw);
}

TEST_F(NandProgram, SilentBoardFailsTheHandshake) {
  cfg.faults.silent_after_commands = 0;
  start();
  put_firmware(firmware());
  const ts::ProcessResult r = run(nand_args());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(ts::escaped(r.out), ts::escaped(board->slave_path() +
                                            " opened\n\rping fail \n\rping retry fail \n\rnand download fail\r"));
  EXPECT_LT(r.seconds, 15.0);
}

// The board answers the flash-type query, ping and ucfg, then nothing: the
// chip ID query gets no reply, and the run ends there as a lost link instead
// of going on to wait out every later command.
TEST_F(NandProgram, BoardSilentAfterTheHandshakeEndsAtTheChipId) {
  cfg.faults.silent_after_commands = 3;
  start();
  put_firmware(firmware());
  const ts::ProcessResult r = run(nand_args());
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(ts::escaped(r.out), ts::escaped(board->slave_path() + " opened\n\rnand download fail\r"));
  EXPECT_NE(r.err.find("nand_download: 0 of 3 chip ID bytes arrived: the board stopped answering, nothing written\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(board->stats().commands, 4);  // hashq, ping, ucfg, and the unanswered snb
  EXPECT_LT(r.seconds, 20.0);
}

// A dump file that cannot take the dump is refused before the flash-type
// probe opens the port (and resets the board).
TEST_F(NandProgram, DumpIntoAFifoIsRefusedBeforeThePortOpens) {
  start();
  put_firmware(firmware());
  ASSERT_EQ(mkfifo((dir / "flash_log.bin").c_str(), 0600), 0);
  std::vector<std::string> args = nand_args();
  for (const char *a : {"-o", "0", "0"}) args.push_back(a);
  const ts::ProcessResult r = run(args);
  EXPECT_EQ(r.status, 250);
  EXPECT_EQ(ts::escaped(r.out), ts::escaped("nop fail\r"));
  EXPECT_EQ(r.err, "tidewrite: flash_log.bin: a FIFO, not a regular file; the dump cannot be written, nothing done\n");
  EXPECT_EQ(board->stats().opens, 0);
  EXPECT_LT(r.seconds, 5.0);
}

}  // namespace
