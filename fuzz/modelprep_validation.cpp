// modelprep's validation file reader on file contents made from the input,
// delivered in two reads split where the first byte says: the lines must
// not depend on where a read ends, never hold a line feed, and the tasks
// come from lines 3-7 and 10-14.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "modelprep/paths.h"
#include "modelprep/selection.h"

using namespace modelprep;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const size_t split = data[0] % size;
  const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);

  std::vector<std::string> whole(kValidationLineCount);
  const size_t end_whole = takeValidationBytes(whole, 0, text);
  std::vector<std::string> parts(kValidationLineCount);
  size_t line = takeValidationBytes(parts, 0, text.substr(0, split));
  line = takeValidationBytes(parts, line, text.substr(split));
  FUZZ_CHECK(line == end_whole && parts == whole);
  FUZZ_CHECK(end_whole <= kValidationLineCount);

  size_t kept = 0;
  for (const std::string &l : whole) {
    FUZZ_CHECK(l.find('\n') == std::string::npos);
    kept += l.size();
  }
  // Every byte before the end of line 100 is kept, except the line feeds.
  size_t feeds = 0, taken = 0;
  for (; taken < text.size() && feeds < kValidationLineCount; ++taken)
    if (text[taken] == '\n') ++feeds;
  FUZZ_CHECK(kept + feeds == taken);

  PrepContext ctx;
  ctx.validationLines = whole;
  takeTaskLines(ctx);
  for (size_t k = 0; k < kTaskCount; ++k) {
    FUZZ_CHECK(ctx.taskModel[k] == whole[2 + k] && ctx.taskMode[k] == whole[9 + k]);
    const std::string file = modelFileFor(ctx.taskModel[k]);
    FUZZ_CHECK(file == "NA" || file.ends_with(".nb"));
  }
  return 0;
}
