// Every change the tool makes to files: installing customised models with
// dated backups, and restoring the default models from their backups. All of
// it happens in the common model directory.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "modelprep/selection.h"

namespace modelprep {

enum class BackupKind {
  DefaultBackup,  // keep a copy of the default model
  CustomBackup,   // keep a copy of the customised model and install it
};

// The model families, in the order in which a backup's name is tested.
inline constexpr std::array<std::string_view, 7> ModelFamily{
    "yolov3", "yolov4", "yolov7", "scrfd", "mobilefacenet", "yamnet", "img_class"};

// Copies `source` over `destination` through a temporary file in the
// destination's directory, renamed into place only when complete and
// flushed: a failed copy leaves the old destination as it was. Any failure
// ends the run with one line naming both paths and the cause.
void copyFile(const std::string &source, const std::string &destination);

// copyFile(dir + "/" + oldName, dir + "/" + newName).
void copyWithinDir(const std::string &newName, const std::string &oldName, const std::string &dir);

// Local modification date of `path` as "%Y-%m-%d"; ends the run with the
// "Default model ... does not exist" message when there is no such path.
std::string fileDate(const std::string &path);

void backupModel(const std::string &file, const std::string &customModelDir, BackupKind kind);

// Checks, before anything is changed, that installCustomModel(file,
// customModelDir) can succeed: the customised file can be read and, when
// the default model still needs its first backup, the default model exists.
// Ends the run otherwise.
void checkInstallable(const std::string &file, const std::string &customModelDir);

// Backs up the default model once (the first "Dbackup_" copy is kept for
// good), keeps a dated "Cbackup_" copy and installs the customised model.
void installCustomModel(const std::string &file, const std::string &customModelDir);

// Copies every "Dbackup" file whose family matches the selected model of its
// task back over the default model file it was made from.
void restoreDefaultModels();

// Task of a backup by the first family word its name contains; nullopt when
// it contains none.
std::optional<Task> backupTask(std::string_view backupName);

// Name of the model file that `backupName` restores when `selectedModel` is
// the model of the backup's task; nullopt when the backup is to be left alone
// (no model, another family, or no file name left after the family).
std::optional<std::string> restoreTarget(std::string_view backupName, std::string_view selectedModel);

// SIGINT, SIGTERM and SIGHUP remove the temporary file of a copy under way,
// then end the run by the same signal (default action). Signals ignored at
// start stay ignored.
void installTempFileCleanup();

// The process id in a temporary file name ".modelprep-<pid>-<n>.tmp";
// nullopt for any other name (and for pids that no process can have).
std::optional<long> tempFileOwner(std::string_view name);

// Removes the temporary files in `dir` left by runs that were killed: only
// those whose process no longer exists, never one a live run is writing.
void removeStaleTempFiles(const std::string &dir);

}  // namespace modelprep
