#include "tidewrite/nand/nand_layout.h"

#include <cstdio>
#include <cstring>


uint64_t reflect(uint64_t crc, int bitnum) {
  uint64_t out = 0;
  for (int i = 0; i < bitnum; ++i) {
    out = (out << 1) | (crc & 1);
    crc >>= 1;
  }
  return out;
}

// Bit by bit, as the tables' CRC-16/ARC is defined; only whole table pages
// pass through here, so a lookup table would buy nothing measurable.
uint64_t crc16(const uint8_t *p, uint64_t len) {
  uint64_t crc = crcinit_direct;
  for (uint64_t n = 0; n < len; ++n) {
    const uint64_t c = refin ? reflect(p[n], 8) : p[n];
    for (uint64_t j = 0x80; j != 0; j >>= 1) {
      uint64_t bit = crc & crchighbit;
      crc <<= 1;
      if (c & j) bit ^= crchighbit;
      if (bit) crc ^= polynom;
    }
  }
  if (refout) crc = reflect(crc, order);
  return (crc ^ crcxor) & crcmask;
}

bool partition_record_empty(const uint8_t *rec) { return rec[4] == 0xFF && rec[5] == 0xFF; }

int partition_table_insert(uint8_t *page, const uint8_t *rec) {
  for (int r = 0; r < partition_records_per_page; ++r) {
    uint8_t *slot = page + r * static_cast<int>(sizeof(partition_record_t));
    if (partition_record_empty(slot)) {
      printf("partition_table record %d is empty \n\r", r);
      memcpy(slot, rec, sizeof(partition_record_t));
      return r;
    }
  }
  return -1;
}

uint16_t partition_table_seal(uint8_t *page) {
  const auto crc = static_cast<uint16_t>(crc16(page, page_size));
  printf("crc = 0x%lx \n\r", static_cast<unsigned long>(crc));
  uint8_t *spare = page + page_size;
  spare[spare_bad_marker] = 0xFF;
  spare[spare_page_kind] = page_kind_partition_table;
  spare[spare_crc_lo] = static_cast<uint8_t>(crc);
  spare[spare_crc_hi] = static_cast<uint8_t>(crc >> 8);
  return crc;
}

void partition_record_init(uint8_t *rec) { memset(rec, 0xFF, sizeof(partition_record_t)); }

void partition_record_set_block(uint8_t *rec, int i, int block) {
  wr_le16(rec + offsetof(partition_record_t, blocks) + 2 * i, static_cast<uint32_t>(block));
}

void partition_record_complete(uint8_t *rec, const uint8_t *id, int block_total, int index) {
  memcpy(rec, partition_record_magic, sizeof partition_record_magic);
  rec[4] = id[0];
  rec[5] = id[1];
  wr_le16(rec + 6, static_cast<uint32_t>(block_total));
  wr_le16(rec + 8, static_cast<uint32_t>(index));
}
