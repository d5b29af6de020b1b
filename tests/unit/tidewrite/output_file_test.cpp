// The output files of the programmer (dump, offline image): regular files
// only, never a blocking open, and a failed append taken back.
#include "tidewrite/output_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/support/test_support.h"
#include "tidewrite/main_flow.h"

namespace {

using testsupport::TempDir;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct NotRegular {
  const char *name;
  std::function<void(const fs::path &)> make;
  const char *reason;
};

const NotRegular kNotRegular[] = {
    {"directory", [](const fs::path &p) { fs::create_directory(p); }, "a directory, not a regular file"},
    {"FIFO", [](const fs::path &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, "a FIFO, not a regular file"},
    {"character device", [](const fs::path &p) { fs::create_symlink("/dev/null", p); },
     "a character device, not a regular file"},
};

// Each kind is refused by the check and by the writers, and nothing reaches
// it: a reader on the FIFO would receive whatever a careless open let through.
TEST(OutputFile, AnythingButARegularFileIsRefused) {
  TempDir dir;
  const fs::path p = dir / "out.bin";
  const uint8_t data[] = {1, 2, 3};
  for (const NotRegular &c : kNotRegular) {
    SCOPED_TRACE(c.name);
    c.make(p);
    const int reader = fs::is_fifo(p) ? open(p.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    EXPECT_EQ(output_file_refusal(p.c_str()), c.reason);
    output_file out;
    std::string why;
    EXPECT_FALSE(out.open(p.c_str(), why));
    EXPECT_EQ(why, c.reason);
    EXPECT_EQ(write_fw_file(p.c_str(), data, 3), -1);
    if (reader >= 0) {
      char byte;
      EXPECT_EQ(read(reader, &byte, 1), 0);
      close(reader);
    }
    fs::remove(p);
  }
}

TEST(OutputFile, RegularFileOrNewNameOrLinkToARegularFileIsTaken) {
  TempDir dir;
  EXPECT_EQ(output_file_refusal((dir / "new.bin").c_str()), "");
  testsupport::write_file(dir / "real.bin", {9});
  fs::create_symlink(dir / "real.bin", dir / "link.bin");
  EXPECT_EQ(output_file_refusal((dir / "link.bin").c_str()), "");
  const uint8_t data[] = {1, 2};
  EXPECT_EQ(write_fw_file((dir / "link.bin").c_str(), data, 2), 0);
  EXPECT_EQ(testsupport::read_file(dir / "real.bin"), (Bytes{9, 1, 2}));
  // A name in a folder that does not exist passes the check; the open says why it fails.
  output_file out;
  std::string why;
  EXPECT_FALSE(out.open((dir / "no-dir" / "x.bin").c_str(), why));
  EXPECT_EQ(why, "No such file or directory");
  EXPECT_EQ(output_file_refusal(""), "no file name");
}

// take_back returns an existing file to its length before open, and removes
// a file that open created.
TEST(OutputFile, TakeBackRestoresTheEarlierFile) {
  TempDir dir;
  const uint8_t data[] = {4, 5, 6, 7};
  std::string why;
  testsupport::write_file(dir / "old.bin", {1, 2});
  {
    output_file out;
    ASSERT_TRUE(out.open((dir / "old.bin").c_str(), why)) << why;
    ASSERT_TRUE(out.append(data, 4, why)) << why;
    out.take_back();
  }
  EXPECT_EQ(testsupport::read_file(dir / "old.bin"), (Bytes{1, 2}));
  {
    output_file out;
    ASSERT_TRUE(out.open((dir / "fresh.bin").c_str(), why)) << why;
    ASSERT_TRUE(out.append(data, 4, why) && out.sync(why)) << why;
    out.take_back();
  }
  EXPECT_FALSE(fs::exists(dir / "fresh.bin"));
  {
    output_file out;
    ASSERT_TRUE(out.open((dir / "old.bin").c_str(), why)) << why;
    ASSERT_TRUE(out.append(data, 4, why) && out.sync(why) && out.close(why)) << why;
  }
  EXPECT_EQ(testsupport::read_file(dir / "old.bin"), (Bytes{1, 2, 4, 5, 6, 7}));
}

}  // namespace
