// The board itself as a state machine: bytes from the host and the time go
// in, reply bytes come out. No terminal, no thread, no clock of its own, so
// every command, transfer and fault is testable on in-memory byte streams.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "boardsim/board.h"
#include "boardsim/flash_store.h"
#include "boardsim/xmodem_rx.h"

namespace boardsim {

// What a line at one rate makes of a byte sent at another: never
// printable, never an XMODEM control byte.
inline uint8_t garbled(uint8_t b) { return static_cast<uint8_t>(0xE0 | (b & 0x1F)); }

class Device {
 public:
  // The rate the host's port runs at now (the pseudo-terminal's settings).
  // Without it the host is taken to follow the board at once.
  using HostBaudFn = std::function<int()>;
  // Receives one transcript line (without time or line end).
  using LogFn = std::function<void(Clock::time_point, const std::string &)>;

  // How long a reply sent after a rate change waits for the host to follow.
  static constexpr Millis kUcfgWait{1000};
  static constexpr Millis kQ5Wait{3000};  // the host switches only after a 1 s read
  static constexpr size_t kMaxLine = 256;

  Device(const BoardConfig &config, FlashStore &store, Clock::time_point now,
         HostBaudFn host_baud = {}, LogFn log = {});

  void feed(std::span<const uint8_t> bytes, Clock::time_point now);
  void tick(Clock::time_point now);
  // When tick() next has work; time_point::max() when it has none.
  Clock::time_point next_deadline() const;
  // Bytes to send to the host, in order; the buffer is handed over.
  std::vector<uint8_t> take_output();
  // The host opened the port again: stands in for the reset lines.
  void host_opened(Clock::time_point now);

  int baud() const { return baud_; }
  const BoardStats &stats() const { return stats_; }
  // false once the board takes no more bytes from the line
  // (stop_reading_after_commands): feed() drops them, the line leaves them.
  bool reading() const { return !deaf_; }
  // true once the board is to hang the line up (hang_up_after_commands):
  // when the host sends anything after the answer to the last command.
  bool hang_up_due() const { return hang_up_; }

 private:
  enum class Purpose { nor_program, nand_write, loader };
  struct Pending {
    Clock::time_point due;
    int wait_rate = 0;  // released early once the host runs at this rate
    std::function<void()> action;
  };

  void feed_byte(uint8_t b);
  void run_line(const std::string &line);
  void emit(std::span<const uint8_t> bytes);
  void emit(const std::string &text);
  void reply_ok();
  void reply_result(bool ok);  // "OK" or "ER"
  void defer(Millis delay, int wait_rate, std::function<void()> action);
  void release_pending();
  void start_transfer(Purpose purpose, uint64_t address);
  void finish_transfer();
  void restart(bool to_loader);
  bool host_matches() const;
  void log(const std::string &text);

  // Commands: each line is looked up by its first word and its number of
  // words; a line that matches no entry is ignored.
  using Words = std::vector<std::string>;
  enum class Needs { any, nor, nand };  // the flash a command exists for
  struct Command {
    std::string_view name;
    size_t words;  // on the line, the name included
    Needs needs;
    void (Device::*run)(const Words &words);
  };
  static const Command kCommands[];
  const Command *find_command(const Words &words) const;
  bool count_command(const std::string &line);
  void q5_application_line(const std::string &command);

  void cmd_ping(const Words &words);
  void cmd_ucfg(const Words &words);
  void cmd_hashq(const Words &words);
  void cmd_fwd(const Words &words);
  void cmd_fwd_q5(const Words &words);
  void cmd_ceras(const Words &words);
  void cmd_seras(const Words &words);
  void cmd_uboot(const Words &words);
  void cmd_disc(const Words &words);
  void cmd_wdtrst(const Words &words);
  void cmd_snb(const Words &words);
  void cmd_snr(const Words &words);
  void cmd_sfwd(const Words &words);
  void cmd_sne(const Words &words);
  void erase_nor(uint64_t start, uint64_t length);
  void after_erase(bool ok);
  bool program_nor(uint64_t address, const std::vector<uint8_t> &data, size_t last_block);
  bool program_nand(uint64_t offset, const std::vector<uint8_t> &data);
  int nand_block_of(uint64_t offset) const { return static_cast<int>(offset / kNandBlockRaw); }
  bool is_factory_bad(int block) const;

  BoardConfig cfg_;
  FlashStore &store_;
  HostBaudFn host_baud_;
  LogFn log_;
  Clock::time_point now_;
  std::vector<uint8_t> out_;
  std::string line_;
  size_t wake_match_ = 0;
  bool after_cr_ = false;
  int baud_ = 115200;
  bool silent_ = false;
  bool deaf_ = false;
  bool hang_up_armed_ = false;
  bool hang_up_ = false;
  bool q5_app_ = false;
  bool loader_received_ = false;
  bool pings_ = false;  // a ping has been answered
  uint64_t last_start_ = 0;  // address of the last download start command
  std::optional<XmodemReceiver> rx_;
  Purpose rx_purpose_ = Purpose::nor_program;
  uint64_t rx_address_ = 0;
  bool rx_q5_ = false;
  std::optional<Pending> pending_;
  std::deque<uint8_t> held_;  // input that arrived while a reply was pending
  std::vector<int> program_fail_left_;  // per fault entry: failures still due
  BoardStats stats_;
};

}  // namespace boardsim
