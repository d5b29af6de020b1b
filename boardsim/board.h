// Public face of the emulated board: its configuration, its fault switches and
// PtyBoard, the board served on a pseudo-terminal from a background thread.
//
// Typical use inside a test process:
//
//   boardsim::BoardConfig cfg;
//   cfg.flash = boardsim::FlashKind::nand;
//   cfg.store_path = tmp / "nand.bin";          // created when absent
//   cfg.faults.factory_bad_blocks = {30};
//   boardsim::PtyBoard board(cfg);              // serving from here on
//   g_cmd_option.port = board.slave_path();     // the port tidewrite opens
//   ... run tidewrite functions ...
//   auto page = board.read_nand_page(24 * 64);  // 2112 bytes, data then spare
//
// What the emulator cannot do on a pseudo-terminal: there are no modem-control
// lines, so DTR/RTS requests fail (tidewrite ignores their result), the board
// never restarts by the lines and the download-mode banner never comes (banner
// reads time out). The board is always in download mode. Each time the host
// opens the port anew (while no other descriptor has it open), the board's
// UART returns to 115200 baud and any half-read command or transfer is
// dropped, as the reset lines would do; the running program (boot ROM or
// uploaded loader) and the flash stay as they were. A further opening while
// the port is open changes nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace boardsim {

enum class Chip { lira, lrm, q5 };  // lira and lrm share the ROM dialogue
enum class FlashKind { nor, nand };

// NAND geometry (fixed): raw layout of 1024 blocks x 64 pages x (2048 + 64).
inline constexpr int kNandBlocks = 1024;
inline constexpr int kNandPagesPerBlock = 64;
inline constexpr int kNandPageData = 2048;
inline constexpr int kNandPageRaw = 2112;                                // data + whole spare
inline constexpr int kNandPageIo = 2052;                                 // data + first 4 spare bytes
inline constexpr int kNandBlockRaw = kNandPageRaw * kNandPagesPerBlock;  // 135,168
inline constexpr uint64_t kNandRawSize = uint64_t(kNandBlockRaw) * kNandBlocks;  // 138,412,032

// How the board answers one chosen XMODEM block instead of with ACK.
enum class BlockFaultKind {
  nak,      // NAK: the sender sends the block again
  garbage,  // one byte that is neither ACK, NAK nor CAN ('?'): the sender sends again
  silence,  // no answer at all: the sender times out and sends again
};

struct BlockFault {
  int transfer = 0;  // which XMODEM transfer of the board's life, 1 = first; 0 = every one
  int block = 1;     // block ordinal within the transfer, 1 = first frame (not the mod-256 number)
  BlockFaultKind kind = BlockFaultKind::nak;
  int times = 1;  // how many deliveries of that block get the fault before it is accepted
};

struct ProgramFailBlock {
  int block = 0;           // NAND block number
  int first_n_writes = 0;  // fail only the first N write commands touching it; 0 = always
};

// Every switch is deterministic: no randomness anywhere.
struct Faults {
  // NAND blocks that are bad from the factory: spare byte 0 of page 0 reads
  // 0x00 from the start, writes to them change nothing and erasing them fails.
  std::vector<int> factory_bad_blocks;
  // NAND blocks whose programming fails: the write is answered "OK" but data
  // byte 0 of every page written lands inverted, so the read-back differs. The
  // spare bytes land as sent (a bad-block mark written there sticks).
  std::vector<ProgramFailBlock> program_fail_blocks;
  // NAND blocks whose erase fails: the block is left as it was and "sne" is
  // answered "ER".
  std::vector<int> erase_fail_blocks;
  bool wrong_first_ping = false;  // the first "ping\n" is answered "pong"
  std::vector<BlockFault> block_faults;
  int cancel_at_block = 0;            // CAN CAN instead of ACK at this block ordinal (every transfer); 0 = off
  bool no_end_ack = false;            // the end frame / EOT is never acknowledged
  bool no_start_request = false;      // the receiver never sends 'C' or NAK
  bool no_ok_after_transfer = false;  // no "OK" after a transfer (programming still happens)
  // Replies one or more bytes shorter than the host asks for: "pin", "O",
  // "hashs " + 16 digest bytes, 2 chip ID bytes, 2000 of 2052 page bytes.
  bool short_replies = false;
  bool wrong_hash = false;  // first digest byte inverted
  // After this many command lines the board answers nothing at all (also no
  // XMODEM). -1 = never; 0 = silent from the start.
  int silent_after_commands = -1;
  // After this many command lines (each answered) the board takes no more
  // bytes from the line: what the host writes piles up until the line is
  // full and the host's writes stall, as when a board's receiver hangs. What
  // the board already had to send still goes out. -1 = never.
  int stop_reading_after_commands = -1;
  // After this many command lines (each answered) the board hangs the line
  // up as soon as the host sends anything more (the pseudo-terminal closes,
  // as when an adapter is unplugged): the host's reads and writes fail. The
  // flash stays readable. -1 = never.
  int hang_up_after_commands = -1;
  int erase_ms = 0;  // extra time before "OK" of ceras, seras and sne
  // q5 only: where the board starts. false: its ROM, answering the wake word
  // with "\r\n$4420k>". true: its application, which ignores the wake word,
  // answers "\r\n" with "\r\n# " and goes to the ROM on "ATXX\r".
  bool q5_in_application = false;
};

struct BoardConfig {
  Chip chip = Chip::lira;
  FlashKind flash = FlashKind::nor;
  uint64_t nor_size = 16u << 20;  // bytes of NOR flash (NAND size is fixed)
  // Flash store file. Created when absent: a fresh NOR or NAND reads 0xFF.
  // An existing file is taken as the flash contents: for NAND it must hold the
  // whole raw layout (an offline image loads as is); for NOR it may be shorter
  // than nor_size (the rest reads 0xFF). Empty: a temporary file, removed at the end.
  std::string store_path;
  // Whether the file is completed at the end: a fresh store is created sparse
  // and regions are filled with 0xFF only when first touched; with this set,
  // untouched regions are filled at stop so the file is the exact raw layout
  // (0xFF where never written). Clear it to save the fill when a test reads the
  // flash only through PtyBoard while it runs. An uncompleted store can be
  // used again: whole regions that are file holes read as erased.
  bool complete_store_on_stop = true;
  // Symbolic link made to the slave device path (empty: none). Removed at stop.
  std::string link_path;
  // NAND program semantics. false (default): a write replaces the bytes, as if
  // the loader erased behind the scenes, so rewriting a table page in place
  // verifies. true: a write can only clear bits (new = old AND data), as a raw
  // NAND does; writing over unerased data then fails its read-back.
  bool nand_and_semantics = false;
  // XMODEM start request: 'C' (CRC-16) by default; true asks with NAK for the
  // arithmetic checksum mode.
  bool xmodem_checksum = false;
  // Pacing: bytes move at the emulated line rate (10 bits per byte at the
  // board's current baud rate) both ways, and every reply begins no sooner
  // than turnaround_ms after the last byte received.
  bool paced = false;
  int turnaround_ms = 0;
  // Transcript of every command and reply with times, one line each:
  // seconds since start, then rx "<command line as received>", tx "<reply,
  // escaped>", or an event (transfers, restarts, port opened/closed).
  // Empty: none; "-": standard error; else a file, appended to.
  std::string transcript_path;
  Faults faults;
};

// Counters read while or after the board runs.
struct BoardStats {
  int opens = 0;              // times the host opened the idle port
  int commands = 0;           // command lines received
  int transfers = 0;          // XMODEM transfers begun
  int transfers_ok = 0;       // XMODEM transfers completed (end acknowledged)
  int device_baud = 115200;   // the board's UART rate now
  bool loader_running = false;  // an uploaded loader runs (after "uboot" and "disc")
};

class Device;
class FlashStore;

// The board on a pseudo-terminal, served by a background thread from
// construction until destruction (or stop()). Throws std::runtime_error when
// the pseudo-terminal or the store cannot be set up.
class PtyBoard {
 public:
  explicit PtyBoard(const BoardConfig &config);
  ~PtyBoard();  // stop()
  PtyBoard(const PtyBoard &) = delete;
  PtyBoard &operator=(const PtyBoard &) = delete;

  // The device path of the slave side ("/dev/pts/N"): the port the host opens.
  const std::string &slave_path() const;

  // Flash bytes now. NOR: byte addresses; NAND: raw-layout offsets (page p at
  // p * 2112). Bytes past the end are not returned (the result is shorter).
  std::vector<uint8_t> read_flash(uint64_t offset, size_t length) const;
  // One NAND page in the raw layout: 2048 data bytes then 64 spare bytes.
  std::vector<uint8_t> read_nand_page(int page) const;
  uint64_t flash_size() const;

  BoardStats stats() const;

  // Stops serving, completes the store (see complete_store_on_stop), removes
  // the link. Idempotent. The pseudo-terminal closes, so an open host sees EOF/EIO.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace boardsim
