// Shared helpers of the tests: temporary folders, whole-file I/O, running a
// program with its output captured and a bound on its time.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary directory, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const fs::path &path() const { return path_; }
  fs::path operator/(const std::string &name) const { return path_ / name; }

 private:
  fs::path path_;
};

// Changes the working directory for the lifetime of the object.
class ScopedCwd {
 public:
  explicit ScopedCwd(const fs::path &dir);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd &) = delete;
  ScopedCwd &operator=(const ScopedCwd &) = delete;

 private:
  fs::path old_;
};

std::vector<uint8_t> read_file(const fs::path &path);
std::string read_text(const fs::path &path);
void write_file(const fs::path &path, const std::vector<uint8_t> &data);
void write_text(const fs::path &path, const std::string &text);

struct ProcessResult {
  int status = -1;  // exit status 0..255; -N when ended by signal N
  std::string out;
  std::string err;
  bool timed_out = false;
  double seconds = 0;
};

struct ProcessOptions {
  fs::path cwd;  // empty: the test's own
  std::chrono::milliseconds timeout{60000};
  std::map<std::string, std::optional<std::string>> env;  // nullopt unsets
  std::string stdin_data;
  // Standard error goes to this descriptor (a pseudo-terminal, say) instead
  // of being captured; -1 captures it.
  int stderr_fd = -1;
  // Called with the child's pid as soon as it has been started.
  std::function<void(int pid)> on_start;
};

// Runs argv[0] (a path) with the arguments; kills it when it overruns.
ProcessResult run_process(const std::vector<std::string> &argv, const ProcessOptions &opts = {});

// Printable form of bytes for failure messages: \n, \r and non-printables escaped.
std::string escaped(const std::string &bytes);

}  // namespace testsupport
