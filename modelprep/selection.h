// Which models the sketch uses, and whether customised ones are installed or
// the defaults restored.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace modelprep {

struct PrepContext;

enum Task : std::size_t {
  OBJECT_DETECTION,
  FACE_DETECTION,
  FACE_RECOGNITION,
  AUDIO_CLASSIFICATION,
  IMAGE_CLASSIFICATION,
};

struct ModelTableRow {
  std::string_view modelName;
  std::string_view modelFile;
};

// Model name to the name of its file in the common model directory.
inline constexpr std::array<ModelTableRow, 9> ModelTable{{
    {"yolov3_tiny", "yolov3_tiny.nb"},
    {"yolov4_tiny", "yolov4_tiny.nb"},
    {"yolov7_tiny", "yolov7_tiny.nb"},
    {"mobilefacenet_i8", "mobilefacenet_int8.nb"},
    {"mobilefacenet_i16", "mobilefacenet_int16.nb"},
    {"scrfd320p", "scrfd_500m_bnkps_576x320_u8.nb"},
    {"scrfd640", "scrfd_500m_bnkps_640x640_u8.nb"},
    {"yamnet_fp16", "yamnet_fp16.nb"},
    {"img_class", "img_class_cnn.nb"},
}};

// Reads miscDir + "ino_validation.txt" (creating miscDir when missing) into
// validationLines, taskModel and taskMode of g_prep. A missing file leaves
// them empty.
void readValidationFile();

// Adds the bytes of the validation file that follow those already taken:
// each line feed ends line `line`, other bytes (a carriage return included)
// extend it. Stops when every entry of `lines` is complete; returns the line
// the next bytes go to.
std::size_t takeValidationBytes(std::vector<std::string> &lines, std::size_t line, std::string_view bytes);

// taskModel and taskMode of ctx from its validation lines 3 to 7 and 10 to 14.
void takeTaskLines(PrepContext &ctx);

// File of a model name (any letter case), or "NA" for a name outside the table.
std::string modelFileFor(std::string_view name);

// Reports on standard output a sketch folder that cannot be listed.
void checkSketchLocation(const std::string &loc);

// Path up to and including its last "/"; empty when it has none.
std::string parentDirOf(std::string_view path);

// Path after its last "/"; the whole path when it has none.
std::string baseNameOf(std::string_view path);

// Depth-first search below `dir` for the first entry whose name ends with
// `suffix`: an entry is tested before its subtree, and a whole subtree is
// searched before the next sibling. Full path, or empty.
std::string findEntryEndingWith(const std::string &dir, std::string_view suffix);

// Installs the customised models of the sketch at `loc` or restores the
// defaults; may end the run.
void selectAndPlaceModels(const std::string &loc);

}  // namespace modelprep
