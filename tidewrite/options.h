// Command-line options of the programmer: the options record, the mode
// globals that parsing sets, and the usage text.
#pragma once

#include <cstdint>

struct cmd_option_s {
  const char *port;      // -p, points into argv
  const char *fw_file;   // -f; later operations put the name of each file they load here
  const char *log_file;  // -l; stored only
  int32_t baud_rate;     // -b
  int32_t is_verify;     // -v
  int32_t is_reset;      // -r
  int32_t masked_start;  // -m
  int32_t masked_end;    // -m, exclusive
  int32_t img_offset;    // -s
  int32_t fpin_index;    // -i
  int32_t enter_download;  // -d: 0 none, 1 q5, 2 lrm
  int32_t erase_mode;      // -e: -1 download, 0 chip, 1 sector
  int32_t erase_start;
  int32_t erase_end;       // exclusive
  int32_t is_verify_only;  // -v ... only
  int32_t ce_timeout;      // -T, ms; 0 = default
};
using cmd_option_t = cmd_option_s;

extern cmd_option_t g_cmd_option;

// Mode globals set by parsing (initial values in the comments).
extern int32_t chip_lira;                  // 0; -v lira
extern int32_t lira_nand;                  // 0; -n lira
extern int32_t lira_nand_dump;             // 0; -o
extern int32_t block_os, block_e;          // 0; -o
extern int32_t lira_nand_ftl_w;            // 0; -w
extern int32_t block_s, block_bs;          // 0; -w
extern const char *type_id_w;              // null; -t
extern int32_t uart_boot;                  // 0; -U
extern int32_t generate_nand_flash_image;  // 0; -G
extern int32_t xmodem_txmode;              // 1; -x, -U
extern int32_t xmodem_nk;                  // 1; never changed by an option

extern const char *const com_str;  // "/dev/ttyXX or /dev/cu.XXX"

// 0: the program may go on; -1: stop (usage shown or an argument rejected).
int parse_option(int argc, char **argv);
void show_help(const char *self);
// 0 when text is "0x" followed by hexadecimal digits, else -1.
int is_hex_string(const char *text);

// Puts the record and every mode global back to its program-start value.
// One process runs one parse; tests that parse many command lines call this.
void reset_option_globals();
