// Builds firmware files in the layout the NAND flows read (partition entries
// at their offsets, present flags, type ids, image headers with "QMZ", body
// lengths and slot flags) and synthetic control information. Used by the
// NAND tests, the benchmarks and the demo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fwbuild {

// Entry offsets and type ids, written out here rather than taken from the
// programmer's headers so that a wrong constant there shows up in the tests.
struct SectionKind {
  const char *name;
  int entry_offset;
  uint8_t type_id[2];
};
inline constexpr SectionKind certificate_1{"certificate_1", 0x30, {0xC2, 0xE9}};
inline constexpr SectionKind certificate_2{"certificate_2", 0x40, {0xC3, 0xE1}};
inline constexpr SectionKind boot_1{"boot_1", 0x2020, {0xC5, 0xD1}};
inline constexpr SectionKind boot_2{"boot_2", 0x2040, {0xC6, 0xC9}};
inline constexpr SectionKind firmware_1{"firmware_1", 0x2060, {0xC7, 0xC1}};
inline constexpr SectionKind firmware_2{"firmware_2", 0x2080, {0xC8, 0xB9}};
inline constexpr SectionKind isp_iq{"ISP IQ Data", 0x20A0, {0xCE, 0x89}};
inline constexpr SectionKind nn{"NN", 0x20C0, {0xCF, 0x81}};
inline constexpr int other_entry(int k) { return 0x2100 + 32 * k; }  // k = 0..7

// n bytes of a deterministic pattern; the first byte is never 0xFF.
std::vector<uint8_t> pattern(size_t n, uint32_t seed);

// A boot, firmware or NN image: a 0x1000-byte header area ("QMZ" unless
// signature is false, slot flag k = 1..8 set when slot is non-zero, body
// length at 0x2E0) followed by body_len bytes of pattern. Its image length is
// body_len + 0x1000, the size of the returned buffer.
std::vector<uint8_t> image(uint32_t body_len, uint32_t seed, int slot = 0, bool signature = true);

// Synthetic "flash_control_info.bin" content.
std::vector<uint8_t> control_info(size_t size = 4096, uint32_t seed = 0xC1);

class FirmwareBuilder {
 public:
  // The file starts as size bytes of 0xFF (no entry present).
  explicit FirmwareBuilder(size_t size = 0x3000);

  // A 16-byte partition entry. Certificates read only the low 16 bits of fw_w_len.
  FirmwareBuilder &entry(int entry_offset, uint32_t str_address, uint32_t fw_w_len, uint8_t type0,
                         uint8_t type1, uint8_t present = 1);
  // Bytes at offset, growing the file with 0xFF as needed.
  FirmwareBuilder &put(size_t offset, const std::vector<uint8_t> &bytes);
  // A section: its entry (type id of the kind), and the content at start.
  FirmwareBuilder &section(const SectionKind &kind, uint32_t start, uint32_t fw_w_len,
                           const std::vector<uint8_t> &content, uint8_t present = 1);
  FirmwareBuilder &resize(size_t size);  // cuts or grows with 0xFF

  const std::vector<uint8_t> &bytes() const { return file_; }
  size_t size() const { return file_.size(); }

 private:
  std::vector<uint8_t> file_;
};

// One image that a normal write must place, in write order.
struct ExpectedImage {
  std::string name;
  uint8_t type_id[2];
  uint32_t start;   // in the file
  uint32_t length;  // bytes written
};

struct Sample {
  std::vector<uint8_t> file;
  std::vector<ExpectedImage> images;  // in write order
};

// Byte counts of the sample's sections (images: body lengths).
struct SampleSizes {
  uint32_t certificate = 0x600;
  uint32_t isp_iq = 0x5000;
  uint32_t boot_body = 0x1F000;  // one whole block with its header
  uint32_t boot_2_reserved = 0x8000;  // boot_2 carries a slot flag: this is its length
  uint32_t firmware_1_body = 0x30000;
  uint32_t firmware_2_body = 0x9000;
  uint32_t nn_body = 0x12000;
  uint32_t other = 10;
};

// A firmware with every section kind: both certificates, ISP IQ Data, boot_1,
// boot_2 with a slot flag, firmware_1, firmware_2, NN and two other entries
// (type ids 0x31 0x32 and 0x41 0x42), each section aligned to 0x1000.
Sample sample_firmware(const SampleSizes &sizes = {});

void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes);

}  // namespace fwbuild
