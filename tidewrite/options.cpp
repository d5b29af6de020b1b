#include "tidewrite/options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tidewrite/serial_port.h"

cmd_option_t g_cmd_option{};

int32_t chip_lira = 0;
int32_t lira_nand = 0;
int32_t lira_nand_dump = 0;
int32_t block_os = 0, block_e = 0;
int32_t lira_nand_ftl_w = 0;
int32_t block_s = 0, block_bs = 0;
const char *type_id_w = nullptr;
int32_t uart_boot = 0;
int32_t generate_nand_flash_image = 0;
int32_t xmodem_txmode = 1;
int32_t xmodem_nk = 1;

const char *const com_str = "/dev/ttyXX or /dev/cu.XXX";

namespace {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 4;
constexpr int kVersionPatch = 3;
constexpr const char *kVersionDate = "Jun 16 2023";

// Flash addresses the board decodes are 27 bits wide.
constexpr uint32_t kFlashAddressMask = 0x7FFFFFF;

void reset_record() {
  g_cmd_option = cmd_option_t{};
  g_cmd_option.erase_mode = -1;
}

bool starts_with(const char *word, const char *prefix) {
  return std::strncmp(word, prefix, std::strlen(prefix)) == 0;
}

// A value that does not fit its 32-bit field is refused rather than cut:
// a cut offset of 0x100000000 would write over the boot area at 0.
int out_of_range(const char *word) {
  std::printf("%s is out of range\n\r", word);
  return -1;
}

// Base-10 value of the word's leading digits (0 when there are none), wide
// enough to tell whether it fits an int.
long long decimal_wide(const char *word) {
  errno = 0;
  const long long v = std::strtoll(word, nullptr, 10);
  if (errno == ERANGE) return v < 0 ? LLONG_MIN : LLONG_MAX;
  return v;
}

bool fits_int(long long v) { return v >= INT32_MIN && v <= INT32_MAX; }

// The decimal value into *field; false (nothing stored) when it does not fit.
bool scan_decimal(const char *word, int32_t *field) {
  const long long v = decimal_wide(word);
  if (!fits_int(v)) return false;
  *field = static_cast<int32_t>(v);
  return true;
}

// Scans "0x" and hexadecimal digits into *field. Without a digit after the
// prefix nothing is stored. False (nothing stored) when the value does not
// fit the signed 32-bit field; leading zeros are fine.
bool scan_hex(const char *word, int32_t *field) {
  if (word[0] != '0' || word[1] != 'x') return true;
  uint64_t value = 0;
  bool any = false;
  for (const char *p = word + 2; *p != '\0'; ++p) {
    int digit;
    if (*p >= '0' && *p <= '9') {
      digit = *p - '0';
    } else if (*p >= 'a' && *p <= 'f') {
      digit = *p - 'a' + 10;
    } else if (*p >= 'A' && *p <= 'F') {
      digit = *p - 'A' + 10;
    } else {
      break;
    }
    value = (value << 4) | static_cast<uint64_t>(digit);
    if (value > INT32_MAX) return false;  // stops before the shift can overflow
    any = true;
  }
  if (any) *field = static_cast<int32_t>(value);
  return true;
}

// Taken wide: a value beyond the int range means what its sign says.
int32_t mode_from_x(long long v) {
  if (v >= 32) return 32;
  if (v == 4 || v == 8 || v == 16) return static_cast<int32_t>(v);
  return 1;
}

const char *chip_name(int32_t enter_download) { return enter_download == 1 ? "q5" : "lrm"; }

// Combinations that the walk cannot judge alone, because options come in any
// order. Returns -1 after printing why a combination is refused.
int check_combinations() {
  const cmd_option_t &o = g_cmd_option;
  if (o.erase_mode == 1) {
    uint32_t start = static_cast<uint32_t>(o.erase_start) & kFlashAddressMask;
    uint32_t end = static_cast<uint32_t>(o.erase_end) & kFlashAddressMask;
    if (end <= start) {
      std::printf("sector erase end 0x%x is not above start 0x%x\n\r", end, start);
      return -1;
    }
  }
  bool masked = o.masked_start != 0 || o.masked_end != 0;
  if (masked && o.enter_download != 0) {
    std::printf("masked area is not supported with -d %s, this chip skips no area\n\r",
                chip_name(o.enter_download));
    return -1;
  }
  if (o.masked_start == 0 && o.masked_end != 0) {
    std::printf("masked area cannot start at 0x0 (end 0x%x)\n\r", static_cast<uint32_t>(o.masked_end));
    return -1;
  }
  if (o.is_verify_only != 0 && o.enter_download != 0) {
    std::printf("verify only is not supported with -d %s, this chip has no hash check\n\r",
                chip_name(o.enter_download));
    return -1;
  }
  return 0;
}

}  // namespace

void reset_option_globals() {
  reset_record();
  chip_lira = 0;
  lira_nand = 0;
  lira_nand_dump = 0;
  block_os = block_e = 0;
  lira_nand_ftl_w = 0;
  block_s = block_bs = 0;
  type_id_w = nullptr;
  uart_boot = 0;
  generate_nand_flash_image = 0;
  xmodem_txmode = 1;
  xmodem_nk = 1;
}

void show_help(const char *self) {
  if (self == nullptr) self = "";
  std::printf("Qorin Tool %d.%d.%d - %s\n\r", kVersionMajor, kVersionMinor, kVersionPatch, kVersionDate);
  std::printf("Help for Vantrel firmware download command\n\r");
  std::printf("%s -p [%s] -f [firmware filename] -l [log filename] -v -r\n\r", self, com_str);
  std::printf("OR\n\r");
  std::printf("%s -p [%s] -e chip\n\r", self, com_str);
  std::printf(" Necessary options - download mode \n\r");
  std::printf("-p [port]               : use UART communicatioin port %s\n\r", com_str);
  std::printf("-f [firmware filename]  : firmware filename for download\n\r");
  std::printf("-b [baud rate]          : baud rate during uart download firmware. for handshaking use 115200\n\r");
  std::printf(" Necessary options - erase mode \n\r");
  std::printf("-e chip                 : do chip erase, only work with option \"-i flash pin index\"\n\r");
  std::printf("-e [start] [end]        : do sector erase from start to end-1, only work with option \"-i flash pin index\"\n\r");
  std::printf(" Optional options \n\r");
  std::printf("-s [offset]             : image download offset(hex, eg, 0x100000)\n\r");
  std::printf("-m [start] [end]        : masked area, program will skip this area, start and end are hex format\n\r");
  std::printf("-i [flash pin idx]      : flash pin index\n\r");
  std::printf("-d [q5,lrm]             : enter download mode by software method, current support chip, q5, lrm(liramini)\n\r");
  std::printf("-T [timeout(ms)]        : overwrite chip erase timeout\n\r");
  std::printf("-v [lira]               : hash verify download result, support chip lira\n\r");
  std::printf("-r                      : reset device after download finish\n\r");
  std::printf("-n [lira]               : lira nand flash image download\n\r");
  std::printf("-t [type_id]            : lira nand flash partial image download\n\r");
  std::printf("-w [block_s] [block_bs] : lira nand FTL write, block_s is block start, block_bs is block backup start\n\r");
  std::printf("-o [block_os] [block_e]  : lira nand dump flash, block_os is block start, block_e is block end\n\r");
  std::printf("-U                      : Uart boot - load flash loader\n\r");
  std::printf("-G                      : lira nand generate mp flash image\n\r");
  std::printf("-x                      : xmodem TX mode 1:1K 16:16K 32:32K\n\r");
  std::printf("-h                      : show this help\n\r");
}

int is_hex_string(const char *text) {
  if (text == nullptr || text[0] != '0' || text[1] != 'x') return -1;
  for (const char *p = text + 2; *p != '\0'; ++p) {
    bool hex = (*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') || (*p >= 'A' && *p <= 'F');
    if (!hex) {
      std::printf("%s is not hex string\n\r", text);
      return -1;
    }
  }
  return 0;
}

int parse_option(int argc, char **argv) {
  reset_record();
  const char *self = argc > 0 && argv != nullptr ? argv[0] : "";
  if (argc < 2 || argv == nullptr) {
    show_help(self);
    return -1;
  }

  cmd_option_t &o = g_cmd_option;
  int i = 1;
  // Words left after the option word at index i.
  auto left = [&]() { return argc - i - 1; };
  auto too_few = [&](int need) {
    if (left() >= need) return false;
    show_help(self);
    return true;
  };

  while (i < argc) {
    const char *word = argv[i];
    if (word == nullptr || word[0] != '-') {
      show_help(self);
      return -1;
    }
    switch (word[1]) {
      case 'p':
        if (too_few(1)) return -1;
        o.port = argv[++i];
        break;
      case 'f':
        if (too_few(1)) return -1;
        o.fw_file = argv[++i];
        break;
      case 'l':
        if (too_few(1)) return -1;
        o.log_file = argv[++i];
        break;
      case 'b':
        if (too_few(1)) return -1;
        if (!scan_decimal(argv[++i], &o.baud_rate)) return out_of_range(argv[i]);
        break;
      case 'i':
        if (too_few(1)) return -1;
        if (!scan_decimal(argv[++i], &o.fpin_index)) return out_of_range(argv[i]);
        break;
      case 'T':
        if (too_few(1)) return -1;
        // A negative time-out would end every erase at once.
        if (!scan_decimal(argv[++i], &o.ce_timeout) || o.ce_timeout < 0) return out_of_range(argv[i]);
        break;
      case 's': {
        if (too_few(1)) return -1;
        const char *v = argv[++i];
        // A word without the prefix once left the offset at 0 silently, which
        // could overwrite the boot area; only "0" still means offset 0.
        if (std::strcmp(v, "0") == 0) {
          o.img_offset = 0;
          break;
        }
        if (v[0] != '0' || v[1] != 'x') {
          std::printf("%s is not hex string\n\r", v);
          return -1;
        }
        if (is_hex_string(v) != 0) return -1;
        if (!scan_hex(v, &o.img_offset)) return out_of_range(v);
        break;
      }
      case 'm':
        if (too_few(2)) return -1;
        if (is_hex_string(argv[i + 1]) != 0 || is_hex_string(argv[i + 2]) != 0) return -1;
        if (!scan_hex(argv[i + 1], &o.masked_start)) return out_of_range(argv[i + 1]);
        if (!scan_hex(argv[i + 2], &o.masked_end)) return out_of_range(argv[i + 2]);
        i += 2;
        break;
      case 'e':
        if (too_few(1)) return -1;
        if (starts_with(argv[i + 1], "chip")) {
          o.erase_mode = 0;
          i += 1;
          break;
        }
        if (too_few(2)) return -1;
        o.erase_start = 0;
        o.erase_end = 0;
        if (is_hex_string(argv[i + 1]) != 0 || is_hex_string(argv[i + 2]) != 0) return -1;
        if (!scan_hex(argv[i + 1], &o.erase_start)) return out_of_range(argv[i + 1]);
        if (!scan_hex(argv[i + 2], &o.erase_end)) return out_of_range(argv[i + 2]);
        o.erase_mode = 1;
        i += 2;
        break;
      case 'd': {
        if (too_few(1)) return -1;
        const char *v = argv[++i];
        if (starts_with(v, "q5")) {
          o.enter_download = 1;
        } else if (starts_with(v, "lrm")) {
          o.enter_download = 2;
        } else {
          std::printf("chip %s not support this feature\n\r", v);
          return -1;
        }
        break;
      }
      case 'n': {
        if (too_few(1)) return -1;
        const char *v = argv[++i];
        if (!starts_with(v, "lira")) {
          std::printf("chip %s not support this feature\n\r", v);
          return -1;
        }
        lira_nand = 1;
        break;
      }
      case 'v':
        o.is_verify = 1;
        if (left() >= 1 && starts_with(argv[i + 1], "lira")) {
          chip_lira = 1;
          ++i;
          if (left() >= 1 && starts_with(argv[i + 1], "only")) {
            o.is_verify_only = 1;
            ++i;
          }
        } else if (left() >= 1 && starts_with(argv[i + 1], "only")) {
          o.is_verify_only = 1;
          ++i;
        }
        break;
      case 'r':
        o.is_reset = 1;
        break;
      case 't':
        if (too_few(1)) return -1;
        type_id_w = argv[++i];
        break;
      case 'w':
        if (too_few(2)) return -1;
        lira_nand_ftl_w = 1;
        if (!scan_decimal(argv[i + 1], &block_s)) return out_of_range(argv[i + 1]);
        if (!scan_decimal(argv[i + 2], &block_bs)) return out_of_range(argv[i + 2]);
        i += 2;
        break;
      case 'o':
        if (too_few(2)) return -1;
        lira_nand_dump = 1;
        if (!scan_decimal(argv[i + 1], &block_os)) return out_of_range(argv[i + 1]);
        if (!scan_decimal(argv[i + 2], &block_e)) return out_of_range(argv[i + 2]);
        i += 2;
        break;
      case 'U':
        uart_boot = 1;
        xmodem_txmode = 32;
        break;
      case 'G':
        generate_nand_flash_image = 1;
        break;
      case 'x':
        if (too_few(1)) return -1;
        xmodem_txmode = mode_from_x(decimal_wide(argv[++i]));
        break;
      case 'h':
        show_help(self);
        return -1;
      default:  // unknown letter or a lone dash: skipped, but not silently
        std::fprintf(stderr, "unknown option %s ignored\n", word);
        break;
    }
    ++i;
  }

  if (o.port == nullptr) {
    show_help(self);
    return -1;
  }
  if (check_combinations() != 0) return -1;
  if (o.erase_mode >= 0) return 0;
  if (o.fw_file == nullptr) {
    show_help(self);
    std::printf("4");
    return -1;
  }
  if (o.baud_rate == 0) {
    show_help(self);
    std::printf("5");
    return -1;
  }
  // A rate the port cannot take would only end in "ucfg fail" after the
  // board has switched; -G never opens the port.
  if (generate_nand_flash_image == 0 && !uart_rate_supported(o.baud_rate)) {
    std::fprintf(stderr, "baud rate %d is not supported; use one of %s\n", o.baud_rate,
                 uart_supported_rates().c_str());
    return -1;
  }
  return 0;
}
