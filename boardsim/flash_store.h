// The flash contents, backed by a file mapped into memory so the file always
// holds what was programmed. Fresh stores are sparse: each region is filled
// with 0xFF (erased flash) the first time it is touched, so making a 132 MiB
// NAND costs nothing until it is used.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace boardsim {

class FlashStore {
 public:
  // size: bytes of flash; region: granularity of the lazy fill (a NAND block,
  // a NOR sector). path empty: an unnamed temporary file. Throws
  // std::runtime_error when the file cannot be made or has the wrong size.
  FlashStore(const std::string &path, uint64_t size, uint64_t region, bool allow_shorter_file);
  ~FlashStore();
  FlashStore(const FlashStore &) = delete;
  FlashStore &operator=(const FlashStore &) = delete;

  uint64_t size() const { return size_; }
  // Reads clip at the end of the flash.
  std::vector<uint8_t> read(uint64_t offset, size_t length) const;
  void read_into(uint64_t offset, std::span<uint8_t> out) const;
  // Writes replace bytes (and_mode: new = old AND data). Clipped at the end.
  void write(uint64_t offset, std::span<const uint8_t> data, bool and_mode = false);
  void fill(uint64_t offset, uint64_t length, uint8_t value);
  // Fills every untouched region with 0xFF so the file is complete.
  void complete();

 private:
  void touch(uint64_t offset, uint64_t length);  // lock held
  int fd_ = -1;
  uint8_t *map_ = nullptr;
  uint64_t size_ = 0;
  uint64_t region_ = 0;
  std::vector<bool> touched_;
  mutable std::mutex mutex_;
};

}  // namespace boardsim
