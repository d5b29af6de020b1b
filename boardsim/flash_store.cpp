#include "boardsim/flash_store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace boardsim {

namespace {
[[noreturn]] void fail(const std::string &what) {
  throw std::runtime_error("flash store: " + what + ": " + std::strerror(errno));
}
}  // namespace

FlashStore::FlashStore(const std::string &path, uint64_t size, uint64_t region,
                       bool allow_shorter_file)
    : size_(size), region_(region), touched_((size + region - 1) / region, false) {
  if (size == 0 || region == 0) throw std::runtime_error("flash store: empty flash");
  if (path.empty()) {
    fd_ = open(std::filesystem::temp_directory_path().c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      // File systems without unnamed files: a named one, unlinked at once.
      std::string tmpl = (std::filesystem::temp_directory_path() / "boardsim-store-XXXXXX").string();
      fd_ = mkostemp(tmpl.data(), O_CLOEXEC);
      if (fd_ >= 0) unlink(tmpl.c_str());
    }
  } else {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  }
  if (fd_ < 0) fail("cannot open " + path);
  struct stat st{};
  if (fstat(fd_, &st) != 0) fail("cannot stat " + path);
  uint64_t have = static_cast<uint64_t>(st.st_size);
  if (have > size || (have != 0 && have < size && !allow_shorter_file)) {
    close(fd_);
    errno = EINVAL;
    fail(path + " holds " + std::to_string(have) + " bytes, the flash " + std::to_string(size));
  }
  if (have < size && ftruncate(fd_, static_cast<off_t>(size)) != 0) fail("cannot size " + path);
  void *m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (m == MAP_FAILED) fail("cannot map " + path);
  map_ = static_cast<uint8_t *>(m);
  // Bytes the file already held are the flash; the rest is erased.
  uint64_t full = have / region_;
  std::fill(touched_.begin(), touched_.begin() + static_cast<long>(full), true);
  if (have % region_ != 0) {
    std::memset(map_ + have, 0xFF, std::min(size_, (full + 1) * region_) - have);
    touched_[full] = true;
  }
  // Whole regions that are holes in the file were never touched by a board
  // (touching fills them) - a store left uncompleted: they are erased flash.
  for (off_t pos = 0; static_cast<uint64_t>(pos) < have;) {
    off_t data = lseek(fd_, pos, SEEK_DATA);
    off_t hole_end = data < 0 ? static_cast<off_t>(have) : data;
    for (uint64_t r = (static_cast<uint64_t>(pos) + region_ - 1) / region_;
         (r + 1) * region_ <= static_cast<uint64_t>(hole_end) && r < touched_.size(); ++r)
      touched_[r] = false;
    if (data < 0) break;
    pos = lseek(fd_, data, SEEK_HOLE);
    if (pos < 0) break;
  }
}

FlashStore::~FlashStore() {
  if (map_ != nullptr) munmap(map_, size_);
  if (fd_ >= 0) close(fd_);
}

void FlashStore::touch(uint64_t offset, uint64_t length) {
  if (length == 0) return;
  for (uint64_t r = offset / region_; r <= (offset + length - 1) / region_; ++r) {
    if (touched_[r]) continue;
    uint64_t start = r * region_;
    std::memset(map_ + start, 0xFF, std::min(region_, size_ - start));
    touched_[r] = true;
  }
}

std::vector<uint8_t> FlashStore::read(uint64_t offset, size_t length) const {
  if (offset >= size_) return {};
  std::vector<uint8_t> out(std::min<uint64_t>(length, size_ - offset));
  read_into(offset, out);
  return out;
}

void FlashStore::read_into(uint64_t offset, std::span<uint8_t> out) const {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < out.size();) {
    uint64_t pos = offset + i;
    if (pos >= size_) {
      std::fill(out.begin() + static_cast<long>(i), out.end(), 0xFF);
      return;
    }
    uint64_t r = pos / region_;
    size_t n = std::min<uint64_t>(out.size() - i, std::min((r + 1) * region_, size_) - pos);
    // Untouched regions are erased flash even though the file holds a hole.
    if (touched_[r]) std::memcpy(out.data() + i, map_ + pos, n);
    else std::memset(out.data() + i, 0xFF, n);
    i += n;
  }
}

void FlashStore::write(uint64_t offset, std::span<const uint8_t> data, bool and_mode) {
  if (offset >= size_) return;
  size_t n = std::min<uint64_t>(data.size(), size_ - offset);
  std::lock_guard lock(mutex_);
  touch(offset, n);
  if (!and_mode) {
    std::memcpy(map_ + offset, data.data(), n);
  } else {
    for (size_t i = 0; i < n; ++i) map_[offset + i] &= data[i];
  }
}

void FlashStore::fill(uint64_t offset, uint64_t length, uint8_t value) {
  if (offset >= size_) return;
  length = std::min(length, size_ - offset);
  std::lock_guard lock(mutex_);
  touch(offset, length);
  std::memset(map_ + offset, value, length);
}

void FlashStore::complete() {
  std::lock_guard lock(mutex_);
  // Written through the file rather than the mapping: no page faults, and
  // runs of untouched regions go out in large writes.
  std::vector<uint8_t> erased(std::max<uint64_t>(region_, std::min<uint64_t>(size_, 8 << 20)), 0xFF);
  const uint64_t n = touched_.size();
  for (uint64_t r = 0; r < n;) {
    if (touched_[r]) {
      ++r;
      continue;
    }
    uint64_t first = r;
    while (r < n && !touched_[r] && (r - first + 1) * region_ <= erased.size()) ++r;
    uint64_t start = first * region_;
    uint64_t end = std::min(size_, r * region_);
    ssize_t put = pwrite(fd_, erased.data(), end - start, static_cast<off_t>(start));
    if (put != static_cast<ssize_t>(end - start)) std::memset(map_ + start, 0xFF, end - start);
    for (uint64_t k = first; k < r; ++k) touched_[k] = true;
  }
}

}  // namespace boardsim
