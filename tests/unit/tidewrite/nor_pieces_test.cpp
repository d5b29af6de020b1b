// The split of a NOR image around the masked area, as a table: which file
// ranges go out, what is refused, and that no piece ever reaches outside the
// file, even with offsets and bounds at the ends of the int range.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "tidewrite/nor_ops.h"
#include "tidewrite/options.h"

namespace {

struct Case {
  const char *name;
  int offset, len, mstart, mend, chip;
  int rc;
  int cnt, start0, size0, start1, size1;
  const char *out;
};

const char *kSizeError = "ERROR: please check masked area, image offset and firmware size\n\r";

const Case kCases[] = {
    {"no masked area", 0x1000, 0x5000, 0, 0, 0, 0, 1, 0, 0x5000, 0, 0, ""},
    {"masked start 0 means none", 0x0, 0x5000, 0, 0x10000, 0, 0, 1, 0, 0x5000, 0, 0, ""},
    {"masked end 0 means none", 0x0, 0x5000, 0x1000, 0, 0, 0, 1, 0, 0x5000, 0, 0, ""},
    {"q5 skips the masked area", 0x0, 0x200000, 0x100000, 0x180000, 1, 0, 1, 0, 0x200000, 0, 0, ""},
    {"lrm skips the masked area", 0x0, 0x200000, 0x100000, 0x180000, 2, 0, 1, 0, 0x200000, 0, 0, ""},
    {"two pieces", 0x0, 0x200000, 0x100000, 0x180000, 0, 0, 2, 0, 0x100000, 0x180000, 0x80000, ""},
    {"starts inside", 0x110000, 0x100000, 0x100000, 0x180000, 0, 0, 1, 0x70000, 0x90000, 0, 0, ""},
    {"starts at the masked start", 0x100000, 0x100000, 0x100000, 0x180000, 0, 0, 1, 0x80000, 0x80000, 0, 0, ""},
    {"wholly after", 0x200000, 0x1000, 0x100000, 0x180000, 0, 0, 1, 0, 0x1000, 0, 0, ""},
    {"wholly before", 0x0, 0x80000, 0x100000, 0x180000, 0, 0, 1, 0, 0x80000, 0, 0, ""},
    {"ends at the masked start", 0x0, 0x100000, 0x100000, 0x180000, 0, 0, 1, 0, 0x100000, 0, 0, ""},
    {"ends at the masked end", 0x0, 0x180000, 0x100000, 0x180000, 0, 0, 2, 0, 0x100000, 0x180000, 0, ""},
    {"ends inside", 0x0, 0x120000, 0x100000, 0x180000, 0, -5, 0, 0, 0, 0, 0, kSizeError},
    {"inside entirely", 0x110000, 0x1000, 0x100000, 0x180000, 0, -5, 0, 0, 0, 0, 0, kSizeError},
    {"start equals end", 0x0, 0x1000, 0x100000, 0x100000, 0, -4, 0, 0, 0, 0, 0, "ERROR: wrong masked area"},
    {"start above end", 0x0, 0x1000, 0x180000, 0x100000, 0, -4, 0, 0, 0, 0, 0, "ERROR: wrong masked area"},
    // Near the top of the int range the differences still come out right.
    {"near INT_MAX", 0x7FFFF000, 0x2000, 0x7FFFF800, INT_MAX, 0, 0, 2, 0, 0x800, 0xFFF, 0x1001, ""},
    {"negative offset before the area", INT_MIN, 0x1000, 0x100000, 0x180000, 0, 0, 1, 0, 0x1000, 0, 0, ""},
    {"negative offset, huge image reach", -0x1000, 0x200000, 0x100000, 0x180000, 0, 0, 2, 0, 0x101000, 0x181000,
     0x7F000, ""},
    {"empty image", 0x0, 0, 0x100000, 0x180000, 0, 0, 1, 0, 0, 0, 0, ""},
};

TEST(NorPieces, Table) {
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    reset_option_globals();
    g_cmd_option.img_offset = c.offset;
    g_cmd_option.masked_start = c.mstart;
    g_cmd_option.masked_end = c.mend;
    g_cmd_option.enter_download = c.chip;
    nor_pieces p{};
    testing::internal::CaptureStdout();
    const int rc = nor_split_pieces(c.len, &p);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(out, c.out);
    if (rc != 0) continue;
    EXPECT_EQ(p.piece_cnt, c.cnt);
    EXPECT_EQ(p.piece_start[0], c.start0);
    EXPECT_EQ(p.piece_size[0], c.size0);
    if (c.cnt == 2) {
      EXPECT_EQ(p.piece_start[1], c.start1);
      EXPECT_EQ(p.piece_size[1], c.size1);
    }
    for (int i = 0; i < p.piece_cnt; ++i) {
      EXPECT_GE(p.piece_start[i], 0);
      EXPECT_GE(p.piece_size[i], 0);
      EXPECT_LE(static_cast<long long>(p.piece_start[i]) + p.piece_size[i], c.len) << "piece " << i;
    }
  }
}

}  // namespace
