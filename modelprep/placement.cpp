#include "modelprep/placement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <utility>
#include <vector>

#include "modelprep/dir.h"
#include "modelprep/fd.h"
#include "modelprep/paths.h"
#include "modelprep/report.h"
#include "modelprep/text.h"

namespace modelprep {

namespace {

constexpr std::array<Task, ModelFamily.size()> kFamilyTask{
    OBJECT_DETECTION, OBJECT_DETECTION,     OBJECT_DETECTION,    FACE_DETECTION,
    FACE_RECOGNITION, AUDIO_CLASSIFICATION, IMAGE_CLASSIFICATION};

constexpr std::size_t kCopyBufferSize = 64 * 1024;

[[noreturn]] void copyFailed(const std::string &source, const std::string &destination,
                             const std::string &reason) {
  fail("[Error] Failed to copy " + source + " to " + destination + ": " + reason);
}

// The temporary file being written, for the signal handler: the path is put
// in a fixed buffer before the file is created, so the handler only reads
// memory that is not changing under it.
constexpr std::size_t kTempPathMax = 4096;
char g_tempPath[kTempPathMax];
volatile sig_atomic_t g_tempArmed = 0;

void removeTempAndDie(int sig) {
  // Only async-signal-safe calls: unlink, signal, raise.
  if (g_tempArmed) unlink(g_tempPath);
  signal(sig, SIG_DFL);
  raise(sig);  // blocked until the handler returns, then the default action
}

constexpr std::string_view kTempPrefix = ".modelprep-";
constexpr std::string_view kTempSuffix = ".tmp";

// A temporary file beside the destination, removed unless committed, also
// when a stop signal ends the run. Its name holds neither "Dbackup" nor
// ".nb", so a leftover from a killed run is never taken for a backup or a
// model.
class TempFile {
 public:
  explicit TempFile(const std::string &dir) {
    for (unsigned n = 0; n < 100; ++n) {
      std::string candidate = dir + std::string(kTempPrefix) + std::to_string(getpid()) + "-" +
                              std::to_string(n) + std::string(kTempSuffix);
      // Armed before the file exists: a signal that comes between the open
      // and the arming would leave it behind. A name taken already carries
      // this pid, so it is a leftover of a dead process of the same number.
      const bool armed = arm(candidate);
      fd_ = UniqueFd(open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (fd_) {
        path_ = std::move(candidate);
        return;
      }
      const int err = errno;
      if (armed) g_tempArmed = 0;
      errno = err;
      if (errno != EEXIST) return;
    }
  }
  ~TempFile() {
    fd_.reset();
    if (!path_.empty()) unlink(path_.c_str());
    g_tempArmed = 0;
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;

  bool ok() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  int close() { return fd_.close(); }
  const std::string &path() const { return path_; }
  void committed() {
    g_tempArmed = 0;
    path_.clear();
  }

 private:
  static bool arm(const std::string &path) {
    g_tempArmed = 0;
    if (path.size() >= kTempPathMax) return false;  // too long to open anyway
    std::memcpy(g_tempPath, path.c_str(), path.size() + 1);
    g_tempArmed = 1;
    return true;
  }

  UniqueFd fd_;
  std::string path_;
};

// Makes a completed rename survive a crash of the machine, not only of the run.
void syncDirectory(const std::string &path, const std::string &source, const std::string &destination) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // Some file systems cannot sync a folder (EINVAL); there is nothing to do then.
  if (!fd || (fsync(fd.get()) != 0 && errno != EINVAL))
    copyFailed(source, destination, "cannot sync the folder " + dir + ": " + std::strerror(errno));
}

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
  UniqueFd in = openRegularFile(source, &reason);
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
  syncDirectory(destination, source, destination);
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
  if (!openRegularFile(source, &reason)) copyFailed(source, g_prep.commonModelDir + "/" + file, reason);
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

void installTempFileCleanup() {
  struct sigaction action {};
  action.sa_handler = removeTempAndDie;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, sig);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    // A signal ignored by whoever started the build (nohup) stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
}

std::optional<long> tempFileOwner(std::string_view name) {
  if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) return std::nullopt;
  name.remove_prefix(kTempPrefix.size());
  name.remove_suffix(kTempSuffix.size());
  const std::size_t dash = name.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::string_view pid = name.substr(0, dash);
  const std::string_view n = name.substr(dash + 1);
  auto digits = [](std::string_view t) {
    return !t.empty() && t.size() <= 10 &&
           std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(pid) || !digits(n)) return std::nullopt;
  long value = 0;
  for (char c : pid) value = value * 10 + (c - '0');
  // 0 and values beyond a pid would make kill() address a group or nothing.
  if (value <= 0 || value > std::numeric_limits<pid_t>::max()) return std::nullopt;
  return value;
}

void removeStaleTempFiles(const std::string &dir) {
  auto entries = listDirectory(dir);
  if (!entries) return;
  for (const DirEntry &entry : *entries) {
    const std::optional<long> owner = tempFileOwner(entry.name);
    if (!owner || *owner == getpid()) continue;
    // Only a process that no longer exists leaves a file nobody finishes;
    // EPERM means it lives under another user.
    if (kill(static_cast<pid_t>(*owner), 0) == 0 || errno != ESRCH) continue;
    const std::string path = dir + "/" + entry.name;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(path.c_str());
  }
}

}  // namespace modelprep
