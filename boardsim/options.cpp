#include "boardsim/options.h"

#include <charconv>
#include <limits>
#include <optional>

namespace boardsim {

namespace {

// Decimal or 0x-hexadecimal, with an optional K or M (x1024) suffix.
std::optional<long long> number(std::string s) {
  long long mult = 1;
  if (!s.empty() && (s.back() == 'K' || s.back() == 'k')) mult = 1024, s.pop_back();
  else if (!s.empty() && (s.back() == 'M' || s.back() == 'm')) mult = 1024 * 1024, s.pop_back();
  int base = 10;
  std::string_view v = s;
  if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) base = 16, v.remove_prefix(2);
  long long n = 0;
  auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n, base);
  if (v.empty() || ec != std::errc() || p != v.data() + v.size() || n < 0) return std::nullopt;
  if (n > std::numeric_limits<long long>::max() / mult) return std::nullopt;
  return n * mult;
}

// A number that fits the int fields of the configuration: a larger one
// would wrap into some other value (a negative time, silence from the start).
std::optional<long long> int_sized(std::optional<long long> n) {
  if (n && *n > std::numeric_limits<int>::max()) return std::nullopt;
  return n;
}

std::vector<std::string> split(const std::string &s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t i = s.find(sep, start);
    parts.push_back(s.substr(start, i - start));
    if (i == std::string::npos) return parts;
    start = i + 1;
  }
}

}  // namespace

const char *usage_text() {
  return R"(usage: boardsim [options]
Emulates one board (boot ROM, NOR or NAND flash loader) on a pseudo-terminal.
Prints the slave device path on standard output, then serves until SIGINT or
SIGTERM. The host may open and close the port any number of times.

Board:
  --link PATH          make PATH a symbolic link to the slave device
  --chip lira|lrm|q5   ROM dialogue (default lira)
  --flash nor|nand     flash kind (default nor)
  --nor-size N         NOR size in bytes, K/M suffix allowed (default 16M)
  --store FILE         flash store file, created when absent (default: temporary)
  --no-complete        leave never-touched NAND blocks as file holes at exit
  --and-program        NAND programming can only clear bits (default: replace)
  --checksum           XMODEM start request NAK (checksum) instead of 'C'
  --paced              move bytes at the emulated line rate (10 bits per byte)
  --turnaround MS      delay before every reply (default 0)
  --transcript FILE    log commands and replies with times ("-": stderr)

Faults (all reproducible):
  --bad-block B[,B..]          factory bad NAND blocks
  --program-fail B[:N]         NAND block B fails programming (first N writes; 0 = all)
  --erase-fail B[,B..]         NAND blocks whose erase fails ("ER")
  --wrong-first-ping           first ping answered "pong"
  --block-fault K:B[:T[:X]]    answer XMODEM block ordinal B with K (nak, garbage,
                               silence) T times (default 1) in transfer X (default all)
  --cancel-at-block B          CAN CAN instead of ACK at block ordinal B
  --no-end-ack                 never acknowledge the end of a transfer
  --no-start-request           never send the XMODEM start request
  --no-ok                      no "OK" after a transfer
  --short-replies              replies shorter than the host asks for
  --wrong-hash                 hash replies carry a wrong digest
  --silent-after N             answer nothing after N command lines
  --stop-reading-after N       read nothing from the line after N command lines
  --hang-up-after N            hang the line up when the host goes on after
                               N command lines
  --erase-ms MS                erases take MS milliseconds before "OK"
  --q5-application             q5 board starts in its application ("#" prompt)
  -h, --help                   this text
  --version                    print the version (first word only)
)";
}

std::string parse_options(const std::vector<std::string> &args, ProgramOptions &o) {
  BoardConfig &c = o.config;
  Faults &f = c.faults;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    auto num = [&]() -> std::optional<long long> {
      auto v = value();
      return v ? number(*v) : std::nullopt;
    };
    auto int_num = [&] { return int_sized(num()); };
    auto list = [&](std::vector<int> &into) {
      auto v = value();
      if (!v) return false;
      for (const auto &p : split(*v, ',')) {
        auto n = number(p);
        if (!n || *n >= kNandBlocks) return false;
        into.push_back(static_cast<int>(*n));
      }
      return true;
    };
    std::string bad = "boardsim: bad or missing value for " + a;
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "--link") {
      auto v = value();
      if (!v) return bad;
      c.link_path = *v;
    } else if (a == "--store") {
      auto v = value();
      if (!v) return bad;
      c.store_path = *v;
    } else if (a == "--transcript") {
      auto v = value();
      if (!v) return bad;
      c.transcript_path = *v;
    } else if (a == "--chip") {
      auto v = value();
      if (v == "lira") c.chip = Chip::lira;
      else if (v == "lrm") c.chip = Chip::lrm;
      else if (v == "q5") c.chip = Chip::q5;
      else return bad;
    } else if (a == "--flash") {
      auto v = value();
      if (v == "nor") c.flash = FlashKind::nor;
      else if (v == "nand") c.flash = FlashKind::nand;
      else return bad;
    } else if (a == "--nor-size") {
      auto n = num();
      if (!n || *n == 0) return bad;
      c.nor_size = static_cast<uint64_t>(*n);
    } else if (a == "--no-complete") {
      c.complete_store_on_stop = false;
    } else if (a == "--and-program") {
      c.nand_and_semantics = true;
    } else if (a == "--checksum") {
      c.xmodem_checksum = true;
    } else if (a == "--paced") {
      c.paced = true;
    } else if (a == "--turnaround") {
      auto n = int_num();
      if (!n) return bad;
      c.turnaround_ms = static_cast<int>(*n);
    } else if (a == "--bad-block") {
      if (!list(f.factory_bad_blocks)) return bad;
    } else if (a == "--erase-fail") {
      if (!list(f.erase_fail_blocks)) return bad;
    } else if (a == "--program-fail") {
      auto v = value();
      if (!v) return bad;
      auto parts = split(*v, ':');
      auto b = number(parts[0]);
      auto n = parts.size() > 1 ? int_sized(number(parts[1])) : std::optional<long long>(0);
      if (!b || !n || *b >= kNandBlocks || parts.size() > 2) return bad;
      f.program_fail_blocks.push_back({static_cast<int>(*b), static_cast<int>(*n)});
    } else if (a == "--block-fault") {
      auto v = value();
      if (!v) return bad;
      auto parts = split(*v, ':');
      if (parts.size() < 2 || parts.size() > 4) return bad;
      BlockFault bf;
      if (parts[0] == "nak") bf.kind = BlockFaultKind::nak;
      else if (parts[0] == "garbage") bf.kind = BlockFaultKind::garbage;
      else if (parts[0] == "silence") bf.kind = BlockFaultKind::silence;
      else return bad;
      auto b = int_sized(number(parts[1]));
      auto t = parts.size() > 2 ? int_sized(number(parts[2])) : std::optional<long long>(1);
      auto x = parts.size() > 3 ? int_sized(number(parts[3])) : std::optional<long long>(0);
      if (!b || *b == 0 || !t || !x) return bad;
      bf.block = static_cast<int>(*b);
      bf.times = static_cast<int>(*t);
      bf.transfer = static_cast<int>(*x);
      f.block_faults.push_back(bf);
    } else if (a == "--cancel-at-block") {
      auto n = int_num();
      if (!n || *n == 0) return bad;
      f.cancel_at_block = static_cast<int>(*n);
    } else if (a == "--wrong-first-ping") {
      f.wrong_first_ping = true;
    } else if (a == "--no-end-ack") {
      f.no_end_ack = true;
    } else if (a == "--no-start-request") {
      f.no_start_request = true;
    } else if (a == "--no-ok") {
      f.no_ok_after_transfer = true;
    } else if (a == "--short-replies") {
      f.short_replies = true;
    } else if (a == "--wrong-hash") {
      f.wrong_hash = true;
    } else if (a == "--silent-after") {
      auto n = int_num();
      if (!n) return bad;
      f.silent_after_commands = static_cast<int>(*n);
    } else if (a == "--stop-reading-after") {
      auto n = int_num();
      if (!n) return bad;
      f.stop_reading_after_commands = static_cast<int>(*n);
    } else if (a == "--hang-up-after") {
      auto n = int_num();
      if (!n) return bad;
      f.hang_up_after_commands = static_cast<int>(*n);
    } else if (a == "--erase-ms") {
      auto n = int_num();
      if (!n) return bad;
      f.erase_ms = static_cast<int>(*n);
    } else if (a == "--q5-application") {
      f.q5_in_application = true;
    } else {
      return "boardsim: unknown option " + a + " (see --help)";
    }
  }
  return {};
}

}  // namespace boardsim
