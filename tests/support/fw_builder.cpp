#include "tests/support/fw_builder.h"

#include <fstream>
#include <stdexcept>

namespace fwbuild {

namespace {

void put_le32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t align(uint32_t v) { return (v + 0xFFF) & ~0xFFFu; }

}  // namespace

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x >> 11);
  }
  if (n > 0 && out[0] == 0xFF) out[0] = 0x5A;
  return out;
}

std::vector<uint8_t> image(uint32_t body_len, uint32_t seed, int slot, bool signature) {
  std::vector<uint8_t> img = pattern(size_t{body_len} + 0x1000, seed);
  if (signature) {
    img[0] = 'Q';
    img[1] = 'M';
    img[2] = 'Z';
  } else if (img[0] == 'Q') {
    img[0] = 'q';
  }
  // No accidental slot flag: a pattern byte pair of 1, 1 would set one.
  for (int k = 1; k <= 8; ++k) {
    img[0x20 * k] = static_cast<uint8_t>(0x10 + k);
    img[0x20 * k + 1] = 0x00;
  }
  if (slot != 0) {
    img[0x20 * slot] = 1;
    img[0x20 * slot + 1] = 1;
  }
  put_le32(img, 0x2E0, body_len);
  return img;
}

std::vector<uint8_t> control_info(size_t size, uint32_t seed) { return pattern(size, seed); }

FirmwareBuilder::FirmwareBuilder(size_t size) : file_(size, 0xFF) {}

FirmwareBuilder &FirmwareBuilder::entry(int entry_offset, uint32_t str_address, uint32_t fw_w_len,
                                        uint8_t type0, uint8_t type1, uint8_t present) {
  const auto at = static_cast<size_t>(entry_offset);
  if (file_.size() < at + 16) file_.resize(at + 16, 0xFF);
  put_le32(file_, at, str_address);
  put_le32(file_, at + 4, fw_w_len);
  file_[at + 8] = type0;
  file_[at + 9] = type1;
  file_[at + 15] = present;
  return *this;
}

FirmwareBuilder &FirmwareBuilder::put(size_t offset, const std::vector<uint8_t> &bytes) {
  if (file_.size() < offset + bytes.size()) file_.resize(offset + bytes.size(), 0xFF);
  std::copy(bytes.begin(), bytes.end(), file_.begin() + static_cast<std::ptrdiff_t>(offset));
  return *this;
}

FirmwareBuilder &FirmwareBuilder::section(const SectionKind &kind, uint32_t start, uint32_t fw_w_len,
                                          const std::vector<uint8_t> &content, uint8_t present) {
  entry(kind.entry_offset, start, fw_w_len, kind.type_id[0], kind.type_id[1], present);
  return put(start, content);
}

FirmwareBuilder &FirmwareBuilder::resize(size_t size) {
  file_.resize(size, 0xFF);
  return *this;
}

Sample sample_firmware(const SampleSizes &z) {
  FirmwareBuilder fb;
  Sample s;
  uint32_t at = 0x3000;
  auto add = [&](const SectionKind &k, const std::vector<uint8_t> &content, uint32_t reserved,
                 uint32_t written) {
    fb.section(k, at, reserved, content);
    s.images.push_back({k.name, {k.type_id[0], k.type_id[1]}, at, written});
    at = align(at + static_cast<uint32_t>(content.size()));
  };
  add(certificate_1, pattern(z.certificate, 1), z.certificate, z.certificate);
  add(certificate_2, pattern(z.certificate / 2, 2), z.certificate / 2, z.certificate / 2);
  add(isp_iq, pattern(z.isp_iq, 3), z.isp_iq, z.isp_iq);
  add(boot_1, image(z.boot_body, 4), z.boot_body + 0x1000, z.boot_body + 0x1000);
  {
    // Slot flag: the whole reserved length is the image, whatever the body length says.
    std::vector<uint8_t> b2 = image(0x100, 5, 3);
    std::vector<uint8_t> fill = pattern(z.boot_2_reserved, 55);
    std::copy(fill.begin() + static_cast<std::ptrdiff_t>(b2.size()), fill.end(), std::back_inserter(b2));
    add(boot_2, b2, z.boot_2_reserved, z.boot_2_reserved);
  }
  add(firmware_1, image(z.firmware_1_body, 6), z.firmware_1_body + 0x2000, z.firmware_1_body + 0x1000);
  add(firmware_2, image(z.firmware_2_body, 7), z.firmware_2_body + 0x1000, z.firmware_2_body + 0x1000);
  add(nn, image(z.nn_body, 8, 0, false), z.nn_body + 0x1000, z.nn_body + 0x1000);
  const SectionKind other_a{"Other FW", other_entry(0), {0x31, 0x32}};
  const SectionKind other_b{"Other FW", other_entry(5), {0x41, 0x42}};
  add(other_a, pattern(z.other, 9), z.other, z.other);
  add(other_b, pattern(z.other * 3, 10), z.other * 3, z.other * 3);
  s.file = fb.bytes();
  return s;
}

void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

}  // namespace fwbuild
