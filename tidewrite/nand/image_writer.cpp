#include "tidewrite/nand/image_writer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "tidewrite/nand/nand_commands.h"
#include "tidewrite/nand/nand_layout.h"

int block_w_nmb = block_w_start;
std::vector<uint8_t> fw_g_buf;

namespace {


// What differs between the device form and the copy form: where a built block
// goes, and how a finished record reaches the table. Everything else is one
// algorithm, so the offline image and the board cannot drift apart.
struct image_sink {
  const char *fn_name;
  // Places the block at block_w_nmb: 0 placed, 1 that block failed (the
  // caller moves on to the next one), image_link_lost.
  int (*place_block)(UARTHDL hdl, const uint8_t *block, uint8_t *data_r, const char *fn_name);
  // Adds the finished record to the table, using block as scratch space.
  int (*store_record)(UARTHDL hdl, const uint8_t *rec, uint8_t *block, uint8_t *data_r,
                      const char *fn_name);
};

void report_table_full(const uint8_t *rec) {
  printf("partition_table has no empty record, record %d of type_id 0x%x 0x%x not stored !!!\n\r",
         rd_le16(rec + 8), rec[5], rec[4]);
}

int device_place_block(UARTHDL hdl, const uint8_t *block, uint8_t *data_r, const char *fn_name) {
  nand_write_block(hdl, block, block_w_nmb);
  const int c = nand_verify_block(hdl, block, block_w_nmb, data_r);
  if (c == nand_link_lost) return image_link_lost;
  if (c == nand_check_equal) return 0;
  printf("%s, block %d write fail! \n\r", fn_name, block_w_nmb);
  return 1;
}

int device_store_record(UARTHDL hdl, const uint8_t *rec, uint8_t *block, uint8_t *,
                        const char *fn_name) {
  memset(block, 0xFF, block_raw_size);
  uint8_t *page = block;
  // The first table block whose bad-block marker is clear holds the current
  // table (or is erased, which reads as a table with no records).
  for (int b = partition_block_first; b < partition_block_first + partition_block_count; ++b) {
    if (nand_read_page(hdl, page, b * page_per_block_nmb) < page_xfer_size) return image_link_lost;
    if (page[page_size + spare_bad_marker] == 0xFF) break;
  }
  if (partition_table_insert(page, rec) < 0) {
    report_table_full(rec);
    return image_table_full;
  }
  partition_table_seal(page);
  const int w = nand_write_copies(page, partition_block_first, partition_block_count, fn_name);
  if (w == nand_link_lost) return image_link_lost;
  if (w == nand_copies_none) {
    printf("partition_table: no block of %d-%d verified, record not stored !!!\n\r",
           partition_block_first, partition_block_first + partition_block_count - 1);
    return image_table_not_stored;
  }
  printf("update partition_table done \n\r");
  return image_placed;
}

uint8_t *image_block_at(int block) {
  if (fw_g_buf.size() < static_cast<size_t>(device_raw_size)) {
    fw_g_buf.resize(static_cast<size_t>(device_raw_size), 0xFF);
  }
  return fw_g_buf.data() + static_cast<size_t>(block) * block_raw_size;
}

int copy_place_block(UARTHDL, const uint8_t *block, uint8_t *, const char *) {
  memcpy(image_block_at(block_w_nmb), block, block_raw_size);
  return 0;
}

int copy_store_record(UARTHDL, const uint8_t *rec, uint8_t *block, uint8_t *, const char *) {
  memcpy(block, image_block_at(partition_block_first), block_raw_size);
  if (partition_table_insert(block, rec) < 0) {
    report_table_full(rec);
    return image_table_full;
  }
  partition_table_seal(block);
  memcpy(image_block_at(partition_block_first), block, block_raw_size);
  memcpy(image_block_at(partition_block_first + 1), block, block_raw_size);
  printf("update partition_table done \n\r");
  return image_placed;
}

// Pages 64n .. 64n+63 of the image with the image spare bytes; pages past the
// image's end stay erased, data and spare alike.
void build_block(uint8_t *block, const uint8_t *fw_buf, int fw_len, int n, const uint8_t *spare_buf) {
  memset(block, 0xFF, block_raw_size);
  for (int j = 0; j < page_per_block_nmb; ++j) {
    const int64_t start = (int64_t{n} * page_per_block_nmb + j) * page_size;
    if (start >= fw_len) break;
    uint8_t *page = block + j * page_raw_size;
    memcpy(page, fw_buf + start, static_cast<size_t>(std::min<int64_t>(page_size, fw_len - start)));
    memcpy(page + page_size, spare_buf, spare_size);
  }
}

int write_image(UARTHDL hdl, const uint8_t *fw_buf, int fw_len, const uint8_t *id,
                const image_sink &sink) {
  const int len = fw_len > 0 ? fw_len : 0;
  const int page_w_total = (len + page_size - 1) / page_size;
  const int block_w_total = (page_w_total + page_per_block_nmb - 1) / page_per_block_nmb;
  const int rec_w_total = (block_w_total + partition_blocks_per_record - 1) / partition_blocks_per_record;
  printf("fw_len = %d , block_w_total = %d, rec_w_total = %d\n\r", fw_len, block_w_total, rec_w_total);
  if (rec_w_total == 0) return image_placed;

  std::vector<uint8_t> data(block_raw_size);
  std::array<uint8_t, page_raw_size> data_r;
  data_r.fill(0xFF);
  uint8_t spare_buf[spare_size];
  uint8_t rec[sizeof(partition_record_t)];

  for (int x = 0; x < rec_w_total; ++x) {
    partition_record_init(rec);
    memset(spare_buf, 0xFF, sizeof spare_buf);
    spare_buf[spare_page_kind] = id[0];
    int i = 0;
    while (x * partition_blocks_per_record + i < block_w_total && i < partition_blocks_per_record) {
      if (block_w_nmb >= block_nmb) {
        printf("Error block_w_nmb>block_nmb %d\n\r", block_nmb);
        return image_cursor_past_end;
      }
      const int n = x * partition_blocks_per_record + i;
      build_block(data.data(), fw_buf, len, n, spare_buf);
      const int placed = sink.place_block(hdl, data.data(), data_r.data(), sink.fn_name);
      if (placed == image_link_lost) return image_link_lost;
      if (placed != 0) {
        ++block_w_nmb;  // the same image block goes to the next one
        continue;
      }
      partition_record_set_block(rec, i, block_w_nmb);
      printf("block_w_total=%d , block_w_done=%d , block_w_nmb=%d  \n\r", block_w_total, n, block_w_nmb);
      ++i;
      ++block_w_nmb;
    }
    partition_record_complete(rec, id, block_w_total, x);
    printf("image download done \n\r");
    const int stored = sink.store_record(hdl, rec, data.data(), data_r.data(), sink.fn_name);
    if (stored != image_placed) return stored;
  }
  return image_placed;
}

}  // namespace

int nand_load_image_block(UARTHDL hdl, const uint8_t *fw_buf, int fw_len, const uint8_t *id) {
  static constexpr image_sink device{"nand_load_image_block", device_place_block, device_store_record};
  return write_image(hdl, fw_buf, fw_len, id, device);
}

int nand_image_copy_block(UARTHDL hdl, const uint8_t *fw_buf, int fw_len, const uint8_t *id) {
  static constexpr image_sink copy{"nand_image_copy_block", copy_place_block, copy_store_record};
  return write_image(hdl, fw_buf, fw_len, id, copy);
}

int partition_table_copy() {
  printf("Lira nand partition_table_copy 20-23\n\r");
  std::array<uint8_t, page_raw_size> page;
  std::array<uint8_t, page_raw_size> data_r;
  page.fill(0xFF);
  data_r.fill(0xFF);
  int found = -1;
  for (int b = partition_block_first; b < partition_copy_block_first; ++b) {
    if (nand_read_page(g_uart_hdl, page.data(), b * page_per_block_nmb) < page_xfer_size) {
      return image_link_lost;
    }
    if (page[page_size + spare_bad_marker] == 0xFF &&
        page[page_size + spare_page_kind] == page_kind_partition_table) {
      found = b;
      break;
    }
    printf("Block %d is bad block!\n\r", b);
  }
  if (found < 0) {
    printf("can not find partition table !\n\r");
    return -1;
  }
  printf("partition_table read OK, Block %d \n\r", found);
  for (int t = partition_copy_block_first; t < partition_copy_block_first + partition_copy_block_count;
       ++t) {
    nand_write_page(g_uart_hdl, page.data(), t * page_per_block_nmb);
    const int c = nand_verify_page(g_uart_hdl, page.data(), t * page_per_block_nmb, data_r.data());
    if (c == nand_link_lost) return image_link_lost;
    if (c == nand_check_differs) {
      printf("bolck %d write fail! \n\r", t);
      nand_mark_bad_block(t, data_r.data());
    }
  }
  printf("Lira nand partition_table_copy done\n\r");
  return 0;
}
