#include "tidewrite/data_search.h"

#include <unistd.h>

#include <climits>

#include "tidewrite/main_flow.h"

namespace {

constexpr const char *kShareSubdir = "share/tidewrite/";

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

std::optional<std::string> path_in_share(const char *name, size_t limit) {
  if (name == nullptr) return std::nullopt;
  // The program's directory, with its trailing '/'. /proc/self/exe is the
  // real path, so dropping its last component is the real parent.
  std::optional<std::string> dir = path_beside_program("", PATH_MAX);
  if (!dir) return std::nullopt;
  dir->pop_back();
  const auto slash = dir->rfind('/');
  std::string path = slash == std::string::npos ? std::string("/") : dir->substr(0, slash + 1);
  path += kShareSubdir;
  path += name;
  if (path.size() >= limit) return std::nullopt;  // must fit a limit-byte C buffer
  return path;
}

std::optional<std::string> shipped_data_file(const char *name, size_t limit) {
  std::optional<std::string> beside = path_beside_program(name, limit);
  if (!beside || exists(*beside)) return beside;
  if (std::optional<std::string> shared = path_in_share(name, limit); shared && exists(*shared)) return shared;
  return beside;
}

std::optional<std::string> find_data_file(const char *name, size_t limit) {
  if (name == nullptr) return std::nullopt;
  if (exists(name)) return std::string(name);
  std::optional<std::string> shipped = shipped_data_file(name, limit);
  if (shipped && exists(*shipped)) return shipped;
  return std::nullopt;
}

std::string data_file_places(size_t limit) {
  std::string places = "the current directory";
  const std::optional<std::string> beside = path_beside_program("", limit);
  const std::optional<std::string> shared = path_in_share("", limit);
  if (beside) places += (shared ? ", " : " or ") + *beside;
  if (shared) places += " or " + *shared;
  return places;
}
