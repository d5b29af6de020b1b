// Offline NAND image for mass production: the whole device in the raw layout,
// built in memory without a board and appended to
// "flash_nand_generate_image.bin" in the current directory.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "tidewrite/main_flow.h"
#include "tidewrite/nand/image_writer.h"
#include "tidewrite/nand/nand_flows.h"
#include "tidewrite/nand/nand_layout.h"
#include "tidewrite/nand/sections.h"
#include "tidewrite/options.h"
#include "tidewrite/output_file.h"
#include "tidewrite/stop_signal.h"

namespace {

// The image goes out in pieces of this size, with a look for a stop signal
// between them: a slow disk may take seconds for the whole 132 MiB.
constexpr int64_t kWriteChunk = int64_t{4} << 20;

nand_image_write_hook_fn g_write_hook = nullptr;

// The recovery image goes from block 1 upwards; from block 16 on it would
// land on the partition table it is about to be listed in.
constexpr int boot_recover_first_block = 1;
constexpr int boot_recover_max_blocks = partition_block_first - boot_recover_first_block;
constexpr int64_t boot_recover_max_len = int64_t{boot_recover_max_blocks} * page_per_block_nmb * page_size;

uint8_t *raw_block(int block) { return fw_g_buf.data() + static_cast<size_t>(block) * block_raw_size; }

void release_image() { std::vector<uint8_t>().swap(fw_g_buf); }

// The whole device, erased. Filling 132 MiB page by page costs more than
// writing it out; asking for huge pages before the fill cuts the page faults
// 512-fold. The advice is only a hint: without it the image is the same.
void allocate_image() {
  const auto size = static_cast<size_t>(device_raw_size);
  fw_g_buf.clear();
  fw_g_buf.reserve(size);
  constexpr uintptr_t huge = uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<uintptr_t>(fw_g_buf.data());
  const uintptr_t first = (begin + huge - 1) & ~(huge - 1);
  const uintptr_t last = (begin + size) & ~(huge - 1);
  if (last > first) madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
  fw_g_buf.assign(size, 0xFF);
}

// Pages 0 and 1 of blocks 0 and 1: the control information with its whole
// spare area.
int copy_control_info() {
  const std::optional<std::vector<uint8_t>> info = nand_load_control_info();
  if (!info) return -1;
  const auto crc = static_cast<uint16_t>(crc16(info->data(), page_size));
  printf("crc = 0x%lx \n\r", static_cast<unsigned long>(crc));
  for (int b = 0; b < 2; ++b)
    for (int p = 0; p < 2; ++p) nand_control_info_page(info->data(), p, crc, raw_block(b) + p * page_raw_size);
  printf("flash_control_info done for copy \n\r");
  return 0;
}

// Appends the image and syncs it; a failed, short, unsynced or interrupted
// write takes the file back to the length it had, so a later run never
// appends after half an image and a success line always means the image is
// on the storage.
int write_image_file() {
  g_cmd_option.log_file = generated_image_file_name;
  output_file out;
  std::string why;
  bool ok = out.open(generated_image_file_name, why);
  if (ok) {
    const auto total = static_cast<int64_t>(fw_g_buf.size());
    for (int64_t done = 0; ok && done < total;) {
      const int64_t n = std::min(kWriteChunk, total - done);
      ok = out.append(fw_g_buf.data() + done, n, why);
      done += n;
      if (g_write_hook != nullptr) g_write_hook(done, total);
      if (ok && stop_signal_caught() != 0) {
        ok = false;
        why = "interrupted";
      }
    }
    ok = ok && out.sync(why);
    if (!ok) out.take_back();
    if (!out.close(why) && ok) {
      out.take_back();
      ok = false;
    }
    // The image stays only when no stop came before this point; one that
    // comes later no longer changes the outcome.
    if (ok && stop_signals_hold() != 0) {
      out.take_back();
      ok = false;
      why = "interrupted";
    }
  }
  if (ok) return 0;
  if (stop_signal_caught() != 0) return -1;  // the main flow says why
  printf("generate image: writing %s failed (%s), no image written\n\r", generated_image_file_name, why.c_str());
  fprintf(stderr, "%s: %s\n", generated_image_file_name, why.c_str());
  return -1;
}

// A stop signal ends the generation between its steps, before anything is
// written.
bool stopped() { return stop_signal_caught() != 0; }

}  // namespace

// Every present section, in the order and by the rules of the normal write,
// copied from the firmware buffer itself (no per-section copy: the image is
// already 132 MiB). The rules are checked for all sections first, so that a
// rejected section costs no copying.
int nand_image_copy_sections(const uint8_t *fw, int fw_len) {
  std::vector<nand_section_t> plan;
  if (nand_plan_sections(fw, fw_len, false, plan) < 0) {
    plan.clear();
    nand_plan_sections(fw, fw_len, true, plan);
    return -1;
  }
  // An image that holds only the recovery boot image would program boards
  // without their firmware.
  if (nand_plan_is_empty(plan)) {
    nand_report_nothing_to_write("generate image", g_cmd_option.fw_file, fw_len, nand_no_section_why,
                                 "no image written");
    return -1;
  }
  for (const nand_section_t &s : plan) {
    printf("type_id = 0x%x 0x%x\n\r", s.type_id[1], s.type_id[0]);
    if (s.skipped) continue;
    nand_print_section_write(s);
    const int placed = nand_image_copy_block(g_uart_hdl, fw + s.str_address, s.length, s.type_id);
    if (placed == image_cursor_past_end) {
      printf("generate image: the sections run past block %d, no image written\n\r", block_nmb - 1);
      return -1;
    }
    if (placed != image_placed) {
      // The writer stops an image whose record finds no room, so the image
      // would lack the rest of that section; the board's own write refuses
      // such a firmware the same way.
      printf("generate image: section at 0x%x not placed whole, no image written\n\r",
             static_cast<unsigned>(s.str_address));
      return -1;
    }
  }
  return 0;
}

void nand_image_set_write_hook(nand_image_write_hook_fn hook) { g_write_hook = hook; }

int nand_flash_generate_image() {
  block_w_nmb = block_w_start;
  const char *fw_name = g_cmd_option.fw_file;
  printf("Lira nand flash generate image\n\r");
  // Refused before 132 MiB are built for a file that could never take them
  // (a FIFO would block the run for good, a device would swallow the image).
  if (const std::string why = output_file_refusal(generated_image_file_name); !why.empty()) {
    fprintf(stderr, "tidewrite: %s: %s; no image written\n", generated_image_file_name, why.c_str());
    return -1;
  }

  try {
    allocate_image();
  } catch (const std::bad_alloc &) {
    release_image();
    printf("generate image: cannot allocate %lld bytes for the image, no image written\n\r",
           static_cast<long long>(device_raw_size));
    return -1;
  }

  if (stopped() || copy_control_info() < 0) return release_image(), -1;

  g_cmd_option.fw_file = fw_name;
  int fw_len = 0;
  auto fw = read_fw_file(fw_name, &fw_len);
  if (!fw) {
    printf("read %s return NULL fw_buf, goto exit !!!\n\r", fw_name);
    return release_image(), -1;
  }
  printf("%s length = %d \n\r", fw_name, fw_len);

  block_w_nmb = block_w_start;
  if (stopped() || nand_image_copy_sections(fw->data(), fw_len) < 0) return release_image(), -1;
  fw.reset();

  g_cmd_option.fw_file = boot_recover_file_name;
  auto recover = nand_read_data_file(boot_recover_file_name);
  if (!recover) return release_image(), -1;
  if (static_cast<int64_t>(recover->size()) > boot_recover_max_len) {
    printf("%s is %zu bytes, more than %lld (%d blocks) would overwrite the partition table, no image written\n\r",
           boot_recover_file_name, recover->size(), static_cast<long long>(boot_recover_max_len),
           boot_recover_max_blocks);
    return release_image(), -1;
  }

  // Only the recovery image is listed: the table of the sections goes.
  std::memset(raw_block(partition_block_first), 0xFF,
              static_cast<size_t>(partition_block_count) * block_raw_size);
  const uint8_t type_id[2] = {type_id_boot_1[0], type_id_boot_1[1]};
  printf("type_id = 0x%x 0x%x\n\r", type_id[1], type_id[0]);
  const int recover_len = static_cast<int>(recover->size());
  printf("boot_1 str_address = 0x%x, fw_w_imglen = %d\n\r", 0, recover_len);
  block_w_nmb = boot_recover_first_block;
  if (nand_image_copy_block(g_uart_hdl, recover->data(), recover_len, type_id) != image_placed) {
    printf("generate image: %s not placed whole, no image written\n\r", boot_recover_file_name);
    return release_image(), -1;
  }
  recover.reset();

  int r = stopped() ? -1 : write_image_file();
  release_image();
  return r;
}
