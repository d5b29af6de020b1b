#include "modelprep/fd.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace modelprep {

UniqueFd openRegularFile(const std::string &path, std::string *reason) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0) {
    if (reason) *reason = std::strerror(errno);
    return {};
  }
  if (!S_ISREG(st.st_mode)) {
    if (reason) *reason = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
    return {};
  }
  return fd;
}

}  // namespace modelprep
