#include "modelprep/run.h"

#include <clocale>
#include <cstdio>
#include <cstring>

#include "bsp_version.h"
#include "modelprep/paths.h"
#include "modelprep/placement.h"
#include "modelprep/report.h"
#include "modelprep/selection.h"

namespace modelprep {

int runModelPrep(int argc, char **argv) {
  // Without this locale the run goes on in the current one.
  std::setlocale(LC_ALL, "en_US.UTF-8");
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("modelprep %s\n", kBspVersion);
    return 0;
  }
  if (argc != 4) {
    std::fprintf(stderr, "usage: modelprep BUILD_DIR PLATFORM_DIR MODEL_SOURCE\n");
    return 1;
  }
  installTempFileCleanup();
  try {
    preparePaths(argv[1], argv[2], argv[3]);
    removeStaleTempFiles(g_prep.commonModelDir);
    readValidationFile();
    selectAndPlaceModels(g_prep.sketchLocation);
  } catch (const FatalExit &exit) {
    return exit.status;
  }
  return 0;
}

}  // namespace modelprep
