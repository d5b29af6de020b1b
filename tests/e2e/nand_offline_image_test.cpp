// tidewrite -G end to end: the raw NAND image written offline for mass
// production, checked byte for byte in the file, and the runs that must fail
// without leaving an image behind. The port named on the command line never
// exists: a run that tried to open it would say so.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<uint8_t>;

constexpr int kPageData = 2048;
constexpr int kPageRaw = 2112;
constexpr int kBlockRaw = 64 * kPageRaw;
constexpr int64_t kImageSize = int64_t{kBlockRaw} * 1024;  // 138,412,032
constexpr int kBlockData = 64 * kPageData;                // 131,072 image bytes per block
const char *kImage = "flash_nand_generate_image.bin";
const char *kNoPort = "/dev/tidewrite-no-such-port";

// CRC-16/ARC, written here from its definition so that the tool's own routine
// is not the reference; pinned by the published check value below.
uint16_t arc_crc(const uint8_t *p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

TEST(ArcCrcReference, PublishedCheckValue) {
  const std::string s = "123456789";
  EXPECT_EQ(arc_crc(reinterpret_cast<const uint8_t *>(s.data()), s.size()), 0xBB3D);
}

void put_le16(Bytes &b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put_le32(Bytes &b, size_t at, uint32_t v) {
  put_le16(b, at, v);
  put_le16(b, at + 2, v >> 16);
}

// A firmware file: 0xFF everywhere but the entries and sections put in.
struct Firmware {
  Bytes bytes = Bytes(0x10000, 0xFF);

  void entry(size_t at, uint32_t start, uint32_t len, uint8_t id0, uint8_t id1, uint8_t present = 1) {
    put_le32(bytes, at, start);
    put_le32(bytes, at + 4, len);
    bytes[at + 8] = id0;
    bytes[at + 9] = id1;
    bytes[at + 15] = present;
  }
  void put(size_t at, const Bytes &data) {
    if (bytes.size() < at + data.size()) bytes.resize(at + data.size(), 0xFF);
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<long>(at));
  }
};

Bytes pattern(size_t len, uint8_t seed);

// A firmware with one small section to write (an "other" entry of 10 bytes),
// for the runs about everything else.
Firmware one_section() {
  Firmware fw;
  fw.entry(0x2100, 0x10000, 10, 0x31, 0x32);
  fw.put(0x10000, pattern(10, 9));
  return fw;
}

// A boot/firmware image of total length len: "QMZ", no slot flag, body length len - 0x1000.
Bytes qmz_image(size_t len, uint8_t seed) {
  Bytes img(len);
  for (size_t i = 0; i < len; ++i) img[i] = static_cast<uint8_t>(i * 13 + seed);
  img[0] = 'Q';
  img[1] = 'M';
  img[2] = 'Z';
  for (size_t s = 0x20; s <= 0x100; s += 0x20) img[s] = img[s + 1] = 0;
  put_le32(img, 0x2E0, static_cast<uint32_t>(len - 0x1000));
  return img;
}

Bytes pattern(size_t len, uint8_t seed) {
  Bytes b(len);
  for (size_t i = 0; i < len; ++i) b[i] = static_cast<uint8_t>((i * 7 + seed) ^ (i >> 11));
  return b;
}

Bytes control_info() { return pattern(4096, 0x31); }

// Reads a byte range of a big file without loading the whole of it.
Bytes read_range(const fs::path &p, int64_t offset, size_t len) {
  std::ifstream in(p, std::ios::binary);
  in.seekg(offset);
  Bytes b(len);
  in.read(reinterpret_cast<char *>(b.data()), static_cast<std::streamsize>(len));
  b.resize(static_cast<size_t>(in.gcount()));
  return b;
}
Bytes raw_block(const fs::path &p, int block) { return read_range(p, int64_t{block} * kBlockRaw, kBlockRaw); }

// What the writer puts in one block for image block n of img: 64 pages of
// data (0xFF past the end) with spare 0xFF, id0, 0xFF...; pages past the
// image's last page all 0xFF.
Bytes expected_block(const Bytes &img, int n, uint8_t id0) {
  Bytes blk(kBlockRaw, 0xFF);
  const size_t pages = (img.size() + kPageData - 1) / kPageData;
  for (int j = 0; j < 64; ++j) {
    const size_t page = size_t(n) * 64 + j;
    if (page >= pages) break;
    const size_t from = page * kPageData;
    const size_t len = std::min<size_t>(kPageData, img.size() - from);
    std::copy_n(img.begin() + static_cast<long>(from), len, blk.begin() + j * kPageRaw);
    blk[j * kPageRaw + kPageData + 1] = id0;
  }
  return blk;
}

// A partition table page (2112 bytes) holding one record per image given.
struct Rec {
  uint8_t id0, id1;
  int total, index;
  std::vector<int> blocks;
};
Bytes table_page(const std::vector<Rec> &recs) {
  Bytes page(kPageRaw, 0xFF);
  for (size_t r = 0; r < recs.size(); ++r) {
    const size_t at = r * 128;
    page[at + 0] = 0x87;  // magic 0xFF35FF87
    page[at + 1] = 0xFF;
    page[at + 2] = 0x35;
    page[at + 3] = 0xFF;
    page[at + 4] = recs[r].id0;  // type id as in the entry
    page[at + 5] = recs[r].id1;
    put_le16(page, at + 6, recs[r].total);  // blocks of the whole image
    put_le16(page, at + 8, recs[r].index);  // record index within the image
    for (size_t i = 0; i < recs[r].blocks.size(); ++i) put_le16(page, at + 32 + 2 * i, recs[r].blocks[i]);
  }
  const uint16_t crc = arc_crc(page.data(), kPageData);
  page[kPageData + 1] = 0xC4;
  page[kPageData + 2] = static_cast<uint8_t>(crc);
  page[kPageData + 3] = static_cast<uint8_t>(crc >> 8);
  return page;
}

// The end of a long console output, printable, for failure messages.
std::string brief(const std::string &out) {
  const size_t keep = 3000;
  return escaped(out.size() > keep ? "..." + out.substr(out.size() - keep) : out);
}

std::string hex(unsigned v) {
  char b[16];
  snprintf(b, sizeof b, "%x", v);
  return b;
}

class OfflineImage : public ::testing::Test {
 protected:
  TempDir dir;

  void SetUp() override { write_file(dir / "flash_control_info.bin", control_info()); }

  ProcessResult generate(std::vector<std::string> extra = {}, const std::string &fw = "fw.bin",
                         const std::string &program = TIDEWRITE_BIN) {
    std::vector<std::string> argv = {program, "-p", kNoPort, "-f", fw, "-b", "115200"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back("-G");
    ProcessOptions opts;
    opts.cwd = dir.path();
    opts.timeout = std::chrono::seconds(120);
    return run_process(argv, opts);
  }

  // Nothing of a failed run may look like an image, and the port stays untouched.
  void expect_failed_without_image(const ProcessResult &r) {
    EXPECT_EQ(r.status, 255) << brief(r.out);
    EXPECT_FALSE(fs::exists(dir / kImage));
    EXPECT_EQ(r.out.find("uart "), std::string::npos) << brief(r.out);
    const std::string fail = "generate nand flash image fail\r";
    ASSERT_GE(r.out.size(), fail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - fail.size()), fail) << brief(r.out);
  }
};

// One image with every kind of content, checked block by block, and the
// console output byte for byte.
TEST_F(OfflineImage, WholeImageLayoutAndOutput) {
  Firmware fw;
  const Bytes fw1 = qmz_image(3 * kBlockData - 5000, 1);  // three blocks, the last one short
  const Bytes other = pattern(10, 9);
  fw.entry(0x20A0, 0x4000, 0x100, 0xCE, 0x89);  // ISP IQ data: start byte 0xFF, skipped
  fw.entry(0x2060, 0x10000, 0x400000, 0xC7, 0xC1);
  fw.put(0x10000, fw1);
  const size_t other_at = fw.bytes.size();
  fw.entry(0x2100 + 32 * 3, static_cast<uint32_t>(other_at), 10, 0x12, 0x34);  // any type id
  fw.put(other_at, other);
  write_file(dir / "fw.bin", fw.bytes);
  const Bytes recover = pattern(200000, 0x77);
  write_file(dir / "boot_recover.bin", recover);

  // Options for a board run besides -G change nothing: no port is opened.
  const ProcessResult r = generate({"-n", "lira", "-r", "-U", "-t", "FW1"});
  ASSERT_EQ(r.status, 0) << brief(r.out) << escaped(r.err);
  const fs::path image = dir / kImage;
  ASSERT_EQ(fs::file_size(image), static_cast<uintmax_t>(kImageSize));

  // Block 0: the two control-information pages, spare 0xFF 0xD0 crc, rest 0xFF.
  const Bytes info = control_info();
  const uint16_t info_crc = arc_crc(info.data(), kPageData);
  Bytes block0(kBlockRaw, 0xFF);
  for (int p = 0; p < 2; ++p) {
    std::copy_n(info.begin() + p * kPageData, kPageData, block0.begin() + p * kPageRaw);
    block0[p * kPageRaw + kPageData + 1] = 0xD0;
    block0[p * kPageRaw + kPageData + 2] = static_cast<uint8_t>(info_crc);
    block0[p * kPageRaw + kPageData + 3] = static_cast<uint8_t>(info_crc >> 8);
  }
  EXPECT_EQ(raw_block(image, 0), block0);

  // Blocks 1, 2: the recovery image (its control information is gone).
  EXPECT_EQ(raw_block(image, 1), expected_block(recover, 0, 0xC5));
  EXPECT_EQ(raw_block(image, 2), expected_block(recover, 1, 0xC5));
  const Bytes erased(kBlockRaw, 0xFF);
  for (int b = 3; b < 16; ++b) EXPECT_EQ(raw_block(image, b), erased) << "block " << b;

  // Blocks 16, 17: only the recovery image's record; 18-23 erased.
  Bytes table_block(kBlockRaw, 0xFF);
  const Bytes table = table_page({{0xC5, 0xD1, 2, 0, {1, 2}}});
  std::copy(table.begin(), table.end(), table_block.begin());
  EXPECT_EQ(raw_block(image, 16), table_block);
  EXPECT_EQ(raw_block(image, 17), table_block);
  for (int b = 18; b < 24; ++b) EXPECT_EQ(raw_block(image, b), erased) << "block " << b;

  // From block 24: firmware_1 (three blocks), then the other entry; then erased.
  for (int n = 0; n < 3; ++n) EXPECT_EQ(raw_block(image, 24 + n), expected_block(fw1, n, 0xC7)) << n;
  EXPECT_EQ(raw_block(image, 27), expected_block(other, 0, 0x12));
  for (int b : {28, 29, 500, 1019, 1020, 1023}) EXPECT_EQ(raw_block(image, b), erased) << "block " << b;

  const std::string len = std::to_string(fw.bytes.size());
  auto writer_lines = [](int fw_len, int first_block, int nblocks, int record, uint16_t crc) {
    std::string s = "fw_len = " + std::to_string(fw_len) + " , block_w_total = " + std::to_string(nblocks) +
                    ", rec_w_total = 1\n\r";
    for (int i = 0; i < nblocks; ++i)
      s += "block_w_total=" + std::to_string(nblocks) + " , block_w_done=" + std::to_string(i) +
           " , block_w_nmb=" + std::to_string(first_block + i) + "  \n\r";
    s += "image download done \n\rpartition_table record " + std::to_string(record) + " is empty \n\r";
    s += "crc = 0x" + hex(crc) + " \n\rupdate partition_table done \n\r";
    return s;
  };
  const Bytes t1 = table_page({{0xC7, 0xC1, 3, 0, {24, 25, 26}}});
  const Bytes t2 = table_page({{0xC7, 0xC1, 3, 0, {24, 25, 26}}, {0x12, 0x34, 1, 0, {27}}});
  std::string want = "fw.bin length = " + len + " \n\r";
  want += "Lira nand flash generate image\n\r";
  want += "crc = 0x" + hex(info_crc) + " \n\r";
  want += "flash_control_info done for copy \n\r";
  want += "fw.bin length = " + len + " \n\r";
  want += "type_id = 0x89 0xce\n\r";
  want += "type_id = 0xc1 0xc7\n\r";
  want += "firmware_1 str_address = 0x10000, fw_w_imglen = " + std::to_string(fw1.size()) + "\n\r";
  want += writer_lines(static_cast<int>(fw1.size()), 24, 3, 0, arc_crc(t1.data(), kPageData));
  want += "type_id = 0x34 0x12\n\r";
  want += "Other FW str_address = 0x" + hex(static_cast<unsigned>(other_at)) + ", fw_w_len = 10\n\r";
  want += writer_lines(10, 27, 1, 1, arc_crc(t2.data(), kPageData));
  want += "type_id = 0xd1 0xc5\n\r";
  want += "boot_1 str_address = 0x0, fw_w_imglen = 200000\n\r";
  want += writer_lines(200000, 1, 2, 0, arc_crc(table.data(), kPageData));
  want += "generate nand flash image success\r";
  EXPECT_EQ(escaped(r.out), escaped(want));

  // A second run appends a second, identical image.
  const ProcessResult again = generate();
  ASSERT_EQ(again.status, 0) << brief(again.out);
  ASSERT_EQ(fs::file_size(image), static_cast<uintmax_t>(2 * kImageSize));
  for (int b : {0, 1, 16, 24, 27}) EXPECT_EQ(read_range(image, kImageSize + int64_t{b} * kBlockRaw, kBlockRaw), raw_block(image, b)) << b;
}

// The recovery image's length decides what blocks 1-23 hold.
TEST_F(OfflineImage, RecoveryImageLengths) {
  Firmware fw = one_section();
  write_file(dir / "fw.bin", fw.bytes);
  const fs::path image = dir / kImage;
  const Bytes erased(kBlockRaw, 0xFF);

  // Empty: block 1 keeps the control information, no table page at all.
  write_file(dir / "boot_recover.bin", {});
  ProcessResult r = generate();
  ASSERT_EQ(r.status, 0) << brief(r.out);
  EXPECT_EQ(raw_block(image, 1), raw_block(image, 0));
  for (int b = 16; b < 24; ++b) EXPECT_EQ(raw_block(image, b), erased) << "block " << b;
  EXPECT_NE(r.out.find("fw_len = 0 , block_w_total = 0, rec_w_total = 0\n\r"), std::string::npos);
  fs::remove(image);

  // Fifteen whole blocks: 1 to 15, the table right after them.
  const Bytes longest = pattern(15 * kBlockData, 3);
  write_file(dir / "boot_recover.bin", longest);
  r = generate();
  ASSERT_EQ(r.status, 0) << brief(r.out);
  EXPECT_EQ(raw_block(image, 15), expected_block(longest, 14, 0xC5));
  std::vector<int> blocks;
  for (int b = 1; b <= 15; ++b) blocks.push_back(b);
  const Bytes table = table_page({{0xC5, 0xD1, 15, 0, blocks}});
  EXPECT_EQ(read_range(image, int64_t{16} * kBlockRaw, kPageRaw), table);
  EXPECT_EQ(read_range(image, int64_t{17} * kBlockRaw, kPageRaw), table);
  fs::remove(image);

  // One byte more would reach the table blocks: refused.
  Bytes too_long = longest;
  too_long.push_back(0);
  write_file(dir / "boot_recover.bin", too_long);
  r = generate();
  expect_failed_without_image(r);
  EXPECT_NE(r.out.find("boot_recover.bin is 1966081 bytes"), std::string::npos) << brief(r.out);
}

TEST_F(OfflineImage, MissingInputsWriteNoImage) {
  Firmware fw = one_section();
  write_file(dir / "fw.bin", fw.bytes);
  write_file(dir / "boot_recover.bin", pattern(100, 1));

  ProcessResult r = generate({}, "missing.bin");
  expect_failed_without_image(r);
  EXPECT_EQ(r.out,
            "read_fw_file : missing.bin open fail\n\r"
            "read missing.bin return NULL fw_buf, goto exit !!!\n\r"
            "generate nand flash image fail\r");

  fs::remove(dir / "boot_recover.bin");
  r = generate();
  expect_failed_without_image(r);
  EXPECT_NE(r.out.find("read boot_recover.bin return NULL fw_buf, use default !!!\n\r"), std::string::npos);
  EXPECT_NE(r.out.find("/boot_recover.bin return NULL fw_buf, goto exit !!!\n\r"), std::string::npos);

  write_file(dir / "boot_recover.bin", pattern(100, 1));
  fs::remove(dir / "flash_control_info.bin");
  r = generate();
  expect_failed_without_image(r);
  EXPECT_NE(r.out.find("read flash_control_info.bin return NULL fw_buf, use default !!!\n\r"), std::string::npos);
  EXPECT_NE(r.out.find("/flash_control_info.bin return NULL fw_buf, goto exit !!!\n\r"), std::string::npos);
}

// The data files may ship beside the program instead of the current directory.
TEST_F(OfflineImage, DataFilesBesideTheProgram) {
  Firmware fw = one_section();
  write_file(dir / "fw.bin", fw.bytes);
  fs::remove(dir / "flash_control_info.bin");
  TempDir bin;
  fs::copy_file(TIDEWRITE_BIN, bin / "tidewrite");
  write_file(bin / "flash_control_info.bin", control_info());
  const Bytes recover = pattern(5000, 0x42);
  write_file(bin / "boot_recover.bin", recover);

  const ProcessResult r = generate({}, "fw.bin", (bin / "tidewrite").string());
  ASSERT_EQ(r.status, 0) << brief(r.out);
  EXPECT_NE(r.out.find("exe path "), std::string::npos);
  const Bytes info = control_info();
  EXPECT_EQ(read_range(dir / kImage, 0, kPageData), Bytes(info.begin(), info.begin() + kPageData));
  EXPECT_EQ(raw_block(dir / kImage, 1), expected_block(recover, 0, 0xC5));
}

// An installed program: its data files in ../share/tidewrite/. A copy beside
// the program still comes before the share directory, so the control
// information comes from bin/ and the recovery image from share/.
TEST_F(OfflineImage, DataFilesInTheShareDirectory) {
  Firmware fw;
  fw.entry(0x2100, 0x10000, 10, 0x31, 0x32);  // one small section to write
  fw.put(0x10000, pattern(10, 9));
  write_file(dir / "fw.bin", fw.bytes);
  fs::remove(dir / "flash_control_info.bin");
  TempDir root;
  const fs::path bin = root / "bin";
  const fs::path share = root / "share" / "tidewrite";
  fs::create_directories(bin);
  fs::create_directories(share);
  fs::copy_file(TIDEWRITE_BIN, bin / "tidewrite");
  write_file(bin / "flash_control_info.bin", control_info());
  write_file(share / "flash_control_info.bin", pattern(4096, 0x77));
  const Bytes recover = pattern(5000, 0x42);
  write_file(share / "boot_recover.bin", recover);

  const ProcessResult r = generate({}, "fw.bin", (bin / "tidewrite").string());
  ASSERT_EQ(r.status, 0) << brief(r.out) << r.err;
  const std::string share_path = fs::canonical(share).string() + "/boot_recover.bin";
  EXPECT_NE(r.out.find("exe path " + fs::canonical(bin).string() + "/flash_control_info.bin\n\r"),
            std::string::npos) << brief(r.out);
  EXPECT_NE(r.out.find("exe path " + share_path + "\n\r"), std::string::npos) << brief(r.out);
  const Bytes info = control_info();
  EXPECT_EQ(read_range(dir / kImage, 0, kPageData), Bytes(info.begin(), info.begin() + kPageData));
  EXPECT_EQ(raw_block(dir / kImage, 1), expected_block(recover, 0, 0xC5));

  // In none of the three places: the fail line as before, and a reason
  // naming them on standard error.
  fs::remove(share / "boot_recover.bin");
  fs::remove(dir / kImage);
  const ProcessResult missing = generate({}, "fw.bin", (bin / "tidewrite").string());
  expect_failed_without_image(missing);
  const std::string beside_path = fs::canonical(bin).string() + "/boot_recover.bin";
  EXPECT_NE(missing.out.find("read " + beside_path + " return NULL fw_buf, goto exit !!!\n\r"), std::string::npos)
      << brief(missing.out);
  EXPECT_NE(missing.err.find("boot_recover.bin is in none of the places searched: the current directory, " +
                             fs::canonical(bin).string() + "/ or " + fs::canonical(share).string() + "/\n"),
            std::string::npos) << missing.err;
}

// Sections the rules reject, and an image that does not fit the device.
TEST_F(OfflineImage, RejectedFirmwareWritesNoImage) {
  write_file(dir / "boot_recover.bin", pattern(100, 1));
  struct Case {
    const char *name;
    Firmware fw;
    std::string message;
  };
  std::vector<Case> cases;
  {
    Case c{"firmware_1 with a wrong second type-id byte", {}, "type_id is not firmware_1\n\r"};
    c.fw.entry(0x2060, 0x10000, 0x20000, 0xC7, 0x00);
    c.fw.put(0x10000, qmz_image(0x8000, 1));
    cases.push_back(c);
  }
  {
    Case c{"boot_1 longer than its partition", {},
           "boot_1 fw_w_imglen = 135168, fw_w_len = 131072\n\r"
           "fw_w_imglen > partition table image size define!!!\n\r"};
    c.fw.entry(0x2020, 0x10000, 0x20000, 0xC5, 0xD1);
    c.fw.put(0x10000, qmz_image(0x21000, 1));
    cases.push_back(c);
  }
  {
    // Eight other entries over the same 20 MiB: 1,280 blocks in 32 records.
    // The table's 16 records run out long before block 1023 is reached.
    Case c{"more records than the table holds", {}, "partition_table has no empty record"};
    const uint32_t len = 20u << 20;
    c.fw.put(0x10000, pattern(len, 5));
    for (int k = 0; k < 8; ++k) c.fw.entry(0x2100 + 32 * k, 0x10000, len, 0x10, static_cast<uint8_t>(k));
    cases.push_back(c);
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir / "fw.bin", c.fw.bytes);
    const ProcessResult r = generate();
    expect_failed_without_image(r);
    EXPECT_NE(r.out.find(c.message), std::string::npos) << brief(r.out);
  }
}

// An output that is no regular file is refused before any work: no image
// is built, nothing reaches it, and a FIFO never blocks the run.
TEST_F(OfflineImage, OutputThatIsNoRegularFileIsRefusedFirst) {
  const Firmware fw = one_section();
  write_file(dir / "fw.bin", fw.bytes);
  write_file(dir / "boot_recover.bin", pattern(100, 1));
  const fs::path out = dir / kImage;
  struct Case {
    const char *name;
    std::function<void()> make;
    const char *reason;
  };
  const std::vector<Case> cases = {
      {"directory", [&] { fs::create_directory(out); }, "a directory, not a regular file"},
      {"FIFO", [&] { ASSERT_EQ(mkfifo(out.c_str(), 0600), 0); }, "a FIFO, not a regular file"},
      {"device", [&] { fs::create_symlink("/dev/full", out); }, "a character device, not a regular file"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    c.make();
    // A reader on the FIFO: a writer that went ahead would deliver, not block.
    const int reader = fs::is_fifo(out) ? open(out.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    const ProcessResult r = generate();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(escaped(r.out), escaped("fw.bin length = " + std::to_string(fw.bytes.size()) +
                                      " \n\rLira nand flash generate image\n\rgenerate nand flash image fail\r"));
    EXPECT_EQ(r.err, std::string("tidewrite: flash_nand_generate_image.bin: ") + c.reason + "; no image written\n");
    if (reader >= 0) {
      char byte;
      EXPECT_EQ(read(reader, &byte, 1), 0) << "the FIFO received data";
      close(reader);
    }
    EXPECT_LT(r.seconds, 10.0);
    fs::remove(out);
  }
}

// A firmware with nothing to write gives no image: an image that held only
// the recovery boot image would program boards without their firmware.
TEST_F(OfflineImage, NothingToWriteAppendsNothing) {
  write_file(dir / "boot_recover.bin", pattern(100, 1));
  write_file(dir / "fw.bin", one_section().bytes);
  ASSERT_EQ(generate().status, 0);
  Firmware skipped;
  skipped.entry(0x2060, 0x10000, 0x20000, 0xC7, 0xC1);  // firmware_1 without "QMZ"
  Bytes unsigned_image = qmz_image(0x2000, 4);
  unsigned_image[0] = 'X';
  skipped.put(0x10000, unsigned_image);
  Firmware zero_length;
  zero_length.entry(0x30, 0x10000, 0, 0xC2, 0xE9);  // certificate_1 of 0 bytes
  zero_length.put(0x10000, pattern(0x10, 6));
  const std::vector<std::pair<const char *, Bytes>> cases = {
      {"empty file", {}},
      {"cut before its entries", Bytes(16, 0x5A)},
      {"no entry marked present", Firmware{}.bytes},
      {"every present section passed over", skipped.bytes},
      {"only a section of length 0", zero_length.bytes},
  };
  for (const auto &[name, file] : cases) {
    SCOPED_TRACE(name);
    write_file(dir / "fw.bin", file);
    const ProcessResult r = generate();
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(r.out.ends_with("no firmware section to write\n\rgenerate nand flash image fail\r")) << brief(r.out);
    EXPECT_NE(r.err.find("generate image: fw.bin (" + std::to_string(file.size()) + " bytes) holds no section to write"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(fs::file_size(dir / kImage), static_cast<uintmax_t>(kImageSize));
  }
}

// An existing image that a failed run would append to keeps its length.
TEST_F(OfflineImage, FailedAppendLeavesEarlierImageWhole) {
  Firmware fw = one_section();
  write_file(dir / "fw.bin", fw.bytes);
  write_file(dir / "boot_recover.bin", pattern(100, 1));
  ASSERT_EQ(generate().status, 0);
  // The second run's input is rejected before anything is appended.
  fw.entry(0x2060, 0x10000, 0x20000, 0xC7, 0x00);
  write_file(dir / "fw.bin", fw.bytes);
  EXPECT_EQ(generate().status, 255);
  EXPECT_EQ(fs::file_size(dir / kImage), static_cast<uintmax_t>(kImageSize));

  // The append itself stops half way (file size limit 140 MB): the bytes
  // that got in are taken back.
  write_file(dir / "fw.bin", one_section().bytes);
  ProcessOptions opts;
  opts.cwd = dir.path();
  const ProcessResult r = run_process({"/bin/sh", "-c",
                                       "trap '' XFSZ; ulimit -f 136719 && exec \"$0\" -p "
                                       "/dev/tidewrite-no-such-port -f fw.bin -b 115200 -G",
                                       TIDEWRITE_BIN},
                                      opts);
  EXPECT_EQ(r.status, 255) << brief(r.out);
  EXPECT_NE(r.out.find("writing flash_nand_generate_image.bin failed"), std::string::npos) << brief(r.out);
  EXPECT_EQ(fs::file_size(dir / kImage), static_cast<uintmax_t>(kImageSize));
}

#if defined(__SANITIZE_ADDRESS__)
#define TIDEWRITE_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TIDEWRITE_UNDER_ASAN 1
#endif
#endif

// Memory for the 132 MiB image refused: a message, failure, no file.
TEST_F(OfflineImage, ImageAllocationFailure) {
#ifdef TIDEWRITE_UNDER_ASAN
  GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer";
#else
  Firmware fw = one_section();
  write_file(dir / "fw.bin", fw.bytes);
  write_file(dir / "boot_recover.bin", pattern(100, 1));
  ProcessOptions opts;
  opts.cwd = dir.path();
  // 100 MiB of address space: the program runs, the image does not fit.
  const ProcessResult r = run_process({"/bin/sh", "-c",
                                       "ulimit -v 102400 && exec \"$0\" -p /dev/tidewrite-no-such-port -f fw.bin "
                                       "-b 115200 -G",
                                       TIDEWRITE_BIN},
                                      opts);
  expect_failed_without_image(r);
  EXPECT_NE(r.out.find("cannot allocate 138412032 bytes"), std::string::npos) << brief(r.out) << r.err;
#endif
}

}  // namespace
