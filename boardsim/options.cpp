#include "boardsim/options.h"

#include <getopt.h>

#include <charconv>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

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

// The value parsers: each stores into its field and says whether the value
// was taken.

bool turn_on(bool &flag) {
  flag = true;
  return true;
}

bool turn_off(bool &flag) {
  flag = false;
  return true;
}

bool store_text(std::string &into, const std::string &v) {
  into = v;
  return true;
}

// A number that fits the int fields of the configuration: a larger one
// would wrap into some other value (a negative time, silence from the start).
bool store_int(int &into, const std::string &v, long long least = 0) {
  auto n = number(v);
  if (!n || *n < least || *n > std::numeric_limits<int>::max()) return false;
  into = static_cast<int>(*n);
  return true;
}

bool store_block(int &into, const std::string &v) {
  auto n = number(v);
  if (!n || *n >= kNandBlocks) return false;
  into = static_cast<int>(*n);
  return true;
}

template <typename E, size_t N>
bool store_named(E &into, const std::string &v, const std::pair<std::string_view, E> (&names)[N]) {
  for (const auto &[name, value] : names) {
    if (v == name) {
      into = value;
      return true;
    }
  }
  return false;
}

constexpr std::pair<std::string_view, Chip> kChips[] = {
    {"lira", Chip::lira}, {"lrm", Chip::lrm}, {"q5", Chip::q5}};
constexpr std::pair<std::string_view, FlashKind> kFlashKinds[] = {{"nor", FlashKind::nor},
                                                                  {"nand", FlashKind::nand}};
constexpr std::pair<std::string_view, BlockFaultKind> kBlockFaultKinds[] = {
    {"nak", BlockFaultKind::nak}, {"garbage", BlockFaultKind::garbage}, {"silence", BlockFaultKind::silence}};

bool store_nor_size(uint64_t &into, const std::string &v) {
  auto n = number(v);
  if (!n || *n == 0) return false;
  into = static_cast<uint64_t>(*n);
  return true;
}

// B[,B..]
bool add_blocks(std::vector<int> &into, const std::string &v) {
  for (const auto &part : split(v, ',')) {
    int block = 0;
    if (!store_block(block, part)) return false;
    into.push_back(block);
  }
  return true;
}

// B[:N]
bool add_program_fail(std::vector<ProgramFailBlock> &into, const std::string &v) {
  const auto parts = split(v, ':');
  ProgramFailBlock p;
  if (parts.size() > 2 || !store_block(p.block, parts[0])) return false;
  if (parts.size() > 1 && !store_int(p.first_n_writes, parts[1])) return false;
  into.push_back(p);
  return true;
}

// K:B[:T[:X]]
bool add_block_fault(std::vector<BlockFault> &into, const std::string &v) {
  const auto parts = split(v, ':');
  BlockFault f;
  if (parts.size() < 2 || parts.size() > 4) return false;
  if (!store_named(f.kind, parts[0], kBlockFaultKinds) || !store_int(f.block, parts[1], 1)) return false;
  if (parts.size() > 2 && !store_int(f.times, parts[2])) return false;
  if (parts.size() > 3 && !store_int(f.transfer, parts[3])) return false;
  into.push_back(f);
  return true;
}

using Value = const std::string &;

struct OptionSpec {
  const char *name;
  bool takes_value;
  bool (*apply)(ProgramOptions &o, Value v);  // false: the value is refused
};

// Every option, long name first; "-h" is the one short name.
constexpr OptionSpec kOptions[] = {
    {"help", false, [](ProgramOptions &o, Value) { return turn_on(o.help); }},
    {"link", true, [](ProgramOptions &o, Value v) { return store_text(o.config.link_path, v); }},
    {"chip", true, [](ProgramOptions &o, Value v) { return store_named(o.config.chip, v, kChips); }},
    {"flash", true, [](ProgramOptions &o, Value v) { return store_named(o.config.flash, v, kFlashKinds); }},
    {"nor-size", true, [](ProgramOptions &o, Value v) { return store_nor_size(o.config.nor_size, v); }},
    {"store", true, [](ProgramOptions &o, Value v) { return store_text(o.config.store_path, v); }},
    {"no-complete", false,
     [](ProgramOptions &o, Value) { return turn_off(o.config.complete_store_on_stop); }},
    {"and-program", false, [](ProgramOptions &o, Value) { return turn_on(o.config.nand_and_semantics); }},
    {"checksum", false, [](ProgramOptions &o, Value) { return turn_on(o.config.xmodem_checksum); }},
    {"paced", false, [](ProgramOptions &o, Value) { return turn_on(o.config.paced); }},
    {"turnaround", true, [](ProgramOptions &o, Value v) { return store_int(o.config.turnaround_ms, v); }},
    {"transcript", true, [](ProgramOptions &o, Value v) { return store_text(o.config.transcript_path, v); }},
    // Faults.
    {"bad-block", true,
     [](ProgramOptions &o, Value v) { return add_blocks(o.config.faults.factory_bad_blocks, v); }},
    {"program-fail", true,
     [](ProgramOptions &o, Value v) { return add_program_fail(o.config.faults.program_fail_blocks, v); }},
    {"erase-fail", true,
     [](ProgramOptions &o, Value v) { return add_blocks(o.config.faults.erase_fail_blocks, v); }},
    {"wrong-first-ping", false,
     [](ProgramOptions &o, Value) { return turn_on(o.config.faults.wrong_first_ping); }},
    {"block-fault", true,
     [](ProgramOptions &o, Value v) { return add_block_fault(o.config.faults.block_faults, v); }},
    {"cancel-at-block", true,
     [](ProgramOptions &o, Value v) { return store_int(o.config.faults.cancel_at_block, v, 1); }},
    {"no-end-ack", false, [](ProgramOptions &o, Value) { return turn_on(o.config.faults.no_end_ack); }},
    {"no-start-request", false,
     [](ProgramOptions &o, Value) { return turn_on(o.config.faults.no_start_request); }},
    {"no-ok", false, [](ProgramOptions &o, Value) { return turn_on(o.config.faults.no_ok_after_transfer); }},
    {"short-replies", false, [](ProgramOptions &o, Value) { return turn_on(o.config.faults.short_replies); }},
    {"wrong-hash", false, [](ProgramOptions &o, Value) { return turn_on(o.config.faults.wrong_hash); }},
    {"silent-after", true,
     [](ProgramOptions &o, Value v) { return store_int(o.config.faults.silent_after_commands, v); }},
    {"stop-reading-after", true,
     [](ProgramOptions &o, Value v) { return store_int(o.config.faults.stop_reading_after_commands, v); }},
    {"hang-up-after", true,
     [](ProgramOptions &o, Value v) { return store_int(o.config.faults.hang_up_after_commands, v); }},
    {"erase-ms", true, [](ProgramOptions &o, Value v) { return store_int(o.config.faults.erase_ms, v); }},
    {"q5-application", false,
     [](ProgramOptions &o, Value) { return turn_on(o.config.faults.q5_in_application); }},
};

// getopt_long's value for kOptions[i]: above every character, so a short
// option can never be taken for a long one.
constexpr int kFirstId = 256;

std::vector<option> getopt_table() {
  std::vector<option> table;
  for (const OptionSpec &spec : kOptions) {
    const int id = kFirstId + static_cast<int>(table.size());
    table.push_back({spec.name, spec.takes_value ? required_argument : no_argument, nullptr, id});
  }
  table.push_back({nullptr, 0, nullptr, 0});
  return table;
}

std::string unknown_option(const std::string &what) {
  return "boardsim: unknown option " + what + " (see --help)";
}

std::string bad_value(const std::string &option_name) {
  return "boardsim: bad or missing value for " + option_name;
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
  std::vector<std::string> words = {"boardsim"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());
  const std::vector<option> table = getopt_table();

  // "+": the first word that is no option ends the walk (it is refused
  // below); ":": a missing value is told apart from an unknown option.
  opterr = 0;
  optind = 0;  // a walk from the start, whatever an earlier one left
  for (;;) {
    const int id = getopt_long(argc, argv.data(), "+:h", table.data(), nullptr);
    if (id == -1) break;
    if (id == ':') return bad_value(argv[optind - 1]);
    if (id == '?') {
      // optopt holds an unknown short option's letter; else the word is to blame.
      const bool short_letter = optopt > 0 && optopt < kFirstId;
      return unknown_option(short_letter ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1]);
    }
    const OptionSpec &spec = id == 'h' ? kOptions[0] : kOptions[id - kFirstId];
    if (!spec.apply(o, optarg != nullptr ? optarg : "")) return bad_value(std::string("--") + spec.name);
  }
  if (optind < argc) return unknown_option(argv[optind]);
  return {};
}

}  // namespace boardsim
