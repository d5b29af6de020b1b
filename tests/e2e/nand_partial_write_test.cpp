// Partial image write (-t) against boardsim NAND boards that a normal write
// prepared, run in-process through nand_download: console bytes, result, the
// partition table and its copies, and the image blocks.
#include <gtest/gtest.h>

#include "tests/e2e/nand_fixture.h"

namespace {

using namespace nandtest;
using fwbuild::FirmwareBuilder;

const char *const kTableCopy =
    "Lira nand partition_table_copy 20-23\n\r"
    "partition_table read OK, Block 16 \n\r"
    "Lira nand partition_table_copy done\n\r";

// Blocks a normal write of the sample gives each image, from block 24 on.
std::vector<std::vector<int>> sample_blocks(const fwbuild::Sample &s) {
  std::vector<std::vector<int>> out;
  int b = 24;
  for (const auto &img : s.images) {
    std::vector<int> blocks;
    for (int k = 0; k < blocks_of(img.length); ++k) blocks.push_back(b++);
    out.push_back(blocks);
  }
  return out;
}

std::vector<int> run_of(int first, int count) {
  std::vector<int> v;
  for (int k = 0; k < count; ++k) v.push_back(first + k);
  return v;
}

const fwbuild::ExpectedImage &image_named(const fwbuild::Sample &s, const std::string &name) {
  for (const auto &img : s.images)
    if (img.name == name) return img;
  throw std::runtime_error("no image " + name);
}

class PartialWrite : public NandBoardTest {
 protected:
  // A board carrying the sample firmware, written the normal way. The normal
  // write runs once per test program; each test then starts from a copy of
  // the flash it left.
  void prepare() {
    const fwbuild::Sample s = fwbuild::sample_firmware();
    old_blocks = sample_blocks(s);
    old_records.clear();
    for (size_t i = 0; i < s.images.size(); ++i) old_records.push_back(expected_record(s.images[i], old_blocks[i], 0));
    static ts::TempDir cache;
    const std::filesystem::path prepared = cache / "sample-nand.bin";
    if (!std::filesystem::exists(prepared)) {
      cfg.complete_store_on_stop = true;  // the copy must read 0xFF where nothing was written
      start();
      put_firmware(s.file, "old.bin");
      const Run r = download("old.bin");
      ASSERT_EQ(r.status, 0) << r.out;
      board.reset();
      std::filesystem::copy_file(dir / "nand.bin", prepared);
      cfg.complete_store_on_stop = false;
    }
    std::filesystem::copy_file(prepared, dir / "nand.bin", std::filesystem::copy_options::overwrite_existing);
    start();
  }

  // For table-driven cases: the board and the globals as a new test finds them.
  void fresh_board() {
    TearDown();
    std::filesystem::remove(dir / "nand.bin");
    SetUp();
  }

  Run partial(const char *text, const std::vector<uint8_t> &file) {
    put_firmware(file, "new.bin");
    type_id_w = text;
    return download("new.bin");
  }

  std::string head(const std::vector<uint8_t> &file) const {
    return opening("new.bin", file.size()) + "Lira nand flash partial image write\n\rnew.bin length = " +
           std::to_string(file.size()) + " \n\rpartition_table read OK, Block 16 \n\r";
  }

  // Page 0 of blocks 16-23, to show a table left exactly as it was.
  std::vector<std::vector<uint8_t>> table_area() const {
    std::vector<std::vector<uint8_t>> pages;
    for (int b = 16; b < 24; ++b) pages.push_back(page(b));
    return pages;
  }

  void expect_table_everywhere(const std::vector<std::vector<uint8_t>> &records) {
    const std::vector<uint8_t> table = page(16);
    expect_table_page(table, records);
    EXPECT_EQ(page(17), table);
    for (int b = 20; b < 24; ++b) {
      const std::vector<uint8_t> copy = page(b);
      EXPECT_TRUE(std::equal(copy.begin(), copy.begin() + 2052, table.begin())) << "copy in block " << b;
    }
  }

  std::vector<std::vector<int>> old_blocks;
  std::vector<std::vector<uint8_t>> old_records;
};

// Every accepted text: the records of its type are cleared, the new image
// goes past the highest block the other records list (34), into the record
// just cleared, and the table is copied into blocks 20-23.
TEST_F(PartialWrite, EachAcceptedTextReplacesItsImage) {
  struct Case {
    const char *text;
    const char *image;
    int record;
    const char *load;
  };
  const Case cases[] = {
      {"0xc1c7", "firmware_1", 5, "type_id=0xc1c7, FW1 load\n\r"},
      {"FW1", "firmware_1", 5, "type_id=0xc1c7, FW1 load\n\r"},
      {"0xb9c8", "firmware_2", 6, "type_id=0xb9c8, FW2 load\n\r"},
      {"FW2", "firmware_2", 6, "type_id=0xb9c8, FW2 load\n\r"},
      {"0x81cf", "NN", 7, "type_id=0x81cf, NN load\n\r"},
      {"NN_MDL", "NN", 7, "type_id=0x81cf, NN load\n\r"},
  };
  // New sizes, so the new images differ from the old in content and length.
  fwbuild::SampleSizes z;
  z.firmware_1_body = 0x8000;
  z.firmware_2_body = 0x25000;
  z.nn_body = 0x5000;
  const fwbuild::Sample next = fwbuild::sample_firmware(z);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    fresh_board();
    prepare();
    if (HasFatalFailure()) return;
    const fwbuild::ExpectedImage &img = image_named(next, c.image);
    const std::vector<int> blocks = run_of(35, blocks_of(img.length));

    const Run r = partial(c.text, next.file);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string want = head(next.file) + c.load + "partition_table record " + std::to_string(c.record) +
                             " clear \n\rblock_w_nmb=35\n\rcrc = 0x? \n\rupdate partition_table done \n\r" +
                             image_lines(img, blocks, c.record) + kTableCopy;
    EXPECT_EQ(ts::escaped(mask_crc(r.out)), ts::escaped(want));

    expect_image_on_flash(*board, next.file, img, blocks);
    std::vector<std::vector<uint8_t>> records = old_records;
    records[c.record] = expected_record(img, blocks, 0);
    expect_table_everywhere(records);
  }
}

TEST_F(PartialWrite, UnknownTextLeavesTheBoardAlone) {
  prepare();
  const auto before = table_area();
  const Run r = partial("fw1", fwbuild::sample_firmware().file);
  EXPECT_EQ(r.status, -5);
  EXPECT_EQ(ts::escaped(r.out), ts::escaped(head(fwbuild::sample_firmware().file) + "type_id is invalid!  \n\r"));
  EXPECT_EQ(table_area(), before);
}

// When nothing that stays lists a block above the old image, the new one is
// written over the old image's own blocks.
TEST_F(PartialWrite, CursorEndsPastTheHighestRemainingBlock) {
  FirmwareBuilder old_fw;
  old_fw.section(fwbuild::firmware_1, 0x3000, 0x40000, fwbuild::image(0x1F000, 1));  // block 24
  old_fw.section(fwbuild::nn, 0x30000, 0x60000, fwbuild::image(0x3F000, 2, 0, false));  // 25, 26
  start();
  put_firmware(old_fw.bytes(), "old.bin");
  ASSERT_EQ(download("old.bin").status, 0);

  FirmwareBuilder new_fw;
  const std::vector<uint8_t> nn = fwbuild::image(0x2000, 3, 0, false);  // one block
  new_fw.section(fwbuild::nn, 0x4000, 0x60000, nn);
  const Run r = partial("NN_MDL", new_fw.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("partition_table record 1 clear \n\rblock_w_nmb=25\n\r"), std::string::npos) << r.out;
  const fwbuild::ExpectedImage img{"NN", {0xCF, 0x81}, 0x4000, static_cast<uint32_t>(nn.size())};
  expect_image_on_flash(*board, new_fw.bytes(), img, {25});
  const fwbuild::ExpectedImage fw1{"firmware_1", {0xC7, 0xC1}, 0x3000, 0x20000};
  expect_table_everywhere({expected_record(fw1, {24}, 0), expected_record(img, {25}, 0)});
}

// A file whose section cannot be used leaves the board's table as it was
// (all eight table blocks, so the copies too).
TEST_F(PartialWrite, UnusableSectionLeavesTheTableAsItWas) {
  struct Case {
    const char *name;
    const char *text;
    std::vector<uint8_t> file;
    std::string tail;
  };
  std::vector<Case> cases;
  {
    FirmwareBuilder fb;
    fb.entry(fwbuild::firmware_1.entry_offset, 0x3000, 0x40000, 0xC7, 0x00);
    fb.put(0x3000, fwbuild::image(0x1000, 1));
    cases.push_back({"wrong type id", "FW1", fb.bytes(),
                     "type_id=0xc1c7, FW1 load\n\rtype_id = 0x0 0xc7\n\rtype_id is not FW1\n\r"});
  }
  {
    FirmwareBuilder fb;
    fb.section(fwbuild::firmware_2, 0x3000, 0x2000, fwbuild::image(0x1800, 1));
    cases.push_back({"firmware_2 larger than its partition", "0xb9c8", fb.bytes(),
                     "type_id=0xb9c8, FW2 load\n\rtype_id = 0xb9 0xc8\n\rFW_2 fw_w_imglen = 10240, fw_w_len = 8192\n\r"
                     "fw_w_imglen > partition table image size define!!!\n\r"});
  }
  {
    FirmwareBuilder fb;
    fb.section(fwbuild::nn, 0x3000, 0x1000, fwbuild::image(0x10, 1, 0, false));
    cases.push_back({"NN larger than its partition", "NN_MDL", fb.bytes(),
                     "type_id=0x81cf, NN load\n\rtype_id = 0x81 0xcf\n\rNN fw_w_imglen = 4112, fw_w_len = 4096\n\r"
                     "fw_w_imglen > partition table NN size define!!!\n\r"});
  }
  // Sections the rules pass over: clearing the old records with nothing to
  // put in their place would remove the image and report a success.
  const char *nothing = "no firmware section to write\n\r";
  {
    FirmwareBuilder fb;
    fb.entry(fwbuild::firmware_2.entry_offset, 0x100000, 0x10000, 0xC8, 0xB9);
    cases.push_back({"firmware_2 beyond the file", "FW2", fb.bytes(),
                     std::string("type_id=0xb9c8, FW2 load\n\rtype_id = 0xb9 0xc8\n\r") + nothing});
  }
  {
    FirmwareBuilder fb;
    fb.section(fwbuild::firmware_1, 0x3000, 0x20000, fwbuild::image(0x100, 1, 0, false));
    cases.push_back({"firmware_1 without its signature", "FW1", fb.bytes(),
                     std::string("type_id=0xc1c7, FW1 load\n\rtype_id = 0xc1 0xc7\n\r") + nothing});
  }
  {
    FirmwareBuilder fb;
    std::vector<uint8_t> nn = fwbuild::image(0x100, 1, 0, false);
    nn[0] = 0xFF;
    fb.section(fwbuild::nn, 0x3000, 0x2000, nn);
    cases.push_back({"NN erased", "0x81cf", fb.bytes(),
                     std::string("type_id=0x81cf, NN load\n\rtype_id = 0x81 0xcf\n\r") + nothing});
  }
  {
    FirmwareBuilder fb;
    // A slot flag makes the image its partition's length, here 0.
    fb.section(fwbuild::firmware_1, 0x3000, 0, fwbuild::image(0x100, 1, 1));
    cases.push_back({"firmware_1 of length 0", "FW1", fb.bytes(),
                     std::string("type_id=0xc1c7, FW1 load\n\rtype_id = 0xc1 0xc7\n\r") + nothing});
  }
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fresh_board();
    prepare();
    if (HasFatalFailure()) return;
    const auto before = table_area();
    const Run r = partial(c.text, c.file);
    EXPECT_EQ(r.status, -5);
    EXPECT_EQ(ts::escaped(r.out), ts::escaped(head(c.file) + c.tail));
    EXPECT_EQ(table_area(), before);
  }
}

// Two records of the type (an image of 49 blocks): both cleared, and the
// new, shorter image takes the first of them. The board's table is laid down
// directly: writing 49 blocks first would only make the test slow.
TEST_F(PartialWrite, EveryRecordOfTheTypeIsCleared) {
  const fwbuild::ExpectedImage old_fw1{"firmware_1", {0xC7, 0xC1}, 0, 49 * 0x20000};
  const fwbuild::ExpectedImage fw2{"firmware_2", {0xC8, 0xB9}, 0, 0x2000};
  std::vector<uint8_t> table(2112, 0xFF);
  const std::vector<std::vector<uint8_t>> old_table = {
      expected_record(old_fw1, run_of(24, 49), 0), expected_record(old_fw1, run_of(24, 49), 1),
      expected_record(fw2, {73}, 0)};
  for (size_t r = 0; r < old_table.size(); ++r) std::copy(old_table[r].begin(), old_table[r].end(), table.begin() + 128 * r);
  const auto crc = static_cast<uint16_t>(crc16(table.data(), 2048));
  table[2049] = 0xC4;
  table[2050] = static_cast<uint8_t>(crc);
  table[2051] = static_cast<uint8_t>(crc >> 8);
  {
    std::vector<uint8_t> flash(135168 * 1024, 0xFF);
    std::copy(table.begin(), table.end(), flash.begin() + 16 * 135168);
    ts::write_file(dir / "nand.bin", flash);
  }
  start();

  FirmwareBuilder new_fw;
  const std::vector<uint8_t> fw1 = fwbuild::image(0x1000, 9);
  new_fw.section(fwbuild::firmware_1, 0x3000, 0x20000, fw1);
  const Run r = partial("FW1", new_fw.bytes());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("partition_table record 0 clear \n\rpartition_table record 1 clear \n\rblock_w_nmb=74\n\r"),
            std::string::npos)
      << r.out;
  const fwbuild::ExpectedImage img{"firmware_1", {0xC7, 0xC1}, 0x3000, static_cast<uint32_t>(fw1.size())};
  expect_image_on_flash(*board, new_fw.bytes(), img, {74});
  expect_table_everywhere({expected_record(img, {74}, 0), std::vector<uint8_t>(128, 0xFF), old_table[2]});
}

TEST_F(PartialWrite, BoardWithoutTableIsRefused) {
  start();
  const fwbuild::Sample s = fwbuild::sample_firmware();
  const Run r = partial("FW1", s.file);
  EXPECT_EQ(r.status, -5);
  std::string want = opening("new.bin", s.file.size()) + "Lira nand flash partial image write\n\rnew.bin length = " +
                     std::to_string(s.file.size()) + " \n\r";
  for (int b = 16; b < 24; ++b) want += "Block " + std::to_string(b) + " is bad block!\n\r";
  want += "can not find partition table !\n\r";
  EXPECT_EQ(ts::escaped(r.out), ts::escaped(want));
  for (int b = 16; b < 24; ++b) EXPECT_TRUE(block_erased(b)) << b;
}

}  // namespace
