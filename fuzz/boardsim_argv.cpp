// boardsim's own command line on argument lists made from the input (words
// split at NUL bytes). An accepted list gives a board that can be built:
// its fault lists name only real NAND blocks.
#include <string>
#include <vector>

#include "boardsim/options.h"
#include "fuzz/fuzz_check.h"

using namespace boardsim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> args;
  std::string word;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (!word.empty()) args.push_back(word);
  ProgramOptions opts;
  const std::string err = parse_options(args, opts);
  if (!err.empty()) {
    FUZZ_CHECK(err.starts_with("boardsim: "));
    return 0;
  }
  const Faults &f = opts.config.faults;
  for (int b : f.factory_bad_blocks) FUZZ_CHECK(b >= 0 && b < kNandBlocks);
  for (int b : f.erase_fail_blocks) FUZZ_CHECK(b >= 0 && b < kNandBlocks);
  for (const ProgramFailBlock &p : f.program_fail_blocks) FUZZ_CHECK(p.block >= 0 && p.block < kNandBlocks);
  FUZZ_CHECK(opts.config.nor_size > 0);
  return 0;
}
