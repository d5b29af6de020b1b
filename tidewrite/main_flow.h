// The programmer's main flow: parse, choose one operation, reset, report,
// tidy up. Also the whole-file helpers every operation uses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

extern const char *operation;  // names the running operation in the outcome line

// The whole file, its length stored through fw_len; nullopt on failure (an
// empty file gives an empty buffer). Prints the open-fail message.
std::optional<std::vector<uint8_t>> read_fw_file(const char *filename, int *fw_len);
// Appends fw_len bytes to the file, creating it. Silent; 0 when every byte
// reached the file, -1 otherwise, so callers that must not lose data can tell.
int write_fw_file(const char *filename, const uint8_t *buffer, int fw_len);

// Path of a data file that ships beside the running program (from
// /proc/self/exe, cut after its last '/'); nullopt when the link cannot be
// read or the path with its terminating NUL would not fit in limit bytes.
std::optional<std::string> path_beside_program(const char *name, size_t limit);

int setup(const char *fw_file_name);  // 0 nothing to do, 1 generation ran, -1 unreadable
int lira_detect_flash_type();         // -1 port, 0 NOR, 1 NAND

// The end of a run after the operation: the reset on -r (when a port is
// open), the outcome line, the tidy-up. Returns result. After a stop signal
// (stop_signal.h): no reset, the fail line, the tidy-up and one standard-
// error line naming the signal; returns result (-1 for a 0).
int finish_run(int result);
// Releases DTR, then RTS, and closes g_uart_hdl (when open); clears it.
void tidy_up_port();

// The programmer's run; the exit status is this value modulo 256. A run cut
// short by a stop signal returns after tidying up, with
// stop_signal_caught() naming the signal.
int tidewrite_main(int argc, char **argv);
// main() of the program: the stop-signal handlers, the run, and the end by
// the stop signal that cut it short (re-raised with its default action).
int tidewrite_program(int argc, char **argv);
