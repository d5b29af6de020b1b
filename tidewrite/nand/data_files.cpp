// The data files that ship with the programmer, and the control information
// built from one of them.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tidewrite/data_search.h"
#include "tidewrite/main_flow.h"
#include "tidewrite/nand/nand_layout.h"
#include "tidewrite/options.h"

std::optional<std::vector<uint8_t>> nand_read_data_file(const char *name) {
  int len = 0;
  if (auto buf = read_fw_file(name, &len)) return buf;
  printf("read %s return NULL fw_buf, use default !!!\n\r", name);
  const std::optional<std::string> path = shipped_data_file(name, exe_path_limit);
  if (!path) {
    // Never cut a path to fit: a truncated directory could name another file.
    fprintf(stderr, "%s: the program's own path cannot be read or is longer than %zu bytes\n", name,
            exe_path_limit);
    printf("read %s return NULL fw_buf, goto exit !!!\n\r", name);
    return std::nullopt;
  }
  printf("exe path %s\n\r", path->c_str());
  if (auto buf = read_fw_file(path->c_str(), &len)) return buf;
  if (access(path->c_str(), F_OK) != 0)
    fprintf(stderr, "%s is in none of the places searched: %s\n", name, data_file_places(exe_path_limit).c_str());
  printf("read %s return NULL fw_buf, goto exit !!!\n\r", path->c_str());
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> nand_load_control_info() {
  const char *saved = g_cmd_option.fw_file;
  g_cmd_option.fw_file = control_info_file_name;  // messages name the file being read
  std::optional<std::vector<uint8_t>> file = nand_read_data_file(control_info_file_name);
  g_cmd_option.fw_file = saved;
  if (!file) return std::nullopt;
  if (file->empty()) {
    printf("%s is empty, control information missing !!!\n\r", control_info_file_name);
    return std::nullopt;
  }
  if (file->size() < static_cast<size_t>(control_info_size)) {
    // A package may ship only the first page; the rest reads as erased flash.
    fprintf(stderr, "warning: %s holds %zu bytes, the missing %zu of %d are taken as 0xFF\n",
            control_info_file_name, file->size(), control_info_size - file->size(),
            control_info_size);
    file->resize(control_info_size, 0xFF);
  }
  file->resize(control_info_size);
  return file;
}

void nand_control_info_page(const uint8_t *info, int page, uint16_t crc, uint8_t *out) {
  memcpy(out, info + page * page_size, page_size);
  uint8_t *spare = out + page_size;
  memset(spare, 0xFF, spare_size);
  spare[spare_page_kind] = page_kind_control_info;
  spare[spare_crc_lo] = static_cast<uint8_t>(crc);
  spare[spare_crc_hi] = static_cast<uint8_t>(crc >> 8);
}

