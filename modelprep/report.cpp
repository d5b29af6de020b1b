#include "modelprep/report.h"

namespace modelprep {

void printLine(std::FILE *stream, std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

void fail(std::string_view line) {
  printLine(stderr, line);
  throw FatalExit{1};
}

}  // namespace modelprep
