#include "station/locate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string_view>

namespace station {

namespace fs = std::filesystem;

namespace {

bool executable_file(const fs::path &p) {
  struct stat st{};
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
}

std::string absolute_text(const fs::path &p) {
  std::error_code ec;
  fs::path a = fs::absolute(p, ec);
  return (ec ? p : a).lexically_normal().string();
}

}  // namespace

std::string self_exe_path() {
  std::error_code ec;
  fs::path p = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string find_tidewrite(const std::string &given, const std::string &self_exe, const std::string &path_env,
                           std::string &why) {
  if (!given.empty()) {
    if (executable_file(given)) return absolute_text(given);
    why = "--tidewrite " + given + " is not an executable file";
    return {};
  }
  if (!self_exe.empty()) {
    fs::path beside = fs::path(self_exe).parent_path() / "tidewrite";
    if (executable_file(beside)) return absolute_text(beside);
  }
  if (!path_env.empty()) {
    std::string_view rest = path_env;
    for (;;) {
      const size_t colon = rest.find(':');
      const std::string_view entry = rest.substr(0, colon);
      // An empty entry means the current folder.
      const fs::path candidate = fs::path(entry.empty() ? std::string_view(".") : entry) / "tidewrite";
      if (executable_file(candidate)) return absolute_text(candidate);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  why = "tidewrite not found beside " + (self_exe.empty() ? std::string("this program") : self_exe) +
        " nor on PATH; name it with --tidewrite PATH";
  return {};
}

}  // namespace station
