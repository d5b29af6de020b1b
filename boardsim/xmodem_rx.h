// XMODEM receiver as a state machine: bytes and time in, control bytes out.
// Accepts CRC-16 and checksum modes, 128-byte and 1 KiB blocks, the large
// blocks 0xA0-0xA4, the four-byte end frame and a lone EOT. Written apart
// from any sender so that one side's mistake is not mirrored by the other.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "boardsim/board.h"

namespace boardsim {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

inline constexpr uint8_t kSoh = 0x01, kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15,
                         kCan = 0x18, kCtrlZ = 0x1A;

// CRC-16 with polynomial 0x1021, initial 0, no reflection (check "123456789" = 0x31C3).
uint16_t crc16_xmodem(const uint8_t *data, size_t len);
// Payload size for a frame header byte; 0 when it is no header.
size_t xmodem_block_size(uint8_t header);

struct XmodemRxOptions {
  bool checksum = false;          // ask with NAK (checksum) instead of 'C'
  bool no_start_request = false;  // never ask
  bool no_end_ack = false;        // never acknowledge EOT
  int cancel_at_block = 0;        // CAN CAN instead of ACK at this ordinal
  std::vector<BlockFault> faults;  // faults of this transfer (transfer field ignored)
};

class XmodemReceiver {
 public:
  enum class Status {
    running,
    done,     // end acknowledged; data() holds the payload
    aborted,  // cancelled by either side, out of sequence, or timed out
  };

  // Time-outs of the receiving side.
  static constexpr Millis kStartInterval{3000};  // between start requests
  static constexpr int kStartRequests = 10;
  static constexpr Millis kFrameGap{1000};  // silence inside a frame: NAK it
  static constexpr Millis kIdle{10000};     // silence between frames: give up
  static constexpr Millis kEndGrace{2000};  // after an unacknowledged end

  XmodemReceiver(XmodemRxOptions options, Clock::time_point now, std::vector<uint8_t> &out);

  // One byte from the sender. Returns false when the transfer has ended
  // without consuming the byte (it belongs to whatever follows).
  bool feed(uint8_t byte, Clock::time_point now, std::vector<uint8_t> &out);
  // Fast path for the middle of a frame: takes as many of the bytes as the
  // frame still needs and returns that count; 0 when no frame is under way.
  size_t feed_body(std::span<const uint8_t> bytes, Clock::time_point now, std::vector<uint8_t> &out);
  void tick(Clock::time_point now, std::vector<uint8_t> &out);
  Clock::time_point deadline() const { return deadline_; }

  Status status() const { return status_; }
  const std::vector<uint8_t> &data() const { return data_; }
  size_t last_block_size() const { return last_block_size_; }  // 0 when no block
  int blocks() const { return accepted_; }

 private:
  void handle_frame(std::vector<uint8_t> &out);
  void finish(Status s) { status_ = s; }

  XmodemRxOptions opt_;
  Status status_ = Status::running;
  std::vector<uint8_t> frame_;  // header byte onwards
  size_t frame_size_ = 0;       // whole frame length once the header is known
  bool saw_can_ = false;
  bool ended_ = false;  // EOT seen but not acknowledged (no_end_ack)
  uint8_t expected_ = 1;
  int accepted_ = 0;
  int requests_ = 0;
  std::vector<uint8_t> data_;
  size_t last_block_size_ = 0;
  Clock::time_point deadline_;
  Clock::time_point now_;
};

}  // namespace boardsim
