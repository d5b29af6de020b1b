#include "boardsim/device.h"

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>
#include <sstream>

namespace boardsim {

namespace {

constexpr char kWakeWord[] = "Vtl4420K";
constexpr uint8_t kChipId[3] = {0x9A, 0xF1, 0x80};
constexpr uint64_t kNorSector = 64 * 1024;

std::vector<std::string> split(const std::string &line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// Whole-token numbers only: a command with a malformed field is ignored.
std::optional<uint64_t> parse_num(const std::string &text, int base) {
  std::string_view s = text;
  if (base == 16 && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  uint64_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (ec != std::errc() || p != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

std::string printable(std::span<const uint8_t> bytes) {
  std::string s;
  for (uint8_t b : bytes) {
    if (b == '\n') s += "\\n";
    else if (b == '\r') s += "\\r";
    else if (b >= 0x20 && b < 0x7F && b != '\\') s += static_cast<char>(b);
    else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", b);
      s += buf;
    }
  }
  return s;
}

}  // namespace

Device::Device(const BoardConfig &config, FlashStore &store, Clock::time_point now,
               HostBaudFn host_baud, LogFn log)
    : cfg_(config), store_(store), host_baud_(std::move(host_baud)), log_(std::move(log)), now_(now) {
  q5_app_ = cfg_.chip == Chip::q5 && cfg_.faults.q5_in_application;
  for (const auto &f : cfg_.faults.program_fail_blocks) program_fail_left_.push_back(f.first_n_writes);
  silent_ = cfg_.faults.silent_after_commands == 0;
  deaf_ = cfg_.faults.stop_reading_after_commands == 0;
  hang_up_armed_ = cfg_.faults.hang_up_after_commands == 0;
  if (cfg_.flash == FlashKind::nand) {
    // Factory marks: spare byte 0 of page 0 is not 0xFF.
    for (int b : cfg_.faults.factory_bad_blocks) {
      if (b < 0 || b >= kNandBlocks) continue;
      const uint8_t mark = 0x00;
      store_.write(uint64_t(b) * kNandBlockRaw + kNandPageData, std::span(&mark, 1));
    }
  }
}

void Device::log(const std::string &text) {
  if (log_) log_(now_, text);
}

bool Device::host_matches() const { return !host_baud_ || host_baud_() == baud_; }

void Device::emit(std::span<const uint8_t> bytes) {
  if (silent_ || bytes.empty()) return;
  bool match = host_matches();
  for (uint8_t b : bytes) out_.push_back(match ? b : garbled(b));
  if (!rx_) log("tx \"" + printable(bytes) + "\"" + (match ? "" : " (host at another rate)"));
}

void Device::emit(const std::string &text) {
  emit(std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
}

void Device::reply_ok() { emit(cfg_.faults.short_replies ? std::string("O") : std::string("OK")); }

void Device::reply_result(bool ok) {
  if (ok) reply_ok();
  else emit(std::string("ER"));
}

std::vector<uint8_t> Device::take_output() {
  std::vector<uint8_t> out;
  out.swap(out_);
  return out;
}

void Device::defer(Millis delay, int wait_rate, std::function<void()> action) {
  pending_ = Pending{now_ + delay, wait_rate, std::move(action)};
  release_pending();
}

void Device::release_pending() {
  while (pending_) {
    bool rate_ok = pending_->wait_rate != 0 && host_baud_ && host_baud_() == pending_->wait_rate;
    bool no_probe = pending_->wait_rate != 0 && !host_baud_;
    if (!(rate_ok || no_probe || now_ >= pending_->due)) return;
    auto action = std::move(pending_->action);
    pending_.reset();
    action();
    while (!pending_ && !held_.empty()) {
      uint8_t b = held_.front();
      held_.pop_front();
      feed_byte(b);
    }
  }
}

void Device::feed(std::span<const uint8_t> bytes, Clock::time_point now) {
  now_ = now;
  release_pending();
  for (size_t i = 0; i < bytes.size();) {
    if (deaf_ || hang_up_) return;  // what follows was never taken from the line
    // The host goes on after the last answered command: the line goes down
    // now, once that answer has had its chance to be read.
    if (hang_up_armed_) {
      hang_up_ = true;
      log("hangs the line up");
      return;
    }
    if (pending_) {
      held_.insert(held_.end(), bytes.begin() + static_cast<long>(i), bytes.end());
      return;
    }
    if (rx_ && !silent_) {
      std::vector<uint8_t> ctl;
      size_t k = rx_->feed_body(bytes.subspan(i), now_, ctl);
      if (k > 0) {
        emit(ctl);
        if (rx_->status() != XmodemReceiver::Status::running) finish_transfer();
        i += k;
        continue;
      }
    }
    feed_byte(bytes[i++]);
  }
}

void Device::tick(Clock::time_point now) {
  now_ = now;
  release_pending();
  if (rx_) {
    std::vector<uint8_t> ctl;
    rx_->tick(now, ctl);
    if (!silent_) emit(ctl);
    if (rx_->status() != XmodemReceiver::Status::running) finish_transfer();
  }
}

Clock::time_point Device::next_deadline() const {
  auto t = Clock::time_point::max();
  if (pending_) {
    t = pending_->due;
    // Rate changes of the host are seen by polling its settings.
    if (pending_->wait_rate != 0 && host_baud_) t = std::min(t, now_ + Millis(5));
  }
  if (rx_) t = std::min(t, rx_->deadline());
  return t;
}

void Device::host_opened(Clock::time_point now) {
  now_ = now;
  ++stats_.opens;
  baud_ = 115200;
  stats_.device_baud = baud_;
  line_.clear();
  wake_match_ = 0;
  held_.clear();
  pending_.reset();
  if (rx_) {
    log("transfer dropped: port reopened");
    rx_.reset();
  }
}

void Device::restart(bool to_loader) {
  baud_ = 115200;
  stats_.device_baud = baud_;
  line_.clear();
  wake_match_ = 0;
  q5_app_ = cfg_.chip == Chip::q5 && cfg_.faults.q5_in_application && !to_loader;
  stats_.loader_running = to_loader;
  loader_received_ = false;
  log(to_loader ? "restart into the uploaded loader"
      : q5_app_ ? "restart into the application"
                : "restart into the boot ROM");
}

void Device::feed_byte(uint8_t b) {
  if (silent_ || deaf_ || hang_up_ || hang_up_armed_) return;
  if (rx_) {
    std::vector<uint8_t> ctl;
    bool used = rx_->feed(b, now_, ctl);
    emit(ctl);
    if (rx_->status() != XmodemReceiver::Status::running) finish_transfer();
    if (used) return;
  }
  // The q5 wake word has no terminator: spot it in the stream.
  if (cfg_.chip == Chip::q5) {
    wake_match_ = (b == static_cast<uint8_t>(kWakeWord[wake_match_])) ? wake_match_ + 1
                  : (b == static_cast<uint8_t>(kWakeWord[0]))          ? 1
                                                                       : 0;
    if (wake_match_ == sizeof kWakeWord - 1) {
      wake_match_ = 0;
      line_.clear();
      log("rx wake word");
      if (!q5_app_) emit(std::string("\r\n$4420k>"));
      return;
    }
  }
  // "\r\n" ends one line, not two.
  bool after_cr = after_cr_;
  after_cr_ = b == '\r';
  if (b == '\n' && after_cr) return;
  if (b == '\n' || b == '\r') {
    std::string line;
    line.swap(line_);
    run_line(line);
    return;
  }
  // Stray control bytes (end-frame padding, cancels) are not command text.
  if (b < 0x20 || b >= 0x7F) return;
  if (line_.size() < kMaxLine) line_.push_back(static_cast<char>(b));
}

void Device::run_line(const std::string &line) {
  const Words words = split(line);
  // An empty line matters only to the q5 application (its prompt).
  if (words.empty()) {
    if (q5_app_) emit(std::string("\r\n# "));
    return;
  }
  if (!count_command(line)) return;
  if (q5_app_) {
    q5_application_line(words[0]);
    return;
  }
  const Command *command = find_command(words);
  if (command == nullptr) {
    log("ignored");
    return;
  }
  (this->*command->run)(words);
}

// Counts a command line and starts the faults due after so many; false when
// the board answers no more.
bool Device::count_command(const std::string &line) {
  ++stats_.commands;
  log("rx \"" + line + "\"");
  const Faults &f = cfg_.faults;
  if (f.silent_after_commands >= 0 && stats_.commands > f.silent_after_commands) {
    silent_ = true;
    log("silent from here on");
    return false;
  }
  // This command is still answered; nothing after it is taken.
  if (stats_.commands == f.stop_reading_after_commands) {
    deaf_ = true;
    log("reads nothing from here on");
  }
  if (stats_.commands == f.hang_up_after_commands) hang_up_armed_ = true;
  return true;
}

void Device::q5_application_line(const std::string &command) {
  if (command == "ATXX") {
    q5_app_ = false;
    log("q5 application hands over to the ROM");
  } else {
    emit(std::string("\r\n# "));
  }
}

const Device::Command Device::kCommands[] = {
    {"ping", 1, Needs::any, &Device::cmd_ping},
    {"ucfg", 4, Needs::any, &Device::cmd_ucfg},
    // A NAND board has no NOR to hash: its silence tells the host so.
    {"hashq", 4, Needs::nor, &Device::cmd_hashq},
    {"fwd", 4, Needs::nor, &Device::cmd_fwd},
    {"fwd16k", 4, Needs::nor, &Device::cmd_fwd},
    {"fwd", 9, Needs::nor, &Device::cmd_fwd_q5},
    {"ceras", 3, Needs::nor, &Device::cmd_ceras},
    {"seras", 5, Needs::nor, &Device::cmd_seras},
    {"uboot", 1, Needs::any, &Device::cmd_uboot},
    {"disc", 1, Needs::any, &Device::cmd_disc},
    {"WDTRST", 1, Needs::any, &Device::cmd_wdtrst},
    {"snb", 2, Needs::nand, &Device::cmd_snb},
    {"snr", 5, Needs::nand, &Device::cmd_snr},
    {"sfwd", 4, Needs::nand, &Device::cmd_sfwd},
    {"sne", 3, Needs::nand, &Device::cmd_sne},
};

const Device::Command *Device::find_command(const Words &words) const {
  const Needs flash = cfg_.flash == FlashKind::nor ? Needs::nor : Needs::nand;
  for (const Command &c : kCommands) {
    if (c.name == words[0] && c.words == words.size() && (c.needs == Needs::any || c.needs == flash)) return &c;
  }
  return nullptr;
}

void Device::cmd_ping(const Words &) {
  const bool wrong = cfg_.faults.wrong_first_ping && !pings_;
  pings_ = true;
  emit(wrong ? std::string("pong") : cfg_.faults.short_replies ? std::string("pin") : std::string("ping"));
}

void Device::cmd_ucfg(const Words &words) {
  auto rate = parse_num(words[1], 10);
  if (!rate || *rate == 0 || *rate > 20000000) return;
  baud_ = static_cast<int>(*rate);
  stats_.device_baud = baud_;
  // "OK" goes out at the new rate; a host that never follows hears noise.
  defer(kUcfgWait, baud_, [this] { reply_ok(); });
}

void Device::cmd_hashq(const Words &words) {
  auto len = parse_num(words[1], 10);
  if (!len) return;
  // The second field (the piece's place in the image file) means nothing to
  // the board: it hashes from the address of the last download start.
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
  std::vector<uint8_t> chunk(1 << 20);
  uint64_t pos = last_start_;
  uint64_t end = std::min(store_.size(), last_start_ + *len);
  while (pos < end) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), end - pos));
    store_.read_into(pos, std::span(chunk.data(), n));
    EVP_DigestUpdate(ctx.get(), chunk.data(), n);
    pos += n;
  }
  uint8_t digest[32];
  unsigned int dlen = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &dlen);
  if (cfg_.faults.wrong_hash) digest[0] ^= 0xFF;
  std::vector<uint8_t> reply = {'h', 'a', 's', 'h', 's', ' '};
  reply.insert(reply.end(), digest, digest + (cfg_.faults.short_replies ? 16 : 32));
  emit(reply);
}

void Device::cmd_fwd(const Words &words) {
  auto addr = parse_num(words[3], 16);
  if (!addr) return;
  start_transfer(Purpose::nor_program, *addr);
}

// The q5 ROM's download start: "fwd 16 15 <rate> ... <address>".
void Device::cmd_fwd_q5(const Words &words) {
  if (words[1] != "16" || words[2] != "15") {
    log("ignored");
    return;
  }
  auto rate = parse_num(words[3], 10);
  auto addr = parse_num(words[8], 16);
  if (!rate || !addr || *rate == 0) return;
  // The q5 ROM moves to the rate in the command, then asks for the data.
  baud_ = static_cast<int>(*rate);
  stats_.device_baud = baud_;
  const uint64_t a = *addr;
  defer(kQ5Wait, baud_, [this, a] {
    start_transfer(Purpose::nor_program, a);
    rx_q5_ = true;
  });
}

void Device::cmd_ceras(const Words &) { erase_nor(0, store_.size()); }

void Device::cmd_seras(const Words &words) {
  auto start = parse_num(words[1], 16);
  auto len = parse_num(words[2], 16);
  if (!start || !len) return;
  erase_nor(*start, *len);
}

void Device::cmd_uboot(const Words &) { start_transfer(Purpose::loader, 0); }

void Device::cmd_disc(const Words &) { restart(loader_received_); }

void Device::cmd_wdtrst(const Words &) { restart(false); }

void Device::cmd_snb(const Words &words) {
  if (words[1] != "0x10") {
    log("ignored");
    return;
  }
  emit(std::span(kChipId, cfg_.faults.short_replies ? 2 : 3));
}

void Device::cmd_snr(const Words &words) {
  auto page = parse_num(words[1], 16);
  auto count = parse_num(words[3], 10);
  if (!page || !count || *page >= uint64_t(kNandBlocks) * kNandPagesPerBlock) return;
  size_t n = static_cast<size_t>(std::min<uint64_t>(*count, kNandPageRaw));
  if (cfg_.faults.short_replies && n > 52) n -= 52;
  emit(store_.read(*page * kNandPageRaw, n));
}

void Device::cmd_sfwd(const Words &words) {
  auto off = parse_num(words[3], 16);
  if (!off) return;
  start_transfer(Purpose::nand_write, *off);
}

void Device::cmd_sne(const Words &words) {
  auto off = parse_num(words[1], 16);
  auto len = parse_num(words[2], 16);
  bool ok = off && len && *len > 0 && *off % kNandBlockRaw == 0 && *len % kNandBlockRaw == 0 &&
            *off < kNandRawSize && *len <= kNandRawSize - *off;
  if (ok) {
    for (uint64_t o = *off; o < *off + *len; o += kNandBlockRaw) {
      int block = nand_block_of(o);
      auto &ef = cfg_.faults.erase_fail_blocks;
      if (is_factory_bad(block) || std::find(ef.begin(), ef.end(), block) != ef.end()) {
        ok = false;
        log("erase of block " + std::to_string(block) + " fails");
        continue;
      }
      store_.fill(o, kNandBlockRaw, 0xFF);
    }
  }
  after_erase(ok);
}

void Device::erase_nor(uint64_t start, uint64_t length) {
  const bool ok = start < store_.size() && length <= store_.size() - start;
  if (ok) store_.fill(start, length, 0xFF);
  after_erase(ok);
}

// "OK" or "ER", after the erase time when one is set.
void Device::after_erase(bool ok) {
  if (cfg_.faults.erase_ms > 0) defer(Millis(cfg_.faults.erase_ms), 0, [this, ok] { reply_result(ok); });
  else reply_result(ok);
}

bool Device::is_factory_bad(int block) const {
  const auto &fb = cfg_.faults.factory_bad_blocks;
  return std::find(fb.begin(), fb.end(), block) != fb.end();
}

void Device::start_transfer(Purpose purpose, uint64_t address) {
  ++stats_.transfers;
  if (purpose == Purpose::nor_program) last_start_ = address;
  XmodemRxOptions o;
  o.checksum = cfg_.xmodem_checksum;
  o.no_start_request = cfg_.faults.no_start_request;
  o.no_end_ack = cfg_.faults.no_end_ack;
  o.cancel_at_block = cfg_.faults.cancel_at_block;
  for (const auto &f : cfg_.faults.block_faults)
    if (f.transfer == 0 || f.transfer == stats_.transfers) o.faults.push_back(f);
  rx_purpose_ = purpose;
  rx_address_ = address;
  rx_q5_ = false;
  std::vector<uint8_t> ctl;
  rx_.emplace(std::move(o), now_, ctl);
  emit(ctl);
}

void Device::finish_transfer() {
  XmodemReceiver rx = std::move(*rx_);
  rx_.reset();
  bool q5 = rx_q5_;
  rx_q5_ = false;
  if (rx.status() != XmodemReceiver::Status::done) {
    log("transfer failed after " + std::to_string(rx.blocks()) + " blocks");
    if (q5) restart(false);
    return;
  }
  ++stats_.transfers_ok;
  log("transfer of " + std::to_string(rx.blocks()) + " blocks, " + std::to_string(rx.data().size()) +
      " bytes");
  // A transfer without data (the verify pass) programs nothing, so it gets no
  // "OK": one would be taken for the reply to the next command.
  if (rx.blocks() == 0) return;
  bool ok = true;
  switch (rx_purpose_) {
    case Purpose::nor_program:
      ok = program_nor(rx_address_, rx.data(), rx.last_block_size());
      break;
    case Purpose::nand_write:
      ok = program_nand(rx_address_, rx.data());
      break;
    case Purpose::loader:
      loader_received_ = true;
      break;
  }
  if (!cfg_.faults.no_ok_after_transfer) reply_result(ok);
  // The q5 ROM returns to 115200 once a download is done.
  if (q5) {
    baud_ = 115200;
    stats_.device_baud = baud_;
  }
}

bool Device::program_nor(uint64_t address, const std::vector<uint8_t> &data, size_t last_block) {
  // Drop the sender's padding (0x1A then zeros) from the final block, so bytes
  // beyond the image, such as a masked area, keep their contents.
  size_t n = data.size();
  size_t first = n - last_block;
  size_t i = n;
  while (i > first && data[i - 1] == 0x00) --i;
  if (i > first && data[i - 1] == kCtrlZ) n = i - 1;
  // An image running past the end of the flash is refused whole.
  if (address > store_.size() || n > store_.size() - address) {
    log("image of " + std::to_string(n) + " bytes does not fit at " + std::to_string(address));
    return false;
  }
  store_.write(address, std::span(data.data(), n));
  return true;
}

bool Device::program_nand(uint64_t offset, const std::vector<uint8_t> &data) {
  size_t n;
  if (offset % kNandBlockRaw == 0 && data.size() >= size_t(kNandBlockRaw)) n = kNandBlockRaw;
  else if (offset % kNandPageRaw == 0 && data.size() >= size_t(kNandPageIo)) n = kNandPageIo;
  else return false;
  if (offset >= kNandRawSize || n > kNandRawSize - offset) return false;
  int block = nand_block_of(offset);
  if (is_factory_bad(block)) {
    log("write to factory-bad block " + std::to_string(block) + " changes nothing");
    return true;
  }
  std::vector<uint8_t> bytes(data.begin(), data.begin() + static_cast<long>(n));
  const auto &pf = cfg_.faults.program_fail_blocks;
  for (size_t k = 0; k < pf.size(); ++k) {
    if (pf[k].block != block) continue;
    if (pf[k].first_n_writes != 0 && program_fail_left_[k] <= 0) continue;
    if (pf[k].first_n_writes != 0) --program_fail_left_[k];
    // Data byte 0 of each page lands wrong; the spare bytes land as sent.
    for (size_t p = 0; p < n; p += kNandPageRaw) bytes[p] = static_cast<uint8_t>(~bytes[p]);
    log("programming of block " + std::to_string(block) + " fails");
    break;
  }
  store_.write(offset, bytes, cfg_.nand_and_semantics);
  return true;
}

}  // namespace boardsim
