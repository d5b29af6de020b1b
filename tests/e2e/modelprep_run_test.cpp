// Whole runs of modelprep on real temporary package trees: exit status, the
// exact bytes on both output streams, and every file of the model
// directories afterwards.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::escaped;
using testsupport::read_text;
using testsupport::run_process;
using testsupport::TempDir;
using testsupport::write_text;

// Modification times set on the files whose dates name the backups (the
// runs use TZ=UTC, so these are noon of the dates written beside them).
constexpr std::time_t kDefaultTime = 1709640000;  // 2024-03-05
constexpr std::time_t kCustomTime = 1737374400;   // 2025-01-20
constexpr std::time_t kOtherTime = 1739534400;    // 2025-02-14

const std::vector<std::string> kModelFiles{
    "yolov3_tiny.nb",         "yolov4_tiny.nb",
    "yolov7_tiny.nb",         "mobilefacenet_int8.nb",
    "mobilefacenet_int16.nb", "scrfd_500m_bnkps_576x320_u8.nb",
    "scrfd_500m_bnkps_640x640_u8.nb", "yamnet_fp16.nb",
    "img_class_cnn.nb"};

void setMtime(const fs::path &path, std::time_t when) {
  const timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void replaceAll(std::string &text, const std::string &from, const std::string &to) {
  for (std::size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size()))
    text.replace(pos, from.size(), to);
}

// Names of a directory in the order the system lists them, which is the
// order the program sees.
std::vector<std::string> listingOrder(const fs::path &dir) {
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  return names;
}

// A package tree below a fake HOME, a build folder, a platform folder with
// its validation file, and a sketch copied from a library example.
struct Tree {
  TempDir tmp;
  std::string t = tmp.path().string();
  std::string home = t + "/home";
  // As the program spells them: the doubled slashes are part of the paths.
  std::string root = home + "/.arduino15//packages/vantrel/hardware/Lirafen/";
  std::string common = root + "4.0.9/variants/common_nn_models/";
  std::string lib = root + "4.0.9/libraries/";
  std::string build = t + "/build";
  std::string platform = t + "/platform";
  std::string example = lib + "/NNObjectDetection/examples/ObjectDetectionLoop";
  std::string sketch = t + "/Arduino/ObjectDetectionLoop";
  std::map<std::string, std::optional<std::string>> env{{"HOME", home}, {"TZ", "UTC"}};
  std::vector<std::string> args{build, platform, "LoadFromFlash"};
  std::vector<std::string> watched{common};        // folders whose files are compared
  std::vector<std::string> customDirs;             // dated after preparation

  Tree() {
    makePackage(home + "/.arduino15/");
    fs::create_directories(build);
    fs::create_directories(example);
    fs::create_directories(sketch);
    writeBuildOptions(R"({"sketchLocation": ")" + sketch + R"(", "other": 1})");
    validation({"yolov4_tiny", "NA", "NA", "NA", "NA"}, {"", "", "", "", ""});
  }

  // A package below `base` with every default model; returns its model folder.
  std::string makePackage(const std::string &base) {
    std::string dir = base + "/packages/vantrel/hardware/Lirafen/4.0.9/variants/common_nn_models/";
    fs::create_directories(dir);
    fs::create_directories(base + "/packages/vantrel/hardware/Lirafen/4.0.9/libraries");
    for (const auto &file : kModelFiles) putFile(dir + file, "default:" + file, kDefaultTime);
    return dir;
  }

  void putFile(const std::string &path, const std::string &content, std::time_t when = kOtherTime) {
    fs::create_directories(fs::path(path).parent_path());
    write_text(path, content);
    setMtime(path, when);
  }

  // A customised model in `dir`; the folder's date is set once everything is in place.
  void custom(const std::string &dir, const std::string &file, const std::string &content = "") {
    putFile(dir + "/" + file, content.empty() ? "custom:" + file : content);
    customDirs.push_back(dir);
  }

  void writeBuildOptions(const std::string &json, const std::string &name = "build.options.json") {
    write_text(build + "/" + name, json);
  }

  void validation(const std::vector<std::string> &models, const std::vector<std::string> &modes,
                  const std::string &eol = "\n") {
    std::string text = "// generated" + eol + "models:" + eol;
    for (const auto &m : models) text += m + eol;
    text += "" + eol + "modes:" + eol;
    for (const auto &m : modes) text += m + eol;
    text += "end" + eol;
    fs::create_directories(platform + "/misc");
    write_text(platform + "/misc/ino_validation.txt", text);
  }

  void customised(const std::string &objectDetectionModel = "yolov4_tiny") {
    validation({objectDetectionModel, "NA", "NA", "NA", "NA"}, {"CUSTOMIZED", "", "", "", ""});
  }

  std::string expand(std::string text) const {
    replaceAll(text, "{EX}", example);
    replaceAll(text, "{CM}", common);
    replaceAll(text, "{LIB}", lib);
    replaceAll(text, "{ROOT}", root);
    replaceAll(text, "{BUILD}", build);
    replaceAll(text, "{HOME}", home);
    replaceAll(text, "{T}", t);
    return text;
  }
};

// Every regular file below the watched folders (links not followed), by
// normalised path: a leftover temporary file or a stray copy shows up here.
std::map<std::string, std::string> snapshot(const std::vector<std::string> &dirs) {
  std::map<std::string, std::string> files;
  for (const auto &dir : dirs) {
    if (!fs::exists(dir)) continue;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
      if (entry.is_regular_file() && !entry.is_symlink())
        files[fs::path(entry.path()).lexically_normal().string()] = read_text(entry.path());
  }
  return files;
}

struct Scenario {
  std::string name;
  std::function<void(Tree &)> prepare;
  int status;
  std::string out;  // placeholders {T} {HOME} {ROOT} {CM} {LIB} {EX} {BUILD}
  std::string err;
  std::map<std::string, std::string> changes;  // path (with placeholders) -> content afterwards
  std::function<void(Tree &)> verify = nullptr;
};

std::string backupName(const char *kind, const char *date, const std::string &file) {
  return std::string(kind) + "_" + date + "_" + file;
}

const char kUsageLine[] = "usage: modelprep BUILD_DIR PLATFORM_DIR MODEL_SOURCE\n";
const char kMismatch[] = "Customized model mismatch. Please rename your model.\n";
const char kNoCandidate[] =
    "Model (.nb file) missing or customized model name mismatch. Please include your customized "
    "model in sketch folder or rename your model if it is already in sketch folder.\n";

std::vector<Scenario> scenarios() {
  return {
      // Command line and package root.
      {"two_arguments", [](Tree &t) { t.args.pop_back(); }, 1, "", kUsageLine, {}},
      {"four_arguments", [](Tree &t) { t.args.push_back("extra"); }, 1, "", kUsageLine, {}},
      {"no_home_and_no_portable_marker",
       [](Tree &t) { t.env["HOME"] = std::nullopt; },
       1,
       "",
       "[Error] Package root unknown: HOME is not set and the platform path {T}/platform does not "
       "contain \"portable\".\n",
       {}},
      {"portable_root_is_path_through_marker",
       [](Tree &t) {
         // HOME points at an empty folder: only the portable tree can satisfy the run.
         t.env["HOME"] = t.t + "/emptyhome";
         fs::create_directories(t.t + "/emptyhome");
         t.common = t.makePackage(t.t + "/ide/portable");
         t.watched.push_back(t.common);
         t.args[1] = t.t + "/ide/portable/packages/vantrel/hardware/Lirafen/4.0.9";
         fs::create_directories(t.args[1] + "/misc");
         fs::copy_file(t.platform + "/misc/ino_validation.txt", t.args[1] + "/misc/ino_validation.txt");
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "yolov4_tiny.nb"), "saved:yolov4");
       },
       0,
       "",
       "",
       {{"{T}/ide/portable/packages/vantrel/hardware/Lirafen/4.0.9/variants/common_nn_models/"
         "yolov4_tiny.nb",
         "saved:yolov4"}}},
      {"portable_marker_is_a_plain_substring",
       [](Tree &t) {
         t.common = t.makePackage(t.t + "/portable");
         t.watched.push_back(t.common);
         t.args[1] = t.t + "/portableuser/x";
         fs::create_directories(t.t + "/portableuser/x/misc");
         fs::copy_file(t.platform + "/misc/ino_validation.txt", t.t + "/portableuser/x/misc/ino_validation.txt");
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "yolov4_tiny.nb"), "saved:yolov4");
         // The same backup below HOME must stay unused.
         t.putFile(t.watched[0] + backupName("Dbackup", "2024-03-05", "yolov4_tiny.nb"), "home:yolov4");
       },
       0,
       "",
       "",
       {{"{T}/portable/packages/vantrel/hardware/Lirafen/4.0.9/variants/common_nn_models/yolov4_tiny.nb",
         "saved:yolov4"}}},
      {"package_root_missing",
       [](Tree &t) { fs::remove_all(t.home + "/.arduino15"); },
       1, "", "[Error] Failed to open directory.\n", {}},
      {"two_sdk_versions",
       [](Tree &t) { fs::create_directories(t.root + "4.1.0"); },
       1, "", "[Error] Lirafen directory only allows 1 SDK!!! Please check again.\n", {}},
      {"sdk_version_and_stray_file",
       [](Tree &t) { t.putFile(t.root + "notes.txt", "x"); },
       1, "", "[Error] Lirafen directory only allows 1 SDK!!! Please check again.\n", {}},
      {"no_sdk_version_default_mode",
       [](Tree &t) {
         fs::remove_all(t.root + "4.0.9");
         t.watched = {t.root};
       },
       0, "", "", {}},
      {"no_sdk_version_paths_lack_version",
       [](Tree &t) {
         fs::remove_all(t.root + "4.0.9");
         t.watched = {t.root};
         t.customised();
         t.custom(t.t + "/sketch_modified", "yolov4_tiny.nb");
         t.writeBuildOptions(R"({"sketchLocation": ")" + t.t + R"(/sketch_modified/sketch.ino"})");
       },
       1,
       "",
       "opendir() error: No such file or directory\n"
       "[Error] Failed to open dir at: {HOME}/.arduino15//packages/vantrel/hardware/Lirafen//variants/"
       "common_nn_models/\n",
       {}},

      // Build options file and the sketch location.
      {"build_options_name_needs_build",
       [](Tree &t) {
         fs::rename(t.build + "/build.options.json", t.build + "/options.json");
       },
       1,
       "",
       "Error opening file: \n"
       "[Error] Sketch location unknown: no build options file (a regular file whose name contains "
       "\"build\" and \".json\") in {BUILD}\n",
       {}},
      {"build_options_symlink_not_taken",
       [](Tree &t) {
         fs::rename(t.build + "/build.options.json", t.t + "/real.json");
         fs::create_symlink(t.t + "/real.json", t.build + "/build.options.json");
       },
       1,
       "",
       "Error opening file: \n"
       "[Error] Sketch location unknown: no build options file (a regular file whose name contains "
       "\"build\" and \".json\") in {BUILD}\n",
       {}},
      {"build_options_not_json",
       [](Tree &t) { t.writeBuildOptions(R"({"sketchLocation": )"); },
       1,
       "",
       "Error parsing JSON in file: {BUILD}/build.options.json\n"
       "[Error] Sketch location unknown: {BUILD}/build.options.json is not valid JSON\n",
       {}},
      {"sketch_location_not_a_string",
       [](Tree &t) { t.writeBuildOptions(R"({"sketchLocation": 5})"); },
       1,
       "",
       "[Error] Sketch location unknown: no string member \"sketchLocation\" in "
       "{BUILD}/build.options.json\n",
       {}},
      {"sketch_location_top_level_not_object",
       [](Tree &t) { t.writeBuildOptions(R"(["sketchLocation"])"); },
       1,
       "",
       "[Error] Sketch location unknown: no string member \"sketchLocation\" in "
       "{BUILD}/build.options.json\n",
       {}},
      {"member_name_in_capitals_and_unlisted_location",
       [](Tree &t) { t.writeBuildOptions(R"({"SKETCHLOCATION": ")" + t.t + R"(/nowhere"})"); },
       0, "[311] Unable to open directory: {T}/nowhere\n", "", {}},
      {"backslashes_doubled",
       [](Tree &t) { t.writeBuildOptions(R"({"sketchLocation": "C:\\Users\\me\\Det"})"); },
       0, R"([311] Unable to open directory: C:\\Users\\me\\Det)" "\n", "", {}},
      {"first_build_options_file_in_listing_order",
       [](Tree &t) {
         t.writeBuildOptions("{}", "build.b.json");
         auto order = listingOrder(t.build);
         for (const auto &name : order) {
           bool first = name == order.front();
           t.writeBuildOptions(std::string(R"({"sketchLocation": ")") + (first ? "/nowhere/first" : "/nowhere/second") +
                                   R"("})",
                               name);
         }
       },
       0, "[311] Unable to open directory: /nowhere/first\n", "", {}},

      // Default mode: restoration from the "Dbackup" copies.
      {"restore_backups_of_selected_families",
       [](Tree &t) {
         t.validation({"yolov4_tiny", "scrfd320p", "NA", "NA", "img_class"}, {"", "", "", "", ""});
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "yolov4_tiny.nb"), "saved:yolov4");
         // Same family as the selected scrfd320p: restored under its own name.
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "scrfd_500m_bnkps_640x640_u8.nb"), "saved:scrfd640");
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "img_class_cnn.nb"), "saved:img");
         // Another family of the same task, and a task without a model: left alone.
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "yolov7_tiny.nb"), "saved:yolov7");
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "yamnet_fp16.nb"), "saved:yamnet");
         t.putFile(t.common + backupName("Cbackup", "2024-03-05", "yolov3_tiny.nb"), "user:yolov3");
       },
       0,
       "",
       "",
       {{"{CM}yolov4_tiny.nb", "saved:yolov4"},
        {"{CM}scrfd_500m_bnkps_640x640_u8.nb", "saved:scrfd640"},
        {"{CM}img_class_cnn.nb", "saved:img"}}},
      {"backup_without_family_word_restores_nothing",
       [](Tree &t) {
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "yolov4_tiny.nb"), "saved:yolov4");
         t.putFile(t.common + "Dbackup_notes.txt", "notes");
       },
       1, "", kMismatch, {}},
      {"no_validation_file_leaves_backups_alone",
       [](Tree &t) {
         fs::remove_all(t.platform + "/misc");
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "yolov4_tiny.nb"), "saved:yolov4");
       },
       0,
       "",
       "",
       {},
       [](Tree &t) {
         struct stat st {};
         ASSERT_EQ(stat((t.platform + "/misc").c_str(), &st), 0);
         EXPECT_TRUE(S_ISDIR(st.st_mode));
         EXPECT_EQ(st.st_mode & 0777, 0700u);
       }},
      {"backup_name_ending_at_family_gives_no_file",
       [](Tree &t) {
         t.putFile(t.common + "Dbackup_2024-03-05_yolov4", "a");
         t.putFile(t.common + "Dbackup_2024-03-05_yolov4_", "b");
       },
       0, "", "", {}},
      {"validation_file_that_is_a_pipe_is_not_waited_on",
       [](Tree &t) {
         fs::remove(t.platform + "/misc/ino_validation.txt");
         ASSERT_EQ(mkfifo((t.platform + "/misc/ino_validation.txt").c_str(), 0600), 0);
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "yolov4_tiny.nb"), "saved:yolov4");
       },
       // Read as missing: no model selected, so the backup stays unused.
       0, "", "", {}},
      {"crlf_validation_stays_in_default_mode",
       [](Tree &t) {
         t.validation({"yolov4_tiny", "NA", "NA", "NA", "NA"}, {"CUSTOMIZED", "", "", "", ""}, "\r\n");
         t.custom(t.example, "yolov4_tiny.nb");
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "yolov4_tiny.nb"), "saved:yolov4");
       },
       // The model line "yolov4_tiny\r" still names the family yolov4.
       0, "", "", {{"{CM}yolov4_tiny.nb", "saved:yolov4"}}},
      {"lower_case_mode_is_default",
       [](Tree &t) {
         t.validation({"yolov4_tiny", "NA", "NA", "NA", "NA"}, {"customized", "", "", "", ""});
         t.custom(t.example, "yolov4_tiny.nb");
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "yolov4_tiny.nb"), "saved:yolov4");
       },
       0, "", "", {{"{CM}yolov4_tiny.nb", "saved:yolov4"}}},
      {"restore_onto_directory_fails_loudly",
       [](Tree &t) {
         fs::remove(t.common + "yolov4_tiny.nb");
         t.putFile(t.common + "yolov4_tiny.nb/inside", "x");
         t.putFile(t.common + backupName("Dbackup", "2024-03-05", "yolov4_tiny.nb"), "saved:yolov4");
       },
       1,
       "",
       "[Error] Failed to copy {CM}/Dbackup_2024-03-05_yolov4_tiny.nb to {CM}/yolov4_tiny.nb: Is a "
       "directory\n",
       {}},

      // Customised mode.
      {"first_installation",
       [](Tree &t) {
         t.customised();
         t.custom(t.example, "yolov4_tiny.nb");
       },
       0,
       "",
       "",
       {{"{CM}Dbackup_2024-03-05_yolov4_tiny.nb", "default:yolov4_tiny.nb"},
        {"{CM}Cbackup_2025-01-20_yolov4_tiny.nb", "custom:yolov4_tiny.nb"},
        {"{CM}yolov4_tiny.nb", "custom:yolov4_tiny.nb"}}},
      {"second_installation_keeps_first_default_backup",
       [](Tree &t) {
         t.customised();
         t.putFile(t.common + "Dbackup_2023-06-01_yolov4_tiny.nb", "original default");
         t.putFile(t.common + "Cbackup_2025-01-20_yolov4_tiny.nb", "older custom");
         t.putFile(t.common + "yolov4_tiny.nb", "older custom");
         t.custom(t.example, "yolov4_tiny.nb", "newer custom");
       },
       0,
       "",
       "",
       {{"{CM}Cbackup_2025-01-20_yolov4_tiny.nb", "newer custom"}, {"{CM}yolov4_tiny.nb", "newer custom"}}},
      {"other_model_source_changes_nothing",
       [](Tree &t) {
         t.customised();
         t.custom(t.example, "yolov4_tiny.nb");
         t.args[2] = "LoadFromSD";
       },
       0, "", "", {}},
      {"mismatching_candidate_installs_nothing",
       [](Tree &t) {
         t.customised();
         t.custom(t.example, "yolov4_tiny.nb");
         t.custom(t.example, "yolov3_tiny.nb");
       },
       1, "", kMismatch, {}},
      {"no_candidate",
       [](Tree &t) {
         t.customised();
         t.custom(t.example, "readme.txt");
       },
       1, "", kNoCandidate, {}},
      {"missing_default_model",
       [](Tree &t) {
         t.customised();
         t.custom(t.example, "yolov4_tiny.nb");
         fs::remove(t.common + "yolov4_tiny.nb");
       },
       1,
       "",
       "[Error][424] Default model "
       "{HOME}/.arduino15//packages/vantrel/hardware/Lirafen/4.0.9/variants/common_nn_models//yolov4_tiny.nb"
       " does not exist. Please check "
       "{HOME}/.arduino15//packages/vantrel/hardware/Lirafen/4.0.9/variants/common_nn_models//yolov4_tiny.nb"
       " again.\n",
       {}},
      {"unreadable_customised_model_changes_nothing",
       [](Tree &t) {
         t.validation({"yolov4_tiny", "scrfd640", "NA", "NA", "NA"}, {"CUSTOMIZED", "CUSTOMIZED", "", "", ""});
         t.custom(t.example, "scrfd_500m_bnkps_640x640_u8.nb");
         fs::create_symlink(t.t + "/gone.nb", t.example + "/yolov4_tiny.nb");
       },
       1,
       "",
       "[Error] Failed to copy {EX}/yolov4_tiny.nb to {CM}/yolov4_tiny.nb: No such file or directory\n",
       {}},
      {"customised_model_that_is_a_pipe_is_refused",
       [](Tree &t) {
         t.customised();
         fs::create_directories(t.example);
         ASSERT_EQ(mkfifo((t.example + "/yolov4_tiny.nb").c_str(), 0600), 0);
       },
       1,
       "",
       "[Error] Failed to copy {EX}/yolov4_tiny.nb to {CM}/yolov4_tiny.nb: not a regular file\n",
       {}},
      {"unwritable_backup_destination_leaves_model",
       [](Tree &t) {
         t.customised();
         t.custom(t.example, "yolov4_tiny.nb");
         t.putFile(t.common + "Dbackup_2023-06-01_yolov4_tiny.nb", "original default");
         t.putFile(t.common + "Cbackup_2025-01-20_yolov4_tiny.nb/inside", "x");
       },
       1,
       "",
       "[Error] Failed to copy {EX}/yolov4_tiny.nb to {CM}/Cbackup_2025-01-20_yolov4_tiny.nb: Is a "
       "directory\n",
       {}},
      {"modified_location_uses_its_folder",
       [](Tree &t) {
         t.customised();
         t.custom(t.t + "/sketch_modified", "yolov4_tiny.nb", "from modified");
         t.custom(t.example, "yolov4_tiny.nb");
         t.writeBuildOptions(R"({"sketchLocation": ")" + t.t + R"(/sketch_modified/sketch.ino"})");
       },
       0,
       "",
       "",
       {{"{CM}Dbackup_2024-03-05_yolov4_tiny.nb", "default:yolov4_tiny.nb"},
        {"{CM}Cbackup_2025-01-20_yolov4_tiny.nb", "from modified"},
        {"{CM}yolov4_tiny.nb", "from modified"}}},
      {"temp_is_an_equality_test",
       [](Tree &t) {
         t.customised();
         t.custom(t.example, "yolov4_tiny.nb");
         fs::create_directories(t.t + "/Temp/ObjectDetectionLoop");
         t.writeBuildOptions(R"({"sketchLocation": ")" + t.t + R"(/Temp/ObjectDetectionLoop"})");
       },
       0,
       "",
       "",
       {{"{CM}Dbackup_2024-03-05_yolov4_tiny.nb", "default:yolov4_tiny.nb"},
        {"{CM}Cbackup_2025-01-20_yolov4_tiny.nb", "custom:yolov4_tiny.nb"},
        {"{CM}yolov4_tiny.nb", "custom:yolov4_tiny.nb"}}},
      {"library_entry_tested_before_its_subtree",
       [](Tree &t) {
         t.customised();
         fs::remove_all(t.lib + "NNObjectDetection");
         // The library folder itself ends with the sketch's name.
         t.custom(t.lib + "DetectionLoop", "yolov4_tiny.nb", "library root");
         t.custom(t.lib + "DetectionLoop/examples/DetectionLoop", "yolov4_tiny.nb", "example");
         fs::create_directories(t.t + "/Arduino/DetectionLoop");
         t.writeBuildOptions(R"({"sketchLocation": ")" + t.t + R"(/Arduino/DetectionLoop"})");
       },
       0,
       "",
       "",
       {{"{CM}Dbackup_2024-03-05_yolov4_tiny.nb", "default:yolov4_tiny.nb"},
        {"{CM}Cbackup_2025-01-20_yolov4_tiny.nb", "library root"},
        {"{CM}yolov4_tiny.nb", "library root"}}},
      {"library_search_is_depth_first",
       [](Tree &t) {
         t.customised();
         fs::remove_all(t.lib + "NNObjectDetection");
         fs::create_directories(t.lib + "LibA");
         fs::create_directories(t.lib + "LibB");
         auto order = listingOrder(t.lib);
         // Deep below the first library, shallow below the second: a
         // breadth-first search would take the second.
         t.custom(t.lib + order[0] + "/examples/Det", "yolov4_tiny.nb", "deep in first");
         t.custom(t.lib + order[1] + "/Det", "yolov4_tiny.nb", "shallow in second");
         fs::create_directories(t.t + "/Arduino/Det");
         t.writeBuildOptions(R"({"sketchLocation": ")" + t.t + R"(/Arduino/Det"})");
       },
       0,
       "",
       "",
       {{"{CM}Dbackup_2024-03-05_yolov4_tiny.nb", "default:yolov4_tiny.nb"},
        {"{CM}Cbackup_2025-01-20_yolov4_tiny.nb", "deep in first"},
        {"{CM}yolov4_tiny.nb", "deep in first"}}},
      {"library_without_match_installs_nothing",
       [](Tree &t) {
         t.customised();
         t.custom(t.example, "yolov4_tiny.nb");
         fs::create_directories(t.t + "/Arduino/MySketch");
         t.writeBuildOptions(R"({"sketchLocation": ")" + t.t + R"(/Arduino/MySketch"})");
       },
       0, "", "", {}},
      {"library_links_in_a_loop_end_the_search",
       [](Tree &t) {
         t.customised();
         t.custom(t.example, "yolov4_tiny.nb");
         // Two links back up the tree: followed blindly they make the search
         // exponential in the depth of the path.
         fs::create_directory_symlink(t.lib, t.lib + "NNObjectDetection/up1");
         fs::create_directory_symlink(t.lib, t.lib + "NNObjectDetection/up2");
         fs::create_directories(t.t + "/Arduino/MySketch");
         t.writeBuildOptions(R"({"sketchLocation": ")" + t.t + R"(/Arduino/MySketch"})");
       },
       0, "", "", {}},
      {"location_ending_in_slash_takes_first_library",
       [](Tree &t) {
         t.customised();
         t.custom(t.example, "yolov4_tiny.nb");
         t.writeBuildOptions(R"({"sketchLocation": ")" + t.sketch + R"(/"})");
       },
       // The library folder itself holds no model.
       1, "", kNoCandidate, {}},
      {"model_name_in_mixed_case",
       [](Tree &t) {
         t.customised("YOLOv4_Tiny");
         t.custom(t.example, "yolov4_tiny.nb");
       },
       0,
       "",
       "",
       {{"{CM}Dbackup_2024-03-05_yolov4_tiny.nb", "default:yolov4_tiny.nb"},
        {"{CM}Cbackup_2025-01-20_yolov4_tiny.nb", "custom:yolov4_tiny.nb"},
        {"{CM}yolov4_tiny.nb", "custom:yolov4_tiny.nb"}}},
      {"selected_model_of_default_task_installed_too",
       [](Tree &t) {
         t.validation({"yolov4_tiny", "scrfd640", "NA", "NA", "NA"}, {"CUSTOMIZED", "", "", "", ""});
         t.custom(t.example, "yolov4_tiny.nb");
         t.custom(t.example, "scrfd_500m_bnkps_640x640_u8.nb");
       },
       0,
       "",
       "",
       {{"{CM}Dbackup_2024-03-05_yolov4_tiny.nb", "default:yolov4_tiny.nb"},
        {"{CM}Cbackup_2025-01-20_yolov4_tiny.nb", "custom:yolov4_tiny.nb"},
        {"{CM}yolov4_tiny.nb", "custom:yolov4_tiny.nb"},
        {"{CM}Dbackup_2024-03-05_scrfd_500m_bnkps_640x640_u8.nb", "default:scrfd_500m_bnkps_640x640_u8.nb"},
        {"{CM}Cbackup_2025-01-20_scrfd_500m_bnkps_640x640_u8.nb", "custom:scrfd_500m_bnkps_640x640_u8.nb"},
        {"{CM}scrfd_500m_bnkps_640x640_u8.nb", "custom:scrfd_500m_bnkps_640x640_u8.nb"}}},
      {"long_validation_file",
       [](Tree &t) {
         std::string text = std::string(1 << 20, 'x') + "\n\nyolov4_tiny\nNA\nNA\nNA\nNA\n\n\nCUSTOMIZED\n";
         for (int i = 0; i < 300; ++i) text += "filler line " + std::to_string(i) + "\n";
         write_text(t.platform + "/misc/ino_validation.txt", text);
         t.custom(t.example, "yolov4_tiny.nb");
       },
       0,
       "",
       "",
       {{"{CM}Dbackup_2024-03-05_yolov4_tiny.nb", "default:yolov4_tiny.nb"},
        {"{CM}Cbackup_2025-01-20_yolov4_tiny.nb", "custom:yolov4_tiny.nb"},
        {"{CM}yolov4_tiny.nb", "custom:yolov4_tiny.nb"}}},
  };
}

void PrintTo(const Scenario &sc, std::ostream *os) { *os << sc.name; }

class ModelprepRun : public testing::TestWithParam<Scenario> {};

TEST_P(ModelprepRun, Scenario) {
  const Scenario &sc = GetParam();
  Tree tree;
  sc.prepare(tree);
  for (const auto &dir : tree.customDirs) setMtime(dir, kCustomTime);
  auto before = snapshot(tree.watched);

  std::vector<std::string> argv{MODELPREP_BIN};
  argv.insert(argv.end(), tree.args.begin(), tree.args.end());
  testsupport::ProcessOptions opts;
  opts.env = tree.env;
  opts.cwd = tree.t;
  opts.timeout = std::chrono::seconds(20);
  auto res = run_process(argv, opts);

  EXPECT_FALSE(res.timed_out);
  EXPECT_EQ(res.status, sc.status);
  EXPECT_EQ(escaped(res.out), escaped(tree.expand(sc.out)));
  EXPECT_EQ(escaped(res.err), escaped(tree.expand(sc.err)));

  auto expected = before;
  for (const auto &[path, content] : sc.changes)
    expected[fs::path(tree.expand(path)).lexically_normal().string()] = content;
  auto after = snapshot(tree.watched);
  EXPECT_EQ(after, expected);
  if (sc.verify) sc.verify(tree);
}

INSTANTIATE_TEST_SUITE_P(Table, ModelprepRun, testing::ValuesIn(scenarios()),
                         [](const testing::TestParamInfo<Scenario> &row) { return row.param.name; });

// A model file larger than the copy buffer arrives whole, byte for byte,
// and the installed model keeps the permissions of the file it replaced.
TEST(ModelprepCopy, LargeModelCopiedExactly) {
  Tree tree;
  tree.customised();
  std::string big;
  for (int i = 0; i < 300000; ++i) big += static_cast<char>((i * 131 + i / 7) & 0xFF);
  tree.custom(tree.example, "yolov4_tiny.nb", big);
  ASSERT_EQ(chmod((tree.common + "yolov4_tiny.nb").c_str(), 0640), 0);
  setMtime(tree.example, kCustomTime);

  testsupport::ProcessOptions opts;
  opts.env = tree.env;
  auto res = run_process({MODELPREP_BIN, tree.build, tree.platform, "LoadFromFlash"}, opts);
  ASSERT_EQ(res.status, 0) << res.err;
  EXPECT_EQ(read_text(tree.common + "yolov4_tiny.nb"), big);
  EXPECT_EQ(read_text(tree.common + "Cbackup_2025-01-20_yolov4_tiny.nb"), big);
  EXPECT_EQ(fs::status(tree.common + "yolov4_tiny.nb").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// The temporary files of modelprep in a folder.
std::vector<std::string> tempFiles(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename();
    if (name.starts_with(".modelprep-")) names.push_back(name);
  }
  return names;
}

// A stop signal in the middle of a copy: the temporary file goes, nothing
// else changes, and the run ends by that signal. The copy is the first
// backup of a 1 GiB default model (sparse, so it costs no disk until copied);
// the signal is sent the moment the temporary file appears.
TEST(ModelprepSignals, StopSignalMidCopyRemovesTheTemporaryFile) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    Tree tree;
    tree.customised();
    tree.custom(tree.example, "yolov4_tiny.nb");
    const std::string model = tree.common + "yolov4_tiny.nb";
    ASSERT_EQ(truncate(model.c_str(), off_t{1} << 30), 0);
    setMtime(model, kDefaultTime);
    setMtime(tree.example, kCustomTime);
    const std::vector<std::string> before = listingOrder(tree.common);

    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, tree.common.c_str(), IN_CREATE), 0);
    std::vector<std::string> env{"HOME=" + tree.home, "TZ=UTC"};
    std::vector<std::string> args{MODELPREP_BIN, tree.build, tree.platform, "LoadFromFlash"};
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    bool signalled = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!signalled && std::chrono::steady_clock::now() < deadline) {
      pollfd p{watch, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      alignas(inotify_event) char buf[4096];
      const ssize_t n = read(watch, buf, sizeof buf);
      for (ssize_t at = 0; at < n && !signalled;) {
        const auto *ev = reinterpret_cast<const inotify_event *>(buf + at);
        if (ev->len > 0 && std::string(ev->name).starts_with(".modelprep-")) signalled = kill(pid, sig) == 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
    close(watch);
    if (!signalled) kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(signalled) << "no temporary file appeared";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
    EXPECT_EQ(tempFiles(tree.common), std::vector<std::string>{});
    // Cut short: the backup never reached its name, the model is as it was.
    EXPECT_EQ(listingOrder(tree.common), before);
    EXPECT_EQ(fs::file_size(model), uintmax_t{1} << 30);
  }
}

// At start, temporary files of runs that were killed are removed when their
// process no longer exists; those of live processes, and names that only
// look alike, stay.
TEST(ModelprepSignals, StaleTemporaryFilesOfDeadProcessesAreRemoved) {
  const pid_t dead = fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) _exit(0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  const std::string d = std::to_string(dead);
  const std::string live = std::to_string(getpid());

  Tree tree;
  const std::vector<std::string> removed = {".modelprep-" + d + "-0.tmp", ".modelprep-" + d + "-12.tmp"};
  const std::vector<std::string> kept = {
      ".modelprep-" + live + "-0.tmp",  // this test is alive
      ".modelprep-1-0.tmp",             // so is process 1
      ".modelprep-0-0.tmp",             // no process has id 0
      ".modelprep--" + d + "-0.tmp",  ".modelprep-" + d + "-x.tmp",   ".modelprep-" + d + "-0.tmp.bak",
      "modelprep-" + d + "-0.tmp",    ".modelprep-" + d + ".tmp",     ".modelprep-99999999999-0.tmp",
  };
  for (const auto &name : removed) tree.putFile(tree.common + name, "partial");
  for (const auto &name : kept) tree.putFile(tree.common + name, "other");

  testsupport::ProcessOptions opts;
  opts.env = tree.env;
  const auto res = run_process({MODELPREP_BIN, tree.build, tree.platform, "LoadFromFlash"}, opts);
  ASSERT_EQ(res.status, 0) << res.err;
  for (const auto &name : removed) EXPECT_FALSE(fs::exists(tree.common + name)) << name;
  for (const auto &name : kept) EXPECT_TRUE(fs::exists(tree.common + name)) << name;
}

}  // namespace
