#include "tidewrite/main_flow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "bsp_version.h"
#include "tidewrite/dialogue.h"
#include "tidewrite/failure_reason.h"
#include "tidewrite/nand/nand_flows.h"
#include "tidewrite/nor_ops.h"
#include "tidewrite/options.h"
#include "tidewrite/output_file.h"
#include "tidewrite/serial_port.h"
#include "tidewrite/stop_signal.h"

const char *operation = "nop";

namespace {

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Result of the last offline image generation, for main's outcome line.
int g_generate_result = -1;

// ---- Operation branches: one call each.

// nand_flash_generate_image(): 0 when the image file was written.
int run_generate_image() { return nand_flash_generate_image(); }

// uboot_flashloader(loader_name): 0 or the loader's negative code.
int run_flash_loader(const char *loader_name) { return uboot_flashloader(loader_name); }

// nand_download(fw_file_name): 0 or its failure code; leaves the port open.
int run_nand_path(const char *fw_file_name) { return nand_download(fw_file_name); }

// nor_operation(xmodem_txmode, fw_file_name): 0 or its failure code; leaves
// the port open.
int run_nor_path(const char *fw_file_name) { return nor_operation(xmodem_txmode, fw_file_name); }

// ---- End of the operation branches.

void print_outcome(bool success) { std::printf(success ? "%s success\r" : "%s fail\r", operation); }

bool g_interruption_told = false;  // the line naming the stop signal is out
int g_opens_before_run = 0;

void tell_interruption(int sig, const char *what_was_undone) {
  if (g_interruption_told) return;
  g_interruption_told = true;
  std::fprintf(stderr, "tidewrite: interrupted by %s%s\n", stop_signal_name(sig).c_str(), what_was_undone);
  std::fflush(stderr);
}

const char *port_restored() { return uart_open_count() > g_opens_before_run ? ", port restored" : ""; }

// The end of a run that a stop signal cut short: what the flows met on the
// way out was only the signal, so no cause line; the fail line, the port put
// back as at open (lines released, lock freed), and one line naming the
// signal. The caller of tidewrite_main ends the process by it.
int end_interrupted(int sig, int result, const char *what_was_undone) {
  forget_failure_reason();
  print_outcome(false);
  std::fflush(stdout);
  tidy_up_port();
  tell_interruption(sig, what_was_undone);
  return result != 0 ? result : -1;
}

}  // namespace

std::optional<std::vector<uint8_t>> read_fw_file(const char *filename, int *fw_len) {
  if (filename == nullptr) return std::nullopt;
  // Only files with a size are taken: a directory has no bytes to give, and
  // opening a named pipe would wait for a writer that may never come.
  File f;
  int fd = open(filename, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (fd >= 0 && fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    f.reset(fdopen(fd, "rb"));
    if (f) fd = -1;
  }
  if (fd >= 0) close(fd);
  if (!f) {
    std::printf("%s : %s open fail\n\r", "read_fw_file", filename);
    return std::nullopt;
  }
  if (std::fseek(f.get(), 0, SEEK_END) != 0) return std::nullopt;
  long size = std::ftell(f.get());
  if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) return std::nullopt;
  // Lengths are 32-bit signed throughout the programmer.
  if (size > INT_MAX) {
    std::printf("%s : malloc fail\n\r", "read_fw_file");
    return std::nullopt;
  }
  std::vector<uint8_t> buf;
  try {
    buf.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc &) {
    std::printf("%s : malloc fail\n\r", "read_fw_file");
    return std::nullopt;
  }
  size_t have = 0;
  while (have < buf.size()) {
    size_t r = std::fread(buf.data() + have, 1, buf.size() - have, f.get());
    if (r == 0) return std::nullopt;
    have += r;
  }
  if (fw_len != nullptr) *fw_len = static_cast<int>(size);
  return buf;
}

int write_fw_file(const char *filename, const uint8_t *buffer, int fw_len) {
  if (filename == nullptr || fw_len < 0 || (buffer == nullptr && fw_len > 0)) return -1;
  // Only a regular file takes the data: appending to a FIFO would block the
  // run, to a device would pass data off as saved.
  output_file out;
  std::string why;
  if (!out.open(filename, why)) return -1;
  const bool wrote = out.append(buffer, fw_len, why);
  return out.close(why) && wrote ? 0 : -1;
}

std::optional<std::string> path_beside_program(const char *name, size_t limit) {
  if (name == nullptr) return std::nullopt;
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof exe) return std::nullopt;
  std::string path(exe, static_cast<size_t>(n));
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  path.resize(slash + 1);
  path += name;
  if (path.size() >= limit) return std::nullopt;  // must fit a limit-byte C buffer
  return path;
}

int setup(const char *fw_file_name) {
  if (generate_nand_flash_image == 0) return 0;
  g_cmd_option.fw_file = fw_file_name;
  operation = "generate nand flash image";
  int len = 0;
  auto buf = read_fw_file(fw_file_name, &len);
  if (!buf) {
    std::printf("read %s return NULL fw_buf, goto exit !!!\n\r", fw_file_name != nullptr ? fw_file_name : "(null)");
    return -1;
  }
  std::printf("%s length = %d \n\r", fw_file_name, len);
  buf.reset();
  g_generate_result = run_generate_image();
  return 1;
}

int lira_detect_flash_type() {
  const char *port = g_cmd_option.port;
  UARTHDL hdl = uart_open(port);
  if (hdl == 0) {
    std::printf("uart %s open fail\n\r", port != nullptr ? port : "(null)");
    return -1;
  }
  if (uart_setup(hdl) != 0) {
    uart_close(hdl);
    return -1;
  }
  reset_to_download_mode(hdl);
  uart_flush_rx(hdl);
  uart_write(hdl, "hashq 0 0 0\n", 12);
  char reply[64] = {};
  int n = uart_read(hdl, reply, sizeof reply, 1000);
  uart_close(hdl);
  return n >= 5 && std::memcmp(reply, "hashs", 5) == 0 ? 0 : 1;
}

int finish_run(int result) {
  // A stopped run resets nothing: it ends as soon as the port is put back.
  if (const int sig = stop_signal_caught(); sig != 0) return end_interrupted(sig, result, port_restored());
  if (g_cmd_option.is_reset != 0 && g_uart_hdl != 0) {
    reset_device(g_uart_hdl);
    hw_reset_device(g_uart_hdl);
  }
  // From here the outcome is decided: a signal that comes now no longer
  // turns a success into a stop.
  if (const int sig = stop_signals_hold(); sig != 0) return end_interrupted(sig, result, port_restored());
  if (result != 0) {
    print_failure_reason();
    print_outcome(false);
  } else if (g_cmd_option.is_reset == 1 || g_cmd_option.erase_mode == 0) {
    print_outcome(true);
  }
  tidy_up_port();
  return result;
}

void tidy_up_port() {
  if (g_uart_hdl == 0) return;
  // Released lines leave the board free to run once the program is gone.
  uart_set_dtr(g_uart_hdl, 1);
  uart_set_rts(g_uart_hdl, 1);
  uart_close(g_uart_hdl);
  g_uart_hdl = 0;
}

int tidewrite_main(int argc, char **argv) {
  // Only the whole first word: anywhere else the walk treats it like any
  // other unknown option, and the usage text stays as it is.
  if (argc >= 2 && argv[1] != nullptr && std::strcmp(argv[1], "--version") == 0) {
    std::printf("tidewrite %s\n", kBspVersion);
    std::fflush(stdout);
    return 0;
  }
  forget_failure_reason();
  g_interruption_told = false;
  g_opens_before_run = uart_open_count();
  if (parse_option(argc, argv) < 0) return -1;
  // The loader upload puts its own file name into fw_file.
  const char *fw_file_name = g_cmd_option.fw_file;

  int generated = setup(fw_file_name);
  if (generated != 0) {
    // The port is never opened for an offline image; a written image is a
    // success like any other. An interrupted generation has taken back
    // whatever it appended.
    int result = generated < 0 ? -1 : g_generate_result;
    if (const int sig = stop_signals_hold(); sig != 0) return end_interrupted(sig, result, ", no image written");
    print_outcome(result == 0);
    tidy_up_port();
    std::fflush(stdout);
    return result;
  }

  if (lira_nand != 0) {
    // The detection already resets the board: a dump file that cannot take
    // the dump is refused before the port is opened at all.
    if (const int r = nand_dump_file_check(); r != 0) {
      print_outcome(false);
      std::fflush(stdout);
      return r;
    }
    int type = lira_detect_flash_type();
    if (const int sig = stop_signal_caught(); sig != 0) return end_interrupted(sig, -1, port_restored());
    if (type < 0) {
      print_failure_reason();
      std::printf("detect flash type fail\n\r");
      std::fflush(stdout);
      return -1;
    }
    if (type == 0) lira_nand = 0;  // NOR flash after all: the NOR operation runs
  }

  const bool nand = lira_nand != 0;
  if (uart_boot != 0) {
    int r = run_flash_loader(nand ? "flash_loader_nand.bin" : "flash_loader_nor.bin");
    if (const int sig = stop_signal_caught(); sig != 0) return end_interrupted(sig, r, port_restored());
    if (r < 0) {
      print_failure_reason();
      std::printf(nand ? "NAND flashloader loading fail\n\r" : "NOR flashloader loading fail\n\r");
      print_outcome(false);
      tidy_up_port();
      std::fflush(stdout);
      return r;
    }
  }

  int result = nand ? run_nand_path(fw_file_name) : run_nor_path(fw_file_name);
  result = finish_run(result);
  std::fflush(stdout);
  return result;
}

int tidewrite_program(int argc, char **argv) {
  stop_signals_install();
  const int result = tidewrite_main(argc, argv);
  std::fflush(stdout);
  if (const int sig = stop_signal_caught(); sig != 0) {
    // A signal that came while a failure was being reported: the port is
    // back as it was already.
    tidy_up_port();
    tell_interruption(sig, port_restored());
    stop_signal_reraise(sig);
  }
  return result;
}
