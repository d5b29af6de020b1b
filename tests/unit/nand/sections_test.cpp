// The section rules shared by the normal write, the partial write and the
// offline image: one table of firmware files, one runner.
#include "tidewrite/nand/sections.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/fw_builder.h"

namespace {

using fwbuild::FirmwareBuilder;
using K = nand_section_kind;

constexpr uint32_t S0 = 0x3000;  // section start used by most cases

struct RuleCase {
  const char *name;
  K kind;
  int entry;
  std::function<std::vector<uint8_t>()> file;
  int result;          // 0 or -1
  bool skipped;        // when result is 0
  int length;          // when written
  const char *output;  // printed with print set (type-id check on)
};

std::vector<uint8_t> boot1(uint32_t body, uint32_t reserved, int slot = 0) {
  FirmwareBuilder fb;
  fb.section(fwbuild::boot_1, S0, reserved, fwbuild::image(body, 1, slot));
  return fb.bytes();
}

const RuleCase rule_cases[] = {
    {"boot body 0x1F000 fills one block", K::boot_1, 0x2020, [] { return boot1(0x1F000, 0x20000); }, 0,
     false, 0x20000, "type_id = 0xd1 0xc5\n\r"},
    {"boot image larger than its partition", K::boot_1, 0x2020, [] { return boot1(0x20000, 0x20000); }, -1,
     true, 0,
     "type_id = 0xd1 0xc5\n\rboot_1 fw_w_imglen = 135168, fw_w_len = 131072\n\r"
     "fw_w_imglen > partition table image size define!!!\n\r"},
    {"boot slot flag takes the partition length", K::boot_1, 0x2020,
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::boot_1, S0, 0x3000, fwbuild::image(0x40000, 1, 8));
       return fb.bytes();
     },
     0, false, 0x3000, "type_id = 0xd1 0xc5\n\r"},
    {"boot slot flag with partition past the file is skipped", K::boot_2, 0x2040,
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::boot_2, S0, 0x9000, fwbuild::image(0x10, 1, 1));
       return fb.bytes();
     },
     0, true, 0, "type_id = 0xc9 0xc6\n\r"},
    {"boot without signature is skipped", K::boot_2, 0x2040,
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::boot_2, S0, 0x20000, fwbuild::image(0x100, 1, 0, false));
       return fb.bytes();
     },
     0, true, 0, "type_id = 0xc9 0xc6\n\r"},
    {"boot image running past the file is skipped", K::boot_1, 0x2020,
     [] {
       FirmwareBuilder fb(boot1(0x2000, 0x20000).size());
       fb.put(0, boot1(0x2000, 0x20000));
       fb.resize(S0 + 0x2FFF);
       return fb.bytes();
     },
     0, true, 0, "type_id = 0xd1 0xc5\n\r"},
    {"boot header cut by the end of the file is skipped, not read", K::boot_1, 0x2020,
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::boot_1, S0, 0x20000, fwbuild::image(0x100000, 1));
       fb.resize(S0 + 0x2E3);  // body length field one byte short
       return fb.bytes();
     },
     0, true, 0, "type_id = 0xd1 0xc5\n\r"},
    {"boot huge body length fails the size check", K::boot_1, 0x2020,
     [] {
       // 0x80000000 would turn negative as a 32-bit signed image length.
       std::vector<uint8_t> fw = boot1(0x10, 0x20000);
       fw[S0 + 0x2E3] = 0x80;
       fw[S0 + 0x2E0] = 0x00;
       return fw;
     },
     -1, true, 0,
     "type_id = 0xd1 0xc5\n\rboot_1 fw_w_imglen = 2147487744, fw_w_len = 131072\n\r"
     "fw_w_imglen > partition table image size define!!!\n\r"},
    {"firmware type id with one byte wrong", K::firmware_1, 0x2060,
     [] {
       FirmwareBuilder fb;
       fb.put(S0, fwbuild::image(0x100, 1));
       fb.entry(0x2060, S0, 0x20000, 0xC7, 0x00);
       return fb.bytes();
     },
     -1, true, 0, "type_id = 0x0 0xc7\n\rtype_id is not firmware_1\n\r"},
    {"firmware slot flag cut at the end of the file", K::firmware_2, 0x2080,
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::firmware_2, S0, 0x1400 + 100, fwbuild::image(0x400, 1, 2));
       return fb.bytes();
     },
     0, false, 0x1400, "type_id = 0xb9 0xc8\n\r"},
    {"firmware starting beyond the file", K::firmware_1, 0x2060,
     [] {
       FirmwareBuilder fb;
       fb.entry(0x2060, 0x10000, 0x20000, 0xC7, 0xC1);
       return fb.bytes();
     },
     0, true, 0, "type_id = 0xc1 0xc7\n\r"},
    {"firmware too big", K::firmware_2, 0x2080,
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::firmware_2, S0, 0x1000, fwbuild::image(1, 1));
       return fb.bytes();
     },
     -1, true, 0,
     "type_id = 0xb9 0xc8\n\rFW_2 fw_w_imglen = 4097, fw_w_len = 4096\n\r"
     "fw_w_imglen > partition table image size define!!!\n\r"},
    {"NN too big", K::nn, 0x20C0,
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::nn, S0, 0x1000, fwbuild::image(0x10, 1, 0, false));
       return fb.bytes();
     },
     -1, true, 0,
     "type_id = 0x81 0xcf\n\rNN fw_w_imglen = 4112, fw_w_len = 4096\n\r"
     "fw_w_imglen > partition table NN size define!!!\n\r"},
    {"NN needs no signature, ignores slot flags", K::nn, 0x20C0,
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::nn, S0, 0x3000, fwbuild::image(0x10, 1, 4, false));
       return fb.bytes();
     },
     0, false, 0x1010, "type_id = 0x81 0xcf\n\r"},
    {"NN with erased start byte is skipped", K::nn, 0x20C0,
     [] {
       FirmwareBuilder fb;
       std::vector<uint8_t> img = fwbuild::image(0x10, 1, 0, false);
       img[0] = 0xFF;
       fb.section(fwbuild::nn, S0, 0x3000, img);
       return fb.bytes();
     },
     0, true, 0, "type_id = 0x81 0xcf\n\r"},
    {"certificate takes the 16-bit length", K::certificate_1, 0x30,
     [] {
       FirmwareBuilder fb;
       fb.put(S0, fwbuild::pattern(0x400, 1));
       fb.entry(0x30, S0, 0x7FFF0400, 0xC2, 0xE9);  // only bytes 4 and 5 count
       return fb.bytes();
     },
     0, false, 0x400, "type_id = 0xe9 0xc2\n\r"},
    {"certificate running past the file is skipped", K::certificate_2, 0x40,
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::certificate_2, S0, 0x401, fwbuild::pattern(0x400, 1));
       return fb.bytes();
     },
     0, true, 0, "type_id = 0xe1 0xc3\n\r"},
    {"certificate with erased start byte is skipped", K::certificate_1, 0x30,
     [] {
       FirmwareBuilder fb;
       fb.entry(0x30, S0, 0x10, 0xC2, 0xE9);
       fb.resize(S0 + 0x10);
       return fb.bytes();
     },
     0, true, 0, "type_id = 0xe9 0xc2\n\r"},
    {"ISP IQ data cut at the end of the file", K::isp_iq, 0x20A0,
     [] {
       FirmwareBuilder fb;
       fb.section(fwbuild::isp_iq, S0, 0x5000, fwbuild::pattern(0x123, 1));
       return fb.bytes();
     },
     0, false, 0x123, "type_id = 0x89 0xce\n\r"},
    {"ISP IQ data with erased start byte is skipped", K::isp_iq, 0x20A0,
     [] {
       FirmwareBuilder fb;
       std::vector<uint8_t> d = fwbuild::pattern(0x100, 1);
       d[0] = 0xFF;
       fb.section(fwbuild::isp_iq, S0, 0x100, d);
       return fb.bytes();
     },
     0, true, 0, "type_id = 0x89 0xce\n\r"},
    {"other entry takes any type id", K::other, 0x2100 + 32 * 3,
     [] {
       FirmwareBuilder fb;
       fb.put(S0, fwbuild::pattern(10, 1));
       fb.entry(0x2100 + 32 * 3, S0, 10, 0x00, 0x12);
       return fb.bytes();
     },
     0, false, 10, "type_id = 0x12 0x0\n\r"},
    {"negative start is beyond the file", K::isp_iq, 0x20A0,
     [] {
       FirmwareBuilder fb;
       fb.entry(0x20A0, 0xFFFFFFF0u, 0x20, 0xCE, 0x89);
       return fb.bytes();
     },
     0, true, 0, "type_id = 0x89 0xce\n\r"},
    {"entry cut by the end of the file describes nothing", K::nn, 0x20C0,
     [] {
       FirmwareBuilder fb;
       fb.entry(0x20C0, S0, 0x3000, 0xCF, 0x81);
       fb.resize(0x20C0 + 15);
       return fb.bytes();
     },
     0, true, 0, ""},
};

void PrintTo(const RuleCase &c, std::ostream *os) { *os << c.name; }

class SectionRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(SectionRule, Decides) {
  const RuleCase &c = GetParam();
  const std::vector<uint8_t> fw = c.file();
  nand_section_t s{};
  testing::internal::CaptureStdout();
  const int quiet = nand_section_rule(fw.data(), static_cast<int>(fw.size()), c.kind, c.entry, true, false, s);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(quiet, c.result);
  testing::internal::CaptureStdout();
  const int loud = nand_section_rule(fw.data(), static_cast<int>(fw.size()), c.kind, c.entry, true, true, s);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(loud, c.result);
  if (c.output) {
    EXPECT_EQ(out, c.output);
  }
  if (c.result == 0) {
    EXPECT_EQ(s.skipped, c.skipped);
    if (!c.skipped) {
      EXPECT_EQ(s.length, c.length);
      EXPECT_EQ(s.str_address, static_cast<int>(S0));
      EXPECT_LE(int64_t{s.str_address} + s.length, static_cast<int64_t>(fw.size()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, SectionRule, ::testing::ValuesIn(rule_cases),
                         [](const ::testing::TestParamInfo<RuleCase> &i) {
                           std::string n;
                           for (const char *p = i.param.name; *p; ++p) n += isalnum(*p) ? *p : '_';
                           return n;
                         });

// A file cut at every length around a boot header never makes the rules read
// past its end (the sanitizer build turns such a read into a failure).
TEST(SectionRuleBounds, FileCutAtEveryLengthAroundTheHeader) {
  const std::vector<uint8_t> full = boot1(0x100, 0x20000);
  for (size_t n = S0; n <= S0 + 0x1100 && n <= full.size(); ++n) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    cut.shrink_to_fit();
    nand_section_t s{};
    ASSERT_EQ(0, nand_section_rule(cut.data(), static_cast<int>(n), K::boot_1, 0x2020, true, false, s));
    EXPECT_EQ(s.skipped, n < S0 + 0x1100) << n;
  }
}

TEST(SectionRule, TypeIdLineOnlyWhenCheckingTypeIds) {
  const std::vector<uint8_t> fw = boot1(0x20000, 0x20000);
  nand_section_t s{};
  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, nand_section_rule(fw.data(), static_cast<int>(fw.size()), K::boot_1, 0x2020, false, true, s));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "boot_1 fw_w_imglen = 135168, fw_w_len = 131072\n\r"
            "fw_w_imglen > partition table image size define!!!\n\r");
}

TEST(PlanSections, EveryKindInWriteOrder) {
  const fwbuild::Sample sample = fwbuild::sample_firmware();
  std::vector<nand_section_t> plan;
  testing::internal::CaptureStdout();
  ASSERT_EQ(0, nand_plan_sections(sample.file.data(), static_cast<int>(sample.file.size()), false, plan));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_EQ(plan.size(), sample.images.size());
  for (size_t i = 0; i < plan.size(); ++i) {
    SCOPED_TRACE(sample.images[i].name);
    EXPECT_FALSE(plan[i].skipped);
    EXPECT_EQ(plan[i].str_address, static_cast<int>(sample.images[i].start));
    EXPECT_EQ(plan[i].length, static_cast<int>(sample.images[i].length));
    EXPECT_EQ(plan[i].type_id[0], sample.images[i].type_id[0]);
    EXPECT_EQ(plan[i].type_id[1], sample.images[i].type_id[1]);
  }
  const K expected_kinds[] = {K::certificate_1, K::certificate_2, K::isp_iq, K::boot_1, K::boot_2,
                              K::firmware_1,    K::firmware_2,    K::nn,     K::other,  K::other};
  for (size_t i = 0; i < plan.size(); ++i) EXPECT_EQ(plan[i].kind, expected_kinds[i]) << i;
}

TEST(PlanSections, OnlyPresentFlagOneCounts) {
  FirmwareBuilder fb;
  fb.section(fwbuild::isp_iq, S0, 0x10, fwbuild::pattern(0x10, 1), 0);
  fb.section(fwbuild::nn, S0 + 0x1000, 0x3000, fwbuild::image(0x10, 2, 0, false), 2);
  fb.section(fwbuild::certificate_1, S0 + 0x4000, 0x10, fwbuild::pattern(0x10, 3), 1);
  std::vector<nand_section_t> plan;
  ASSERT_EQ(0, nand_plan_sections(fb.bytes().data(), static_cast<int>(fb.size()), false, plan));
  ASSERT_EQ(plan.size(), 1u);
  EXPECT_EQ(plan[0].kind, K::certificate_1);
}

TEST(PlanSections, RejectionPrintsTheLinesUpToTheFailingSection) {
  FirmwareBuilder fb;
  fb.section(fwbuild::certificate_1, S0, 0x10, fwbuild::pattern(0x10, 1));
  fb.section(fwbuild::firmware_1, S0 + 0x1000, 0x1000, fwbuild::image(0x800, 2));  // too big
  fb.section(fwbuild::nn, S0 + 0x3000, 0x3000, fwbuild::image(0x10, 3, 0, false));
  std::vector<nand_section_t> plan;
  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, nand_plan_sections(fb.bytes().data(), static_cast<int>(fb.size()), false, plan));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, nand_plan_sections(fb.bytes().data(), static_cast<int>(fb.size()), true, plan));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "type_id = 0xe9 0xc2\n\r"
            "type_id = 0xc1 0xc7\n\r"
            "FW_1 fw_w_imglen = 6144, fw_w_len = 4096\n\r"
            "fw_w_imglen > partition table image size define!!!\n\r");
}

TEST(PrintSectionWrite, MessagesPerKind) {
  struct Row {
    K kind;
    int length;
    const char *text;
  };
  const Row rows[] = {
      {K::certificate_1, 16, "certificate_1 str_address = 0x3000, fw_w_len = 16\n\r"},
      {K::certificate_2, 16, "certificate_2 str_address = 0x3000, fw_w_len = 16\n\r"},
      {K::isp_iq, 16, "ISP IQ Data str_address = 0x3000, fw_w_len = 16\n\r"},
      {K::boot_1, 16, "boot_1 str_address = 0x3000, fw_w_imglen = 16\n\r"},
      {K::boot_2, 16, "boot_2 str_address = 0x3000, fw_w_imglen = 16\n\r"},
      {K::firmware_1, 16, "firmware_1 str_address = 0x3000, fw_w_imglen = 16\n\r"},
      {K::firmware_2, 16, "firmware_2 str_address = 0x3000, fw_w_imglen = 16\n\r"},
      {K::nn, 16, "NN str_address = 0x3000, fw_w_imglen = 16\n\r"},
      {K::other, 16, "Other FW str_address = 0x3000, fw_w_len = 16\n\r"},
  };
  for (const Row &r : rows) {
    nand_section_t s{r.kind, 0, {0, 0}, static_cast<int>(S0), r.length, false};
    testing::internal::CaptureStdout();
    nand_print_section_write(s);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), r.text);
  }
}

}  // namespace
