// The section rules shared by the normal write, the partial write and the
// offline image: which sections of a firmware file are written, and how long.
#pragma once

#include <cstdint>
#include <vector>

enum class nand_section_kind {
  certificate_1,
  certificate_2,
  isp_iq,
  boot_1,
  boot_2,
  firmware_1,
  firmware_2,
  nn,
  other,
};

struct nand_section_t {
  nand_section_kind kind;
  int entry_offset;    // where the partition entry lies in the file
  uint8_t type_id[2];  // as read from the entry
  int str_address;     // section start in the file
  int length;          // bytes to write
  bool skipped;        // the rules pass over this section
};

// Writes "certificate_1 str_address = 0x%x, fw_w_len = %d\n\r" and its kin.
void nand_print_section_write(const nand_section_t &s);

// Applies the rules to one section. 0: accepted or skipped (see skipped);
// -1: type id or size rejected. With print set, prints the lines the rules
// print: the "type_id = ..." line (when check_type_id), the type-id message,
// the size messages.
int nand_section_rule(const uint8_t *fw, int fw_len, nand_section_kind kind, int entry_offset,
                      bool check_type_id, bool print, nand_section_t &out);

// Every present section in write order. 0 with the plan, or -1 at the first
// rejection (printing, when print is set, the lines up to and including it).
int nand_plan_sections(const uint8_t *fw, int fw_len, bool print, std::vector<nand_section_t> &plan);

// Whether the plan holds no byte to write (every entry absent, not present,
// passed over by the rules, or of length 0).
bool nand_plan_is_empty(const std::vector<nand_section_t> &plan);

// A firmware file with nothing to write: "no firmware section to write\n\r"
// on standard output, and on standard error "<flow>: <file> (<n> bytes)
// <why>; <outcome>" (outcome: what was left alone).
void nand_report_nothing_to_write(const char *flow, const char *fw_name, int fw_len, const char *why,
                                  const char *outcome);
// The why of a firmware whose plan is empty.
inline constexpr const char *nand_no_section_why =
    "holds no section to write: no partition entry is marked present, or the section rules pass over "
    "every one that is (beyond the end of the file, erased, no \"QMZ\" signature, length 0)";
