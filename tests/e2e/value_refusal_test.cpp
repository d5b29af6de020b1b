// Unsafe values end the run before the port is opened: the board never hears
// of the run, and its flash (the boot area at 0 above all) stays as it was.
#include <gtest/gtest.h>

#include "tests/e2e/nor_fixture.h"

namespace nortest {
namespace {

TEST(ValueRefusal, RefusedBeforeThePortIsOpened) {
  TempDir dir;
  const auto img = random_bytes(5000, 12);
  const std::string image = (dir / "image.bin").string();
  testsupport::write_file(image, img);
  const std::string rates =
      "115200, 500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000";
  const struct {
    std::vector<std::string> args;
    std::string out;
    std::string err;
  } cases[] = {
      {{"-s", "0x100000000"}, "0x100000000 is out of range\n\r", ""},
      {{"-s", "0x80000000"}, "0x80000000 is out of range\n\r", ""},
      {{"-m", "0x1", "0x1ffffffff"}, "0x1ffffffff is out of range\n\r", ""},
      {{"-e", "0x0", "0x100000000"}, "0x100000000 is out of range\n\r", ""},
      {{"-b", "99999999999"}, "99999999999 is out of range\n\r", ""},
      {{"-b", "123456"}, "", "baud rate 123456 is not supported; use one of " + rates + "\n"},
      {{"-b", "9600", "-n", "lira", "-U"}, "", "baud rate 9600 is not supported; use one of " + rates + "\n"},
  };
  const auto before = random_bytes(0x2000, 13);
  NorBoard board(dir.path(), {}, before);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    std::vector<std::string> args = {"-p", board.port(), "-f", image, "-b", "1500000", "-r"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = run_in_process(args);
    EXPECT_EQ(r.status, -1);
    EXPECT_OUT(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(board.stats().opens, 0);
  EXPECT_EQ(board.flash(0, before.size()), before);
}

// The rate is not used by an erase: a rate outside the table does not stop it.
TEST(ValueRefusal, RateOutsideTheTableWithAnEraseIsAccepted) {
  TempDir dir;
  NorBoard board(dir.path(), {}, random_bytes(0x1000, 14));
  const auto r = run_in_process({"-p", board.port(), "-b", "123456", "-e", "chip"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_OUT(r.out, "erase success\r");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(board.flash(0, 0x1000), std::vector<uint8_t>(0x1000, 0xFF));
}

}  // namespace
}  // namespace nortest
