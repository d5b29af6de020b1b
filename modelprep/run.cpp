#include "modelprep/run.h"

#include <clocale>

#include "modelprep/paths.h"
#include "modelprep/placement.h"
#include "modelprep/report.h"
#include "modelprep/selection.h"

namespace modelprep {

int runModelPrep(int argc, char **argv) {
  // Without this locale the run goes on in the current one.
  std::setlocale(LC_ALL, "en_US.UTF-8");
  if (argc != 4) return 1;
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
