// The progress line of whole runs: on a terminal as standard error it
// appears and ends with one line feed while standard output keeps its bytes;
// on a pipe nothing at all is drawn. In-process runs (with the terminal
// check answered yes) show the flash loader and the dump steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "tests/e2e/nand_fixture.h"
#include "tests/e2e/nor_fixture.h"
#include "tests/support/pty_pair.h"
#include "tidewrite/progress.h"

namespace {

using nortest::hash_pass_lines;
using nortest::NorBoard;
using nortest::random_bytes;
using testsupport::escaped;
using testsupport::TempDir;
namespace fs = std::filesystem;

// Answers yes to the terminal check, with the real clock.
bool yes() { return true; }
progress_clock::time_point real_now() { return progress_clock::now(); }
const progress_hooks kTerminal{yes, real_now};

// One line that counted from 0 to total and ended with a single line feed.
void expect_whole_step(const std::string &err, const std::string &what, const std::string &unit, int total) {
  const std::string start = "\r" + what + " 0/" + std::to_string(total) + " " + unit + "   0%";
  EXPECT_NE(err.find(start), std::string::npos) << escaped(err);
  const std::regex last("\\r" + what + " " + std::to_string(total) + "/" + std::to_string(total) + " " + unit +
                        " 100% [0-9.]+ [A-Za-z/]+ in \\d+:\\d\\d *\\n");
  EXPECT_TRUE(std::regex_search(err, last)) << escaped(err);
}

class ProgressRun : public testing::Test {
 protected:
  TempDir dir;
  fs::path image_path = dir / "image.bin";
  // Two pieces around the masked area, each compared: 0x10000 + 0x8000 bytes.
  std::vector<uint8_t> img = random_bytes(0x20000, 21);
  void SetUp() override { testsupport::write_file(image_path, img); }
  std::vector<std::string> args(const NorBoard &board) const {
    return {TIDEWRITE_BIN, "-p", board.port(), "-f", image_path.string(), "-b", "1500000",
            "-m", "0x10000", "0x18000", "-v", "lira", "-r"};
  }
  std::string expected_out() const {
    return hash_pass_lines(img.data(), 0x10000) + hash_pass_lines(img.data() + 0x18000, 0x8000) +
           "upload success\r";
  }
};

TEST_F(ProgressRun, DrawnOnATerminalWithStdoutUnchanged) {
  boardsim::BoardConfig cfg;
  cfg.paced = true;  // about 0.7 s on the line, so the line is redrawn on the way
  NorBoard board(dir.path(), cfg);
  testsupport::PtyPair terminal;
  testsupport::ProcessOptions opts;
  opts.stderr_fd = terminal.slave();
  const auto r = testsupport::run_process(args(board), opts);
  const std::string err = testsupport::read_for(terminal.master(), 300);

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(escaped(r.out), escaped(expected_out()));
  EXPECT_EQ(board.flash(0, 0x10000), nortest::slice(img, 0, 0x10000));
  expect_whole_step(err, "upload", "bytes", 0x18000);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << escaped(err);
  EXPECT_TRUE(err.ends_with("\n")) << escaped(err);
  // Wiped while the first piece's comparison printed its lines.
  EXPECT_NE(err.find("\r" + std::string(10, ' ')), std::string::npos) << escaped(err);
  const auto redraws = std::count(err.begin(), err.end(), '\r');
  EXPECT_GE(redraws, 4);  // the first line, a redraw on the way, the wipe, the last line
  EXPECT_LE(redraws, 10 * r.seconds + 4) << escaped(err);
}

TEST_F(ProgressRun, NothingDrawnOnAPipe) {
  NorBoard board(dir.path());
  const auto r = testsupport::run_process(args(board));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(escaped(r.out), escaped(expected_out()));
  EXPECT_EQ(r.err, "");
}

// The loader and the download that follows it: two steps, one after the other.
TEST_F(ProgressRun, FlashLoaderThenUpload) {
  NorBoard board(dir.path());
  testsupport::ScopedCwd cwd(dir.path());
  testsupport::write_file(dir / "flash_loader_nor.bin", random_bytes(3000, 22));
  progress_set_hooks(&kTerminal);
  const auto r = nortest::run_in_process({"-p", board.port(), "-f", image_path.string(), "-b", "1500000", "-U", "-r"});
  progress_set_hooks(nullptr);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(escaped(r.out), escaped("upload success\r"));
  expect_whole_step(r.err, "flash loader", "bytes", 3000);
  expect_whole_step(r.err, "upload", "bytes", 0x20000);
  EXPECT_LT(r.err.find("\n"), r.err.find("\rupload")) << escaped(r.err);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << escaped(r.err);
}

class DumpProgress : public nandtest::NandBoardTest {};

TEST_F(DumpProgress, PagesOfTheDump) {
  // One small section: an empty firmware is refused before the dump.
  fwbuild::FirmwareBuilder fb;
  fb.section(fwbuild::certificate_1, 0x3000, 0x40, fwbuild::pattern(0x40, 1));
  put_firmware(fb.bytes());
  start();
  lira_nand_dump = 1;
  block_os = 2;
  block_e = 3;
  progress_set_hooks(&kTerminal);
  testing::internal::CaptureStderr();
  const Run run = download();
  const std::string err = testing::internal::GetCapturedStderr();
  progress_set_hooks(nullptr);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(run.out.ends_with("Dump flash_log.bin\n\r")) << escaped(run.out);
  expect_whole_step(err, "dump", "pages", 128);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << escaped(err);
}

}  // namespace
