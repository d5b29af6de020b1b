#include "boardsim/xmodem_rx.h"

#include <algorithm>
#include <array>

namespace boardsim {

namespace {
constexpr std::array<uint16_t, 256> make_crc_table() {
  std::array<uint16_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int b = 0; b < 8; ++b)
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    t[static_cast<size_t>(i)] = crc;
  }
  return t;
}
constexpr auto kCrcTable = make_crc_table();
}  // namespace

uint16_t crc16_xmodem(const uint8_t *data, size_t len) {
  uint16_t crc = 0;
  for (size_t i = 0; i < len; ++i)
    crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

size_t xmodem_block_size(uint8_t header) {
  switch (header) {
    case kSoh: return 128;
    case kStx: return 1024;
    case 0xA3: return 4096;
    case 0xA4: return 8192;
    case 0xA0: return 16384;
    case 0xA1: return 32768;
    case 0xA2: return 65536;
    default: return 0;
  }
}

XmodemReceiver::XmodemReceiver(XmodemRxOptions options, Clock::time_point now,
                               std::vector<uint8_t> &out)
    : opt_(std::move(options)), now_(now) {
  if (!opt_.no_start_request) {
    out.push_back(opt_.checksum ? kNak : 'C');
    requests_ = 1;
  }
  deadline_ = now + kStartInterval;
}

bool XmodemReceiver::feed(uint8_t byte, Clock::time_point now, std::vector<uint8_t> &out) {
  if (status_ != Status::running) return false;
  now_ = now;
  if (ended_) {
    // The sender repeats its end frame while we stay silent; anything else
    // is the next command.
    if (byte == kEot || byte == 0x00) {
      deadline_ = now + kEndGrace;
      return true;
    }
    finish(Status::aborted);
    return false;
  }
  if (frame_.empty()) {
    if (byte == kCan) {
      if (saw_can_) {
        finish(Status::aborted);
        return true;
      }
      saw_can_ = true;
      return true;
    }
    saw_can_ = false;
    if (byte == kEot) {
      if (opt_.no_end_ack) {
        ended_ = true;
        deadline_ = now + kEndGrace;
        return true;
      }
      out.push_back(kAck);
      finish(Status::done);
      return true;
    }
    size_t size = xmodem_block_size(byte);
    if (size == 0) return true;  // line noise between frames
    frame_.reserve(3 + size + 2);
    frame_.push_back(byte);
    frame_size_ = 3 + size + (opt_.checksum ? 1 : 2);
    deadline_ = now + kFrameGap;
    return true;
  }
  frame_.push_back(byte);
  deadline_ = now + kFrameGap;
  if (frame_.size() == frame_size_) handle_frame(out);
  return true;
}

size_t XmodemReceiver::feed_body(std::span<const uint8_t> bytes, Clock::time_point now,
                                 std::vector<uint8_t> &out) {
  if (status_ != Status::running || frame_.empty() || ended_) return 0;
  size_t n = std::min(frame_size_ - frame_.size(), bytes.size());
  frame_.insert(frame_.end(), bytes.begin(), bytes.begin() + static_cast<long>(n));
  now_ = now;
  deadline_ = now + kFrameGap;
  if (frame_.size() == frame_size_) handle_frame(out);
  return n;
}

void XmodemReceiver::handle_frame(std::vector<uint8_t> &out) {
  // The frame buffer keeps its capacity from frame to frame.
  struct Clear {
    std::vector<uint8_t> &v;
    ~Clear() { v.clear(); }
  } clear{frame_};
  const std::vector<uint8_t> &frame = frame_;
  deadline_ = now_ + kIdle;
  size_t size = xmodem_block_size(frame[0]);
  const uint8_t *payload = frame.data() + 3;
  bool good = static_cast<uint8_t>(frame[1] + frame[2]) == 0xFF;
  if (good && opt_.checksum) {
    uint8_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum = static_cast<uint8_t>(sum + payload[i]);
    good = sum == frame[3 + size];
  } else if (good) {
    uint16_t crc = crc16_xmodem(payload, size);
    good = frame[3 + size] == (crc >> 8) && frame[4 + size] == (crc & 0xFF);
  }
  if (!good) {
    out.push_back(kNak);
    return;
  }
  if (frame[1] == static_cast<uint8_t>(expected_ - 1) && accepted_ > 0) {
    out.push_back(kAck);  // our ACK was lost: the sender repeats the block
    return;
  }
  if (frame[1] != expected_) {
    out.push_back(kCan);
    out.push_back(kCan);
    finish(Status::aborted);
    return;
  }
  int ordinal = accepted_ + 1;
  if (ordinal == opt_.cancel_at_block) {
    out.push_back(kCan);
    out.push_back(kCan);
    finish(Status::aborted);
    return;
  }
  for (auto &f : opt_.faults) {
    if (f.block != ordinal || f.times <= 0) continue;
    --f.times;
    if (f.kind == BlockFaultKind::nak) out.push_back(kNak);
    else if (f.kind == BlockFaultKind::garbage) out.push_back('?');
    return;  // not accepted: the sender will deliver it again
  }
  data_.insert(data_.end(), payload, payload + size);
  last_block_size_ = size;
  ++accepted_;
  ++expected_;
  out.push_back(kAck);
}

void XmodemReceiver::tick(Clock::time_point now, std::vector<uint8_t> &out) {
  now_ = now;
  if (status_ != Status::running || now < deadline_) return;
  if (ended_) {
    finish(Status::aborted);
    return;
  }
  if (!frame_.empty()) {
    frame_.clear();  // a frame stalled half-way: ask again
    out.push_back(kNak);
    deadline_ = now + kIdle;
    return;
  }
  if (accepted_ == 0 && requests_ < kStartRequests) {
    if (!opt_.no_start_request) out.push_back(opt_.checksum ? kNak : 'C');
    ++requests_;
    deadline_ = now + kStartInterval;
    return;
  }
  finish(Status::aborted);
}

}  // namespace boardsim
