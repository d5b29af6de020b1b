// Everything the NAND flows lay down on the flash or read from files:
// geometry, spare bytes, block map, partition and FTL records, firmware-file
// entries, image headers, type ids, and the CRC-16 of the tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Geometry: fixed; the chip ID read at the start of a run does not change it.
inline constexpr int block_nmb = 1024;
inline constexpr int page_per_block_nmb = 64;
inline constexpr int page_size = 2048;
inline constexpr int spare_size = 64;
inline constexpr int spare_size_w = 4;  // spare bytes carried by page reads and writes
inline constexpr int block_w_start = 24;

inline constexpr int page_raw_size = page_size + spare_size;                  // 2112
inline constexpr int page_xfer_size = page_size + spare_size_w;               // 2052
inline constexpr int block_raw_size = page_raw_size * page_per_block_nmb;     // 135168
inline constexpr int64_t device_raw_size = int64_t{block_raw_size} * block_nmb;  // 138412032

// Spare bytes (offsets within the spare area).
inline constexpr int spare_bad_marker = 0;  // page 0 of a block; 0xFF good
inline constexpr int spare_page_kind = 1;
inline constexpr int spare_crc_lo = 2;
inline constexpr int spare_crc_hi = 3;
inline constexpr uint8_t page_kind_control_info = 0xD0;
inline constexpr uint8_t page_kind_partition_table = 0xC4;
inline constexpr uint8_t bad_block_mark = 0x00;

// Block map.
inline constexpr int ctrl_info_block_first = 0;
inline constexpr int ctrl_info_block_count = 6;
inline constexpr int partition_block_first = 16;
inline constexpr int partition_block_count = 8;
inline constexpr int partition_copy_block_first = 20;
inline constexpr int partition_copy_block_count = 4;
inline constexpr int ftl_block_first = block_nmb - 4;  // 1020
inline constexpr int ftl_block_count = 4;

// Partition table page: 16 records of 128 bytes.
inline constexpr int partition_records_per_page = 16;
inline constexpr int partition_blocks_per_record = 48;
inline constexpr uint8_t partition_record_magic[4] = {0x87, 0xFF, 0x35, 0xFF};

struct partition_record_t {
  uint8_t magic[4];
  uint8_t type_id[2];      // as in the firmware file's entry
  uint8_t block_total[2];  // blocks of the whole image, little-endian
  uint8_t index[2];        // record index within the image, little-endian
  uint8_t reserved[22];    // 0xFF
  uint8_t blocks[96];      // 48 little-endian block numbers; 0xFFFF unused
};
static_assert(sizeof(partition_record_t) == 128);

// FTL table page: "BBTTRRbb", then up to 255 entries of 8 bytes.
inline constexpr uint8_t ftl_table_magic[8] = {'B', 'B', 'T', 'T', 'R', 'R', 'b', 'b'};
inline constexpr int ftl_entries_max = 255;

struct ftl_record_t {
  uint8_t head[2];     // "BB"
  uint8_t logical[2];  // the failed block, little-endian
  uint8_t backup[2];   // the block that holds its data, little-endian
  uint8_t tail[2];     // "bb"
};
static_assert(sizeof(ftl_record_t) == 8);

// Firmware file: partition entries (16 bytes used).
struct fw_part_entry_t {
  uint8_t str_address[4];  // section start in the file
  uint8_t fw_w_len[4];     // reserved length (certificates: bytes 0-1 only)
  uint8_t type_id[2];
  uint8_t unused[5];
  uint8_t present;  // 1: process this section
};
static_assert(sizeof(fw_part_entry_t) == 16);

inline constexpr int entry_certificate_1 = 0x30;
inline constexpr int entry_certificate_2 = 0x40;
inline constexpr int entry_boot_1 = 0x2020;
inline constexpr int entry_boot_2 = 0x2040;
inline constexpr int entry_firmware_1 = 0x2060;
inline constexpr int entry_firmware_2 = 0x2080;
inline constexpr int entry_isp_iq = 0x20A0;
inline constexpr int entry_nn = 0x20C0;
inline constexpr int entry_other_first = 0x2100;
inline constexpr int entry_other_stride = 32;
inline constexpr int entry_other_count = 8;

inline constexpr uint8_t type_id_certificate_1[2] = {0xC2, 0xE9};
inline constexpr uint8_t type_id_certificate_2[2] = {0xC3, 0xE1};
inline constexpr uint8_t type_id_boot_1[2] = {0xC5, 0xD1};
inline constexpr uint8_t type_id_boot_2[2] = {0xC6, 0xC9};
inline constexpr uint8_t type_id_firmware_1[2] = {0xC7, 0xC1};
inline constexpr uint8_t type_id_firmware_2[2] = {0xC8, 0xB9};
inline constexpr uint8_t type_id_isp_iq[2] = {0xCE, 0x89};
inline constexpr uint8_t type_id_nn[2] = {0xCF, 0x81};

// Image header of boot, firmware and NN sections.
inline constexpr char image_signature[3] = {'Q', 'M', 'Z'};
inline constexpr int image_slot_stride = 0x20;  // slots at 0x20 * k, k = 1..8
inline constexpr int image_slot_count = 8;
inline constexpr int image_body_len_offset = 0x2E0;
inline constexpr int image_len_extra = 0x1000;

// Data files.
inline constexpr const char *control_info_file_name = "flash_control_info.bin";
inline constexpr const char *boot_recover_file_name = "boot_recover.bin";
inline constexpr const char *dump_file_name = "flash_log.bin";
inline constexpr const char *generated_image_file_name = "flash_nand_generate_image.bin";
inline constexpr size_t exe_path_limit = 1024;  // the program-directory path buffer
inline constexpr int control_info_size = 2 * page_size;  // the two pages used of the file

// CRC-16/ARC parameters of the tables (not the XMODEM CRC).
inline constexpr int order = 16;
inline constexpr uint64_t polynom = 0x8005;
inline constexpr uint64_t crcxor = 0;
inline constexpr int refin = 1;
inline constexpr int refout = 1;
inline constexpr uint64_t crcinit_direct = 0;
inline constexpr uint64_t crcmask = 0xFFFF;
inline constexpr uint64_t crchighbit = 0x8000;

uint64_t reflect(uint64_t crc, int bitnum);
uint64_t crc16(const uint8_t *p, uint64_t len);

// Little-endian fields, assembled byte by byte whatever the host.
inline uint16_t rd_le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t rd_le32(const uint8_t *p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline void wr_le16(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void wr_le32(uint8_t *p, uint32_t v) {
  wr_le16(p, v);
  wr_le16(p + 2, v >> 16);
}

// A data file shipped with the programmer: the name in the current directory,
// else the shipped copy, beside the program or else in ../share/tidewrite/
// ("exe path %s\n\r"). Prints the search's messages; nullopt when no place
// can be read or the program path is too long.
std::optional<std::vector<uint8_t>> nand_read_data_file(const char *name);

// The control information, control_info_size bytes, found as above. A shorter
// file is padded with 0xFF (warning on stderr); an empty file is refused.
std::optional<std::vector<uint8_t>> nand_load_control_info();
// Page 0 or 1 of the control information as a page+spare buffer (2112 bytes):
// spare 0xFF, 0xD0, crc low, crc high, then 0xFF.
void nand_control_info_page(const uint8_t *info, int page, uint16_t crc, uint8_t *out);

// Partition records and table pages.
bool partition_record_empty(const uint8_t *rec);  // type-id bytes both 0xFF
void partition_record_init(uint8_t *rec);          // 128 bytes of 0xFF
void partition_record_set_block(uint8_t *rec, int i, int block);
void partition_record_complete(uint8_t *rec, const uint8_t *id, int block_total, int index);
// Puts rec over the first empty record of the table page ("partition_table
// record %d is empty"); the record index, or -1 when all 16 are in use.
int partition_table_insert(uint8_t *page, const uint8_t *rec);
// CRC of the 2048 data bytes ("crc = 0x%lx"), then spare 0xFF, 0xC4, crc.
uint16_t partition_table_seal(uint8_t *page);
