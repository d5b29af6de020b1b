// The name rules of modelprep, where a table shows a wrong byte better than
// a whole run: restoration targets, model files, package roots, path pieces.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "modelprep/paths.h"
#include "modelprep/placement.h"
#include "modelprep/selection.h"

namespace {

using namespace modelprep;

struct RestoreCase {
  const char *backup;
  const char *selected;
  std::optional<std::string> target;
};

TEST(RestoreTarget, Table) {
  const RestoreCase cases[] = {
      {"Dbackup_2024-03-05_yolov4_tiny.nb", "yolov4_tiny", "yolov4_tiny.nb"},
      // Any model of the family restores the backup under its own name.
      {"Dbackup_2024-03-05_scrfd_500m_bnkps_640x640_u8.nb", "scrfd320p", "scrfd_500m_bnkps_640x640_u8.nb"},
      {"Dbackup_2024-03-05_mobilefacenet_int16.nb", "mobilefacenet_i8", "mobilefacenet_int16.nb"},
      {"Dbackup_2024-03-05_img_class_cnn.nb", "img_class", "img_class_cnn.nb"},
      {"Dbackup_2024-03-05_yamnet_fp16.nb", "yamnet_fp16", "yamnet_fp16.nb"},
      // Another family of the task, or no model: left alone.
      {"Dbackup_2024-03-05_yolov4_tiny.nb", "yolov7_tiny", std::nullopt},
      {"Dbackup_2024-03-05_yolov4_tiny.nb", "NA", std::nullopt},
      // No selected model (no validation file): a lone "_" names nothing.
      {"Dbackup_2024-03-05_yolov4_tiny.nb", "", std::nullopt},
      // Nothing, or nothing but the skipped byte, after the family word.
      {"Dbackup_2024-03-05_yolov4", "yolov4_tiny", std::nullopt},
      {"Dbackup_2024-03-05_yolov4_", "yolov4_tiny", std::nullopt},
      {"Dbackup_2024-03-05_yolov4_x", "yolov4_tiny", "yolov4_x"},
      // The byte after the family word is skipped whatever it is.
      {"Dbackup_yolov4-tiny.nb", "yolov4_tiny", "yolov4_tiny.nb"},
      // The first occurrence of the key counts.
      {"Dbackup_yolov4_yolov4_tiny.nb", "yolov4_tiny", "yolov4_yolov4_tiny.nb"},
      // The family word is taken from a name that holds more than it.
      {"Dbackup_1_yolov3_tiny.nb", "myyolov3", "yolov3_tiny.nb"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.backup) + " with " + c.selected);
    EXPECT_EQ(restoreTarget(c.backup, c.selected), c.target);
  }
}

TEST(BackupTask, FirstFamilyWordInTableOrder) {
  EXPECT_EQ(backupTask("Dbackup_x_yolov3_tiny.nb"), OBJECT_DETECTION);
  EXPECT_EQ(backupTask("Dbackup_x_yolov7_tiny.nb"), OBJECT_DETECTION);
  EXPECT_EQ(backupTask("Dbackup_x_scrfd_500m.nb"), FACE_DETECTION);
  EXPECT_EQ(backupTask("Dbackup_x_mobilefacenet_int8.nb"), FACE_RECOGNITION);
  EXPECT_EQ(backupTask("Dbackup_x_yamnet_fp16.nb"), AUDIO_CLASSIFICATION);
  EXPECT_EQ(backupTask("Dbackup_x_img_class_cnn.nb"), IMAGE_CLASSIFICATION);
  // Object detection words are tested first.
  EXPECT_EQ(backupTask("Dbackup_scrfd_yolov4.nb"), OBJECT_DETECTION);
  // "img" alone is no family word in a backup's name.
  EXPECT_EQ(backupTask("Dbackup_img_cnn.nb"), std::nullopt);
  EXPECT_EQ(backupTask("Dbackup_notes.txt"), std::nullopt);
}

TEST(ModelFileFor, Table) {
  EXPECT_EQ(modelFileFor("yolov4_tiny"), "yolov4_tiny.nb");
  EXPECT_EQ(modelFileFor("YOLOv4_Tiny"), "yolov4_tiny.nb");
  EXPECT_EQ(modelFileFor("mobilefacenet_i16"), "mobilefacenet_int16.nb");
  EXPECT_EQ(modelFileFor("SCRFD320P"), "scrfd_500m_bnkps_576x320_u8.nb");
  EXPECT_EQ(modelFileFor("img_class"), "img_class_cnn.nb");
  EXPECT_EQ(modelFileFor("yolov4"), "NA");
  EXPECT_EQ(modelFileFor("yolov4_tiny\r"), "NA");
  EXPECT_EQ(modelFileFor(""), "NA");
  EXPECT_EQ(modelFileFor("NA"), "NA");
}

TEST(PackageBase, PortableMarkerThenHome) {
  EXPECT_EQ(packageBaseFor("/opt/ide/portable/packages/vantrel/hardware/Lirafen/4.0.9", "/home/u"),
            "/opt/ide/portable");
  EXPECT_EQ(packageBaseFor("/home/portableuser/x", "/home/u"), "/home/portable");
  EXPECT_EQ(packageBaseFor("/home/u/.arduino15/x", "/home/u"), "/home/u/.arduino15/");
  EXPECT_EQ(packageBaseFor("/home/u/.arduino15/x", nullptr), std::nullopt);
  EXPECT_EQ(packageBaseFor("/opt/Portable/x", nullptr), std::nullopt);
}

TEST(PathPieces, Table) {
  EXPECT_EQ(parentDirOf("/a/b/sketch.ino"), "/a/b/");
  EXPECT_EQ(parentDirOf("/a/b/"), "/a/b/");
  EXPECT_EQ(parentDirOf("Temp"), "");
  EXPECT_EQ(baseNameOf("/a/b/sketch"), "sketch");
  EXPECT_EQ(baseNameOf("/a/b/"), "");
  EXPECT_EQ(baseNameOf("Temp"), "Temp");
  EXPECT_EQ(doubleBackslashes(R"(C:\a\b\c)"), R"(C:\\a\\b\\c)");
  EXPECT_EQ(doubleBackslashes(R"(\\)"), R"(\\\\)");
  EXPECT_EQ(doubleBackslashes("/plain/path"), "/plain/path");
  EXPECT_EQ(prefixThrough("/x/portable/portable/y", "portable"), "/x/portable");
}

}  // namespace
