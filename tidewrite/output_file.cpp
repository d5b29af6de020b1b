#include "tidewrite/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string not_regular(mode_t mode) {
  const char *kind = S_ISDIR(mode)    ? "a directory"
                     : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISSOCK(mode) ? "a socket"
                                      : nullptr;
  return kind != nullptr ? std::string(kind) + ", not a regular file" : "not a regular file";
}

}  // namespace

std::string output_file_refusal(const char *name) {
  if (name == nullptr || *name == '\0') return "no file name";
  struct stat st {};
  if (stat(name, &st) != 0) return errno == ENOENT ? std::string() : std::strerror(errno);
  return S_ISREG(st.st_mode) ? std::string() : not_regular(st.st_mode);
}

output_file::~output_file() {
  if (fd_ >= 0) ::close(fd_);
}

bool output_file::open(const char *name, std::string &why) {
  why = output_file_refusal(name);
  if (!why.empty()) return false;
  name_ = name;
  // O_NONBLOCK: a FIFO put in place since the check fails to open (no reader)
  // or is refused below, instead of waiting for a reader. O_NOCTTY: a
  // terminal swapped in never becomes ours.
  constexpr int flags = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  for (int attempt = 0; attempt < 2 && fd_ < 0; ++attempt) {
    fd_ = ::open(name, flags);
    if (fd_ >= 0 || errno != ENOENT) break;
    fd_ = ::open(name, flags | O_CREAT | O_EXCL, 0666);
    if (fd_ >= 0) created_ = true;
    else if (errno != EEXIST) break;
  }
  if (fd_ < 0) {
    why = std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd_, &st) != 0) why = std::strerror(errno);
  else if (!S_ISREG(st.st_mode)) why = not_regular(st.st_mode);
  if (!why.empty()) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  old_size_ = st.st_size;
  return true;
}

bool output_file::append(const uint8_t *data, int64_t len, std::string &why) {
  while (len > 0) {
    const ssize_t n = ::write(fd_, data, static_cast<size_t>(len));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = n < 0 ? std::strerror(errno) : "short write";
      return false;
    }
    data += n;
    len -= n;
  }
  return true;
}

bool output_file::sync(std::string &why) {
  if (fsync(fd_) == 0) return true;
  why = std::strerror(errno);
  return false;
}

bool output_file::close(std::string &why) {
  const int r = ::close(fd_);
  fd_ = -1;
  if (r == 0) return true;
  why = std::strerror(errno);
  return false;
}

void output_file::take_back() {
  if (name_.empty()) return;
  // Best effort: the caller reports the failure that led here either way.
  const int ignored = created_    ? unlink(name_.c_str())
                      : fd_ >= 0 ? ftruncate(fd_, old_size_)
                                 : truncate(name_.c_str(), old_size_);
  (void)ignored;
}
