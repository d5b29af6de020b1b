// Where the control information comes from and what a short or empty file
// does: found in the current directory, else beside the program; a short file
// is padded with 0xFF, an empty or missing one stops the run before anything
// is written.
#include <gtest/gtest.h>

#include "tests/e2e/nand_fixture.h"

namespace {

using namespace nandtest;

class ControlInfo : public NandBoardTest {
 protected:
  void SetUp() override {
    NandBoardTest::SetUp();
    // One small section inside the 0x3000 bytes: something to write.
    fwbuild::FirmwareBuilder fb;
    fb.section(fwbuild::certificate_1, 0x2800, 0x40, fwbuild::pattern(0x40, 1));
    put_firmware(fb.bytes());
  }
  // The same name beside this test program (the running executable).
  static std::string beside_program() {
    return (fs::read_symlink("/proc/self/exe").parent_path() / "flash_control_info.bin").string();
  }
};

TEST_F(ControlInfo, MissingEverywhereStopsBeforeAnythingIsWritten) {
  ASSERT_FALSE(fs::exists(beside_program()));
  fs::remove(dir / "flash_control_info.bin");
  start();
  const Run run = download();
  EXPECT_EQ(run.status, -3);
  const std::string exe = beside_program();
  EXPECT_EQ(ts::escaped(run.raw),
            ts::escaped(opening("fw.bin", 0x3000) + "Lira nand flash normal write\n\r"
                        "read_fw_file : flash_control_info.bin open fail\n\r"
                        "read flash_control_info.bin return NULL fw_buf, use default !!!\n\r"
                        "exe path " + exe + "\n\r"
                        "read_fw_file : " + exe + " open fail\n\r"
                        "read " + exe + " return NULL fw_buf, goto exit !!!\n\r"));
  EXPECT_EQ(board->stats().transfers, 0);
}

TEST_F(ControlInfo, EmptyFileIsRefused) {
  ts::write_file(dir / "flash_control_info.bin", {});
  start();
  const Run run = download();
  EXPECT_EQ(run.status, -3);
  EXPECT_TRUE(run.raw.ends_with("Lira nand flash normal write\n\r"
                                "flash_control_info.bin is empty, control information missing !!!\n\r"))
      << ts::escaped(run.raw);
  EXPECT_EQ(board->stats().transfers, 0);
}

TEST_F(ControlInfo, ShortFileIsPaddedWithErasedBytes) {
  const std::vector<uint8_t> one_page(control_info.begin(), control_info.begin() + 2048 + 10);
  ts::write_file(dir / "flash_control_info.bin", one_page);
  start();
  testing::internal::CaptureStderr();
  const Run run = download();
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(err.find("warning: flash_control_info.bin holds 2058 bytes"), std::string::npos) << err;
  const auto crc = static_cast<uint16_t>(crc16(one_page.data(), 2048));
  for (int b = 0; b < 2; ++b) {
    const std::vector<uint8_t> p0 = page(b, 0);
    const std::vector<uint8_t> p1 = page(b, 1);
    EXPECT_TRUE(std::equal(one_page.begin(), one_page.begin() + 2048, p0.begin()));
    EXPECT_TRUE(std::equal(one_page.begin() + 2048, one_page.end(), p1.begin()));
    EXPECT_TRUE(all_ff(p1.data() + 10, 2038));
    const uint8_t spare[4] = {0xFF, 0xD0, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)};
    EXPECT_EQ(0, memcmp(p0.data() + 2048, spare, 4));
    EXPECT_EQ(0, memcmp(p1.data() + 2048, spare, 4));
  }
}

}  // namespace
