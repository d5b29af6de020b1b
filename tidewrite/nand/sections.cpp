#include "tidewrite/nand/sections.h"

#include <algorithm>
#include <cstdio>

#include "tidewrite/nand/nand_layout.h"

namespace {

struct section_desc {
  const char *write_label;   // "<label> str_address = 0x%x, <field> = %d"
  const char *length_field;  // fw_w_len or fw_w_imglen
  const uint8_t *type_id;    // null: any type id
  const char *type_message;
  const char *size_label;  // prefix of the size message; null: no image header
  const char *size_message;
};

const section_desc &desc_of(nand_section_kind kind) {
  static constexpr const char *image_too_big = "fw_w_imglen > partition table image size define!!!\n\r";
  static const section_desc table[] = {
      {"certificate_1", "fw_w_len", type_id_certificate_1, "type_id is not certificate_1\n\r", nullptr,
       nullptr},
      {"certificate_2", "fw_w_len", type_id_certificate_2, "type_id is not certificate_2\n\r", nullptr,
       nullptr},
      {"ISP IQ Data", "fw_w_len", type_id_isp_iq, "type_id is not ISP IQ Data\n\r", nullptr, nullptr},
      {"boot_1", "fw_w_imglen", type_id_boot_1, "type_id is not boot_1\n\r", "boot_1", image_too_big},
      {"boot_2", "fw_w_imglen", type_id_boot_2, "type_id is not boot_2\n\r", "boot_2", image_too_big},
      {"firmware_1", "fw_w_imglen", type_id_firmware_1, "type_id is not firmware_1\n\r", "FW_1",
       image_too_big},
      {"firmware_2", "fw_w_imglen", type_id_firmware_2, "type_id is not firmware_2\n\r", "FW_2",
       image_too_big},
      {"NN", "fw_w_imglen", type_id_nn, "type_id is not NN\n\r", "NN",
       "fw_w_imglen > partition table NN size define!!!\n\r"},
      {"Other FW", "fw_w_len", nullptr, nullptr, nullptr, nullptr},
  };
  return table[static_cast<int>(kind)];
}

bool slot_flag_set(const uint8_t *section) {
  for (int k = 1; k <= image_slot_count; ++k) {
    const uint8_t *slot = section + k * image_slot_stride;
    if (slot[0] == 1 && slot[1] == 1) return true;
  }
  return false;
}

}  // namespace

void nand_print_section_write(const nand_section_t &s) {
  const section_desc &d = desc_of(s.kind);
  printf("%s str_address = 0x%x, %s = %d\n\r", d.write_label, static_cast<unsigned>(s.str_address),
         d.length_field, s.length);
}

int nand_section_rule(const uint8_t *fw, int fw_len, nand_section_kind kind, int entry_offset,
                      bool check_type_id, bool print, nand_section_t &out) {
  const section_desc &d = desc_of(kind);
  out = nand_section_t{kind, entry_offset, {0xFF, 0xFF}, 0, 0, true};
  // An entry that the file does not hold describes nothing.
  if (entry_offset < 0 || int64_t{entry_offset} + int64_t{sizeof(fw_part_entry_t)} > fw_len) return 0;
  const uint8_t *entry = fw + entry_offset;
  out.type_id[0] = entry[offsetof(fw_part_entry_t, type_id)];
  out.type_id[1] = entry[offsetof(fw_part_entry_t, type_id) + 1];
  const bool certificate =
      kind == nand_section_kind::certificate_1 || kind == nand_section_kind::certificate_2;
  // Signed 32-bit fields, compared in 64 bits so that no sum can overflow.
  const int64_t S = static_cast<int32_t>(rd_le32(entry + offsetof(fw_part_entry_t, str_address)));
  const uint8_t *len_field = entry + offsetof(fw_part_entry_t, fw_w_len);
  const int64_t E = certificate ? int64_t{rd_le16(len_field)} : int64_t{static_cast<int32_t>(rd_le32(len_field))};
  const int64_t F = fw_len;
  out.str_address = static_cast<int>(S);

  if (check_type_id) {
    if (print) printf("type_id = 0x%x 0x%x\n\r", out.type_id[1], out.type_id[0]);
    if (d.type_id && (out.type_id[0] != d.type_id[0] || out.type_id[1] != d.type_id[1])) {
      if (print) printf("%s", d.type_message);
      return -1;
    }
  }

  int64_t length = 0;
  const bool inside = S >= 0 && S < F;
  switch (kind) {
    case nand_section_kind::certificate_1:
    case nand_section_kind::certificate_2:
      if (S + E > F || !inside || fw[S] == 0xFF) return 0;
      length = E;
      break;
    case nand_section_kind::isp_iq:
    case nand_section_kind::other:
      if (!inside) return 0;
      length = std::min(E, F - S);
      if (fw[S] == 0xFF) return 0;
      break;
    case nand_section_kind::boot_1:
    case nand_section_kind::boot_2:
    case nand_section_kind::firmware_1:
    case nand_section_kind::firmware_2:
    case nand_section_kind::nn: {
      const bool boot = kind == nand_section_kind::boot_1 || kind == nand_section_kind::boot_2;
      const bool nn = kind == nand_section_kind::nn;
      if (!boot && S >= F) return 0;
      // A header cut off by the end of the file is skipped like a section
      // beyond the file: nothing past the file is ever read.
      if (S < 0 || S + image_body_len_offset + 4 > F) return 0;
      const uint8_t *section = fw + S;
      length = int64_t{rd_le32(section + image_body_len_offset)} + image_len_extra;
      if (!nn && slot_flag_set(section)) length = boot ? E : std::min(E, F - S);
      if (length > E) {
        if (print) {
          printf("%s fw_w_imglen = %lld, fw_w_len = %lld\n\r", d.size_label, static_cast<long long>(length),
                 static_cast<long long>(E));
          printf("%s", d.size_message);
        }
        return -1;
      }
      if (S + length > F) return 0;
      if (nn ? section[0] == 0xFF
             : (section[0] != image_signature[0] || section[1] != image_signature[1] ||
                section[2] != image_signature[2])) {
        return 0;
      }
      break;
    }
  }
  if (length < 0) return 0;  // a negative reserved length names no bytes
  out.length = static_cast<int>(length);
  out.skipped = false;
  return 0;
}

int nand_plan_sections(const uint8_t *fw, int fw_len, bool print, std::vector<nand_section_t> &plan) {
  struct step {
    nand_section_kind kind;
    int entry;
  };
  static const step order[] = {
      {nand_section_kind::certificate_1, entry_certificate_1},
      {nand_section_kind::certificate_2, entry_certificate_2},
      {nand_section_kind::isp_iq, entry_isp_iq},
      {nand_section_kind::boot_1, entry_boot_1},
      {nand_section_kind::boot_2, entry_boot_2},
      {nand_section_kind::firmware_1, entry_firmware_1},
      {nand_section_kind::firmware_2, entry_firmware_2},
      {nand_section_kind::nn, entry_nn},
  };
  plan.clear();
  auto consider = [&](nand_section_kind kind, int entry) {
    if (int64_t{entry} + int64_t{sizeof(fw_part_entry_t)} > fw_len) return 0;
    if (fw[entry + offsetof(fw_part_entry_t, present)] != 1) return 0;
    nand_section_t s;
    if (nand_section_rule(fw, fw_len, kind, entry, true, print, s) < 0) return -1;
    plan.push_back(s);
    return 0;
  };
  for (const step &st : order) {
    if (consider(st.kind, st.entry) < 0) return -1;
  }
  for (int k = 0; k < entry_other_count; ++k) {
    if (consider(nand_section_kind::other, entry_other_first + k * entry_other_stride) < 0) return -1;
  }
  return 0;
}

bool nand_plan_is_empty(const std::vector<nand_section_t> &plan) {
  return std::all_of(plan.begin(), plan.end(), [](const nand_section_t &s) { return s.skipped || s.length == 0; });
}

void nand_report_nothing_to_write(const char *flow, const char *fw_name, int fw_len, const char *why,
                                  const char *outcome) {
  printf("no firmware section to write\n\r");
  fflush(stdout);
  fprintf(stderr, "%s: %s (%d bytes) %s; %s\n", flow, fw_name != nullptr ? fw_name : "(null)", fw_len, why,
          outcome);
}
