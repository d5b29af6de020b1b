#include "modelprep/selection.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <set>
#include <vector>

#include "modelprep/dir.h"
#include "modelprep/fd.h"
#include "modelprep/paths.h"
#include "modelprep/placement.h"
#include "modelprep/report.h"
#include "modelprep/text.h"

namespace modelprep {

namespace {

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string searchBelow(const std::string &dir, std::string_view suffix, std::set<DirId> &seen) {
  DirId id;
  auto entries = listDirectory(dir + "/", &id);
  if (!entries) return {};
  // A directory reached again through a link was searched already (or is
  // being searched): going in again would only loop.
  if (!seen.insert(id).second) return {};
  for (const DirEntry &entry : *entries) {
    std::string full = dir + "/" + entry.name;
    if (entry.name.ends_with(suffix)) return full;
    bool mayBeDir = entry.type == DT_DIR || entry.type == DT_LNK || entry.type == DT_UNKNOWN;
    if (!mayBeDir) continue;
    std::string found = searchBelow(full, suffix, seen);
    if (!found.empty()) return found;
  }
  return {};
}

constexpr std::string_view kCustomizedMismatch = "Customized model mismatch. Please rename your model.";
constexpr std::string_view kNoCustomModel =
    "Model (.nb file) missing or customized model name mismatch. Please include your customized "
    "model in sketch folder or rename your model if it is already in sketch folder.";

}  // namespace

void readValidationFile() {
  PrepContext &ctx = g_prep;
  struct stat st {};
  if (stat(ctx.miscDir.c_str(), &st) != 0) mkdir(ctx.miscDir.c_str(), 0700);
  ctx.validationFile = ctx.miscDir + "ino_validation.txt";

  UniqueFd fd = openRegularFile(ctx.validationFile);
  if (!fd) return;

  // Only the first lines are kept; the rest of a long file is never read.
  std::size_t line = 0;
  char buf[4096];
  while (line < ctx.validationLines.size()) {
    ssize_t got = read(fd.get(), buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    line = takeValidationBytes(ctx.validationLines, line, std::string_view(buf, static_cast<std::size_t>(got)));
  }
  takeTaskLines(ctx);
}

std::size_t takeValidationBytes(std::vector<std::string> &lines, std::size_t line, std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size() && line < lines.size(); ++i) {
    if (bytes[i] == '\n')
      ++line;
    else
      lines[line] += bytes[i];
  }
  return line;
}

void takeTaskLines(PrepContext &ctx) {
  for (std::size_t k = 0; k < kTaskCount; ++k) {
    ctx.taskModel[k] = ctx.validationLines[2 + k];
    ctx.taskMode[k] = ctx.validationLines[9 + k];
  }
}

std::string modelFileFor(std::string_view name) {
  const std::string wanted = lowered(name);
  for (const ModelTableRow &row : ModelTable)
    if (lowered(row.modelName) == wanted) return std::string(row.modelFile);
  return "NA";
}

void checkSketchLocation(const std::string &loc) {
  if (contains(loc, ".ino")) return;
  if (!listDirectory(loc)) printLine(stdout, "[311] Unable to open directory: " + loc);
}

std::string parentDirOf(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string baseNameOf(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string findEntryEndingWith(const std::string &dir, std::string_view suffix) {
  std::set<DirId> seen;
  return searchBelow(dir, suffix, seen);
}

void selectAndPlaceModels(const std::string &loc) {
  const PrepContext &ctx = g_prep;
  checkSketchLocation(loc);

  bool customised = false;
  for (const std::string &mode : ctx.taskMode) customised = customised || mode == "CUSTOMIZED";
  if (!customised) {
    restoreDefaultModels();
    return;
  }
  if (ctx.modelSource != "LoadFromFlash") return;

  const std::string customModelDir = (loc == "Temp" || contains(loc, "modified"))
                                         ? parentDirOf(loc)
                                         : findEntryEndingWith(ctx.libraryDir, baseNameOf(loc));
  auto entries = listDirectory(customModelDir);
  if (!entries) return;

  std::array<std::string, kTaskCount> expected;
  for (std::size_t k = 0; k < kTaskCount; ++k) expected[k] = modelFileFor(ctx.taskModel[k]);

  // Every candidate is checked before the first is installed, so that a
  // wrong name or an unreadable file leaves the whole set as it was.
  std::vector<std::string> candidates;
  for (const DirEntry &entry : *entries) {
    if (!contains(entry.name, ".nb")) continue;
    bool selected = false;
    for (const std::string &file : expected) selected = selected || entry.name == file;
    if (!selected) fail(kCustomizedMismatch);
    candidates.push_back(entry.name);
  }
  if (candidates.empty()) fail(kNoCustomModel);
  for (const std::string &file : candidates) checkInstallable(file, customModelDir);
  for (const std::string &file : candidates) installCustomModel(file, customModelDir);
}

}  // namespace modelprep
