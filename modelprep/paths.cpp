#include "modelprep/paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "modelprep/dir.h"
#include "modelprep/fd.h"
#include "modelprep/report.h"
#include "modelprep/text.h"

namespace modelprep {

PrepContext g_prep;

namespace {

// The listing's own type, or for file systems that do not fill it in, the
// type of the entry itself (links not followed).
bool isRegularFile(const std::string &dir, const DirEntry &entry) {
  if (entry.type != DT_UNKNOWN) return entry.type == DT_REG;
  struct stat st {};
  return lstat((dir + "/" + entry.name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string findSdkVersionDir(const std::string &dir) {
  auto entries = listDirectory(dir);
  if (!entries) fail("[Error] Failed to open directory.");
  if (entries->size() > 1) fail("[Error] Lirafen directory only allows 1 SDK!!! Please check again.");
  return entries->empty() ? std::string() : entries->back().name;
}

std::string prefixThrough(std::string_view text, std::string_view key) {
  std::size_t pos = text.find(key);
  if (pos == std::string_view::npos) return std::string(text);
  return std::string(text.substr(0, pos + key.size()));
}

std::string findFileContaining(const std::string &dir, std::string_view first,
                               std::string_view second) {
  auto entries = listDirectory(dir);
  if (!entries) return {};
  for (const DirEntry &entry : *entries) {
    if (contains(entry.name, first) && contains(entry.name, second) && isRegularFile(dir, entry))
      return dir + "/" + entry.name;
  }
  return {};
}

JsonTree readJsonFile(const std::string &path, std::string *why) {
  std::string content;
  std::string reason;
  // A directory or a pipe named like the options file is no options file.
  UniqueFd fd = openRegularFile(path, &reason);
  char buf[65536];
  while (fd) {
    ssize_t got = read(fd.get(), buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) reason = std::strerror(errno);
    if (got <= 0) break;
    content.append(buf, static_cast<std::size_t>(got));
  }
  if (!reason.empty()) {
    printLine(stderr, "Error opening file: " + path);
    if (why) *why = "cannot read " + path + ": " + reason;
    return nullptr;
  }
  JsonTree tree(cJSON_Parse(content.c_str()));
  if (!tree) {
    printLine(stderr, "Error parsing JSON in file: " + path);
    if (why) *why = path + " is not valid JSON";
  }
  return tree;
}

std::string doubleBackslashes(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) {
    out += c;
    if (c == '\\') out += c;
  }
  return out;
}

std::optional<std::string> sketchLocationIn(const cJSON *tree) {
  const cJSON *member = cJSON_IsObject(tree) ? cJSON_GetObjectItem(tree, "sketchLocation") : nullptr;
  if (!cJSON_IsString(member) || member->valuestring == nullptr) return std::nullopt;
  return doubleBackslashes(member->valuestring);
}

std::string readSketchLocation() {
  const std::string &path = g_prep.buildOptionsFile;
  std::string why;
  JsonTree tree = readJsonFile(path, &why);
  if (tree) {
    if (auto location = sketchLocationIn(tree.get())) return *location;
    why = "no string member \"sketchLocation\" in " + path;
  } else if (path.empty()) {
    why = "no build options file (a regular file whose name contains \"build\" and \".json\") in " +
          g_prep.buildDir;
  }
  fail("[Error] Sketch location unknown: " + why);
}

std::optional<std::string> packageBaseFor(std::string_view platformDir, const char *home) {
  if (contains(platformDir, "portable")) return prefixThrough(platformDir, "portable");
  if (home == nullptr) return std::nullopt;
  return std::string(home) + "/.arduino15/";
}

void preparePaths(std::string buildDir, std::string platformDir, std::string modelSource) {
  PrepContext &ctx = g_prep;
  ctx.buildDir = std::move(buildDir);
  ctx.platformDir = std::move(platformDir);
  ctx.modelSource = std::move(modelSource);

  auto base = packageBaseFor(ctx.platformDir, std::getenv("HOME"));
  if (!base)
    fail("[Error] Package root unknown: HOME is not set and the platform path " + ctx.platformDir +
         " does not contain \"portable\".");
  ctx.packageRoot = *base + "/packages/vantrel/hardware/Lirafen/";
  ctx.sdkVersion = findSdkVersionDir(ctx.packageRoot);
  ctx.libraryDir = ctx.packageRoot + ctx.sdkVersion + "/libraries/";
  ctx.commonModelDir = ctx.packageRoot + ctx.sdkVersion + "/variants/common_nn_models/";
  ctx.miscDir = ctx.platformDir + "/misc/";
  ctx.buildOptionsFile = findFileContaining(ctx.buildDir, ".json", "build");
  ctx.sketchLocation = readSketchLocation();
}

}  // namespace modelprep
