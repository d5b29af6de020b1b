// A board that stops answering, and the image writer at the end of the device.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/e2e/nand_fixture.h"
#include "tidewrite/dialogue.h"
#include "tidewrite/xmodem_r.h"

namespace {

using namespace nandtest;
using fwbuild::FirmwareBuilder;

class Link : public NandBoardTest {};

// Silence begins with the first image block command: the transfer's start
// budget runs out, the read-back finds nothing, and the flow ends without
// marking any block bad.
TEST_F(Link, BoardFallingSilentMidWriteEndsTheRunWithoutMarkingBlocks) {
  FirmwareBuilder fb;
  fb.section(fwbuild::isp_iq, 0x3000, 0x30000, fwbuild::pattern(0x30000, 1));
  put_firmware(fb.bytes());
  // The command lines a scratch board receives before the first image block
  // (block 24, raw offset 0x318000).
  int before_sections = 0;
  {
    cfg.transcript_path = (dir / "transcript.txt").string();
    start();
    ASSERT_EQ(download().status, 0);
    board.reset();
    const std::string t = ts::read_text(dir / "transcript.txt");
    const size_t first_block = t.find("rx \"sfwd 0 0 0x318000\"");
    ASSERT_NE(first_block, std::string::npos);
    for (size_t at = t.find("rx \""); at < first_block; at = t.find("rx \"", at + 1)) ++before_sections;
    fs::remove(dir / "nand.bin");
    cfg.transcript_path.clear();
  }
  cfg.faults.silent_after_commands = before_sections;
  start();
  const auto t0 = std::chrono::steady_clock::now();
  const Run run = download();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(run.status, -3);
  EXPECT_LT(seconds, 30.0);
  EXPECT_EQ(run.out.find("write fail!"), std::string::npos) << ts::escaped(run.out);
  EXPECT_NE(run.out.find("ISP IQ Data str_address = 0x3000, fw_w_len = 196608\n\r"
                         "fw_len = 196608 , block_w_total = 2, rec_w_total = 1\n\r"
                         "sfwd fail,tx_ret = -2 \n\r"),
            std::string::npos)
      << ts::escaped(run.out);
  for (int b = 0; b < 64; ++b) EXPECT_FALSE(marked_bad(b)) << b;
}

TEST_F(Link, ImageWriterStopsAtTheEndOfTheDevice) {
  start();
  g_uart_hdl = uart_open(g_cmd_option.port);
  ASSERT_NE(g_uart_hdl, 0);
  ASSERT_EQ(handshake(g_uart_hdl), 0);
  xmodem_set_uart(g_uart_hdl, uart_write, uart_read);
  block_w_nmb = 1023;
  const std::vector<uint8_t> img = fwbuild::pattern(131072 + 1, 4);
  testing::internal::CaptureStdout();
  const int r = nand_load_image_block(g_uart_hdl, img.data(), static_cast<int>(img.size()), type_id_firmware_1);
  const std::string out = strip_progress(testing::internal::GetCapturedStdout());
  EXPECT_EQ(r, image_cursor_past_end);
  EXPECT_EQ(ts::escaped(out), ts::escaped("fw_len = 131073 , block_w_total = 2, rec_w_total = 1\n\r"
                                          "block_w_total=2 , block_w_done=0 , block_w_nmb=1023  \n\r"
                                          "Error block_w_nmb>block_nmb 1024\n\r"));
  const std::vector<uint8_t> p0 = page(1023);
  EXPECT_TRUE(std::equal(img.begin(), img.begin() + 2048, p0.begin()));
  EXPECT_EQ(p0[2049], 0xC7);
  for (int b = 16; b < 24; ++b) EXPECT_TRUE(block_erased(b)) << "no record reaches the table";
}

}  // namespace
