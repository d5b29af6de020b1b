// The flash store: cheap fresh stores, lazy erase fill, existing files.
#include "boardsim/flash_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "boardsim/board.h"
#include "tests/support/test_support.h"

namespace {

using namespace boardsim;
using Bytes = std::vector<uint8_t>;
using testsupport::TempDir;

// Whole file in one read (the 132 MiB stores make byte-wise reading slow).
Bytes slurp(const std::string &path) {
  Bytes b(std::filesystem::file_size(path));
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f != nullptr) {
    b.resize(std::fread(b.data(), 1, b.size(), f));
    std::fclose(f);
  }
  return b;
}

uint64_t allocated(const std::string &path) {
  struct stat st{};
  stat(path.c_str(), &st);
  return uint64_t(st.st_blocks) * 512;
}

TEST(FlashStore, FreshNandIsSparseErasedAndCompletedOnRequest) {
  TempDir tmp;
  std::string path = (tmp / "nand.bin").string();
  {
    FlashStore s(path, kNandRawSize, kNandBlockRaw, false);
    EXPECT_EQ(s.read(0, 4), Bytes(4, 0xFF));
    EXPECT_EQ(s.read(kNandRawSize - 2, 4), Bytes(2, 0xFF));  // clipped at the end
    s.write(kNandBlockRaw * 24 + 5, Bytes{1, 2, 3});
    EXPECT_LT(allocated(path), 2u * 1024 * 1024);  // one block filled, not 132 MiB
    EXPECT_EQ(s.read(kNandBlockRaw * 24, 9), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 0xFF}));
    s.complete();
  }
  Bytes file = slurp(path);
  ASSERT_EQ(file.size(), kNandRawSize);
  EXPECT_EQ(std::count(file.begin(), file.end(), 0xFF), std::ptrdiff_t(kNandRawSize - 3));
  EXPECT_EQ(file[kNandBlockRaw * 24 + 6], 2);
}

TEST(FlashStore, ExistingImageIsTheFlash) {
  TempDir tmp;
  std::string path = (tmp / "image.bin").string();
  {
    FlashStore s(path, kNandRawSize, kNandBlockRaw, false);
    s.fill(0, kNandRawSize, 0x00);
    s.write(kNandPageRaw * 7, Bytes{0xAB});
  }
  FlashStore again(path, kNandRawSize, kNandBlockRaw, false);
  EXPECT_EQ(again.read(kNandPageRaw * 7 - 1, 2), (Bytes{0x00, 0xAB}));
}

TEST(FlashStore, UncompletedStoreIsUsableAgain) {
  TempDir tmp;
  std::string path = (tmp / "nand.bin").string();
  {
    FlashStore s(path, kNandRawSize, kNandBlockRaw, false);
    s.write(kNandBlockRaw * 3 + 1, Bytes{0x00});
  }  // not completed: every other block is a hole
  FlashStore again(path, kNandRawSize, kNandBlockRaw, false);
  EXPECT_EQ(again.read(kNandBlockRaw * 3, 2), (Bytes{0xFF, 0x00}));
  EXPECT_EQ(again.read(0, 2), Bytes(2, 0xFF));
  EXPECT_EQ(again.read(kNandRawSize - 1, 1), Bytes{0xFF});
}

TEST(FlashStore, NandFileOfAnotherSizeIsRefused) {
  TempDir tmp;
  testsupport::write_file(tmp / "short.bin", Bytes(1000, 0));
  EXPECT_THROW(FlashStore((tmp / "short.bin").string(), kNandRawSize, kNandBlockRaw, false),
               std::runtime_error);
}

TEST(FlashStore, ShorterNorFileReadsErasedBeyondItsEnd) {
  TempDir tmp;
  testsupport::write_file(tmp / "nor.bin", Bytes(70000, 0x12));
  {
    FlashStore s((tmp / "nor.bin").string(), 1 << 20, 65536, true);
    EXPECT_EQ(s.read(69999, 2), (Bytes{0x12, 0xFF}));
    EXPECT_EQ(s.read(200000, 1), Bytes{0xFF});
    s.complete();
  }
  Bytes file = testsupport::read_file(tmp / "nor.bin");
  ASSERT_EQ(file.size(), 1u << 20);
  EXPECT_EQ(file[69999], 0x12);
  EXPECT_EQ(file[70000], 0xFF);
  EXPECT_EQ(file.back(), 0xFF);
}

TEST(FlashStore, AndModeClearsBitsOnly) {
  TempDir tmp;
  FlashStore s((tmp / "nor.bin").string(), 65536, 65536, true);
  s.write(0, Bytes{0x0F});
  s.write(0, Bytes{0x3C}, true);
  EXPECT_EQ(s.read(0, 1), Bytes{0x0C});
}

}  // namespace
