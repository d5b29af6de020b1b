// The run's context, the package directories and the sketch location read
// from the build's options file.
#pragma once

#include <cjson/cJSON.h>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace modelprep {

inline constexpr std::size_t kTaskCount = 5;
inline constexpr std::size_t kValidationLineCount = 100;

// Everything one run needs, filled in the order of the run. Paths are plain
// concatenations of byte strings and are never normalised, so they may hold
// "//" where two pieces that both carry a slash meet.
struct PrepContext {
  std::string buildDir;
  std::string platformDir;
  std::string modelSource;
  std::string packageRoot;
  std::string sdkVersion;
  std::string libraryDir;
  std::string commonModelDir;
  std::string miscDir;
  std::string validationFile;
  std::string buildOptionsFile;
  std::string sketchLocation;
  std::vector<std::string> validationLines = std::vector<std::string>(kValidationLineCount);
  std::array<std::string, kTaskCount> taskModel;
  std::array<std::string, kTaskCount> taskMode;
};

// The one context of the process.
extern PrepContext g_prep;

struct JsonDeleter {
  void operator()(cJSON *tree) const { cJSON_Delete(tree); }
};
using JsonTree = std::unique_ptr<cJSON, JsonDeleter>;

// Name of the single entry of `dir` (empty when it has none). Ends the run
// when `dir` cannot be listed or holds more than one entry.
std::string findSdkVersionDir(const std::string &dir);

// `text` up to and including the first occurrence of `key` (which must occur).
std::string prefixThrough(std::string_view text, std::string_view key);

// dir + "/" + name of the first regular file in `dir` whose name contains
// both parts; empty when there is none or `dir` cannot be listed.
std::string findFileContaining(const std::string &dir, std::string_view first,
                               std::string_view second);

// Parsed content of `path`, or null after a message on standard error. When
// `why` is given it receives the cause of a failure.
JsonTree readJsonFile(const std::string &path, std::string *why = nullptr);

std::string doubleBackslashes(std::string_view text);

// Value of the member "sketchLocation" (any letter case) of a parsed build
// options file, backslashes doubled; nullopt when the tree is no object or
// has no such string member.
std::optional<std::string> sketchLocationIn(const cJSON *tree);

// Value of the member "sketchLocation" (any letter case) of the build
// options file, backslashes doubled. Ends the run when there is none.
std::string readSketchLocation();

// Root below which the package tree lies: the platform path up to and
// including "portable" when it holds that word, else HOME + "/.arduino15/";
// nullopt when neither is available.
std::optional<std::string> packageBaseFor(std::string_view platformDir, const char *home);

// Fills the paths of g_prep from the three arguments, up to the sketch
// location (steps 3 to 9 of a run).
void preparePaths(std::string buildDir, std::string platformDir, std::string modelSource);

}  // namespace modelprep
