#include "modelprep/placement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "modelprep/dir.h"
#include "modelprep/fd.h"
#include "modelprep/paths.h"
#include "modelprep/report.h"

namespace modelprep {

namespace {

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

constexpr std::array<Task, ModelFamily.size()> kFamilyTask{
    OBJECT_DETECTION, OBJECT_DETECTION,     OBJECT_DETECTION,    FACE_DETECTION,
    FACE_RECOGNITION, AUDIO_CLASSIFICATION, IMAGE_CLASSIFICATION};

constexpr std::size_t kCopyBufferSize = 64 * 1024;

[[noreturn]] void copyFailed(const std::string &source, const std::string &destination,
                             const std::string &reason) {
  fail("[Error] Failed to copy " + source + " to " + destination + ": " + reason);
}

// Opens a model file for reading; empty with `reason` set when it is missing,
// unreadable or not a regular file (a pipe would stall the build, a device
// never end).
UniqueFd openSource(const std::string &path, std::string &reason) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0) {
    reason = std::strerror(errno);
    return {};
  }
  if (!S_ISREG(st.st_mode)) {
    reason = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
    return {};
  }
  return fd;
}

// A temporary file beside the destination, removed unless committed. Its
// name holds neither "Dbackup" nor ".nb", so a leftover from a killed run is
// never taken for a backup or a model.
class TempFile {
 public:
  explicit TempFile(const std::string &dir) {
    for (unsigned n = 0; n < 100; ++n) {
      std::string candidate =
          dir + ".modelprep-" + std::to_string(getpid()) + "-" + std::to_string(n) + ".tmp";
      fd_ = UniqueFd(open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (fd_) {
        path_ = std::move(candidate);
        return;
      }
      if (errno != EEXIST) return;
    }
  }
  ~TempFile() {
    fd_.reset();
    if (!path_.empty()) unlink(path_.c_str());
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;

  bool ok() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  int close() { return fd_.close(); }
  const std::string &path() const { return path_; }
  void committed() { path_.clear(); }

 private:
  UniqueFd fd_;
  std::string path_;
};

bool writeAll(int fd, const char *data, std::size_t size) {
  while (size > 0) {
    ssize_t put = write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

// Whether the common model directory already holds the first backup of `file`.
bool hasDefaultBackup(const std::string &file) {
  const std::string &dir = g_prep.commonModelDir;
  auto entries = listDirectory(dir);
  if (!entries) {
    std::perror("opendir() error");
    fail("[Error] Failed to open dir at: " + dir);
  }
  for (const DirEntry &entry : *entries)
    if (contains(entry.name, "Dbackup_") && contains(entry.name, file)) return true;
  return false;
}

}  // namespace

void copyFile(const std::string &source, const std::string &destination) {
  std::string reason;
  UniqueFd in = openSource(source, reason);
  if (!in) copyFailed(source, destination, reason);

  const std::size_t slash = destination.rfind('/');
  TempFile out(slash == std::string::npos ? std::string() : destination.substr(0, slash + 1));
  if (!out.ok()) copyFailed(source, destination, std::strerror(errno));
  // The replaced file keeps its permissions, as it would if written in place.
  struct stat old {};
  if (stat(destination.c_str(), &old) == 0 && S_ISREG(old.st_mode))
    fchmod(out.fd(), old.st_mode & 07777);

  std::vector<char> buffer(kCopyBufferSize);
  for (;;) {
    ssize_t got = read(in.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) copyFailed(source, destination, std::strerror(errno));
    if (got == 0) break;
    if (!writeAll(out.fd(), buffer.data(), static_cast<std::size_t>(got)))
      copyFailed(source, destination, std::strerror(errno));
  }
  if (fsync(out.fd()) != 0 || out.close() != 0 ||
      rename(out.path().c_str(), destination.c_str()) != 0)
    copyFailed(source, destination, std::strerror(errno));
  out.committed();
}

void copyWithinDir(const std::string &newName, const std::string &oldName, const std::string &dir) {
  copyFile(dir + "/" + oldName, dir + "/" + newName);
}

std::string fileDate(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0)
    fail("[Error][424] Default model " + path + " does not exist. Please check " + path + " again.");
  std::tm local{};
  localtime_r(&st.st_mtime, &local);
  std::array<char, 11> text{};
  std::strftime(text.data(), text.size(), "%Y-%m-%d", &local);
  return text.data();
}

void backupModel(const std::string &file, const std::string &customModelDir, BackupKind kind) {
  const std::string &common = g_prep.commonModelDir;
  if (kind == BackupKind::DefaultBackup) {
    const std::string defaultPath = common + "/" + file;
    const std::string date = fileDate(defaultPath);
    copyFile(defaultPath, common + "/" + "Dbackup_" + date + "_" + file);
    return;
  }
  // Dated by the folder the customised model came from, not by the file.
  const std::string date = fileDate(customModelDir);
  const std::string source = customModelDir + "/" + file;
  copyFile(source, common + "/" + "Cbackup_" + date + "_" + file);
  copyFile(source, common + "/" + file);
}

void checkInstallable(const std::string &file, const std::string &customModelDir) {
  const std::string source = customModelDir + "/" + file;
  std::string reason;
  if (!openSource(source, reason)) copyFailed(source, g_prep.commonModelDir + "/" + file, reason);
  if (!hasDefaultBackup(file)) fileDate(g_prep.commonModelDir + "/" + file);
}

void installCustomModel(const std::string &file, const std::string &customModelDir) {
  if (!hasDefaultBackup(file)) backupModel(file, customModelDir, BackupKind::DefaultBackup);
  backupModel(file, customModelDir, BackupKind::CustomBackup);
}

std::optional<Task> backupTask(std::string_view backupName) {
  for (std::size_t i = 0; i < ModelFamily.size(); ++i)
    if (contains(backupName, ModelFamily[i])) return kFamilyTask[i];
  return std::nullopt;
}

std::optional<std::string> restoreTarget(std::string_view backupName, std::string_view selectedModel) {
  std::string family(selectedModel.substr(0, selectedModel.find('_')));
  if (family == "img") family = "img_class";
  // Without a selected model the key would be a lone "_", which names no model file.
  if (family.empty() || family == "NA") return std::nullopt;
  for (std::string_view word : ModelFamily) {
    if (contains(family, word)) {
      family = word;
      break;
    }
  }
  const std::string key = "_" + family;
  const std::size_t pos = backupName.find(key);
  if (pos == std::string_view::npos) return std::nullopt;
  // One byte after the family word (normally its "_") is skipped; a name
  // with nothing after that would give a junk file name.
  const std::size_t rest = pos + key.size() + 1;
  if (rest >= backupName.size()) return std::nullopt;
  return family + "_" + std::string(backupName.substr(rest));
}

void restoreDefaultModels() {
  const PrepContext &ctx = g_prep;
  auto entries = listDirectory(ctx.commonModelDir);
  if (!entries) return;
  // All backups are checked before the first is restored, so that a stray
  // name ends the run with the directory unchanged.
  std::vector<std::pair<std::string, std::string>> copies;  // backup, target
  for (const DirEntry &entry : *entries) {
    if (!contains(entry.name, "Dbackup")) continue;
    auto task = backupTask(entry.name);
    if (!task) fail("Customized model mismatch. Please rename your model.");
    if (auto target = restoreTarget(entry.name, ctx.taskModel[*task]))
      copies.emplace_back(entry.name, std::move(*target));
  }
  for (const auto &[backup, target] : copies) copyWithinDir(target, backup, ctx.commonModelDir);
}

}  // namespace modelprep
