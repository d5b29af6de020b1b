// modelprep BUILD_DIR PLATFORM_DIR MODEL_SOURCE: a step of the sketch build
// that installs the sketch's customised NN models or restores the defaults.
#include "modelprep/run.h"

int main(int argc, char **argv) { return modelprep::runModelPrep(argc, argv); }
