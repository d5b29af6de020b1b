// boardsim's own command line on argument lists made from the input (words
// split at NUL bytes). An accepted list gives a board that can be built:
// its fault lists name only real NAND blocks, and no number has wrapped.
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
  // No number wrapped into another: times and counts stay as they can be given.
  FUZZ_CHECK(opts.config.turnaround_ms >= 0 && f.erase_ms >= 0 && f.cancel_at_block >= 0);
  FUZZ_CHECK(f.silent_after_commands >= -1);
  for (const ProgramFailBlock &p : f.program_fail_blocks) FUZZ_CHECK(p.first_n_writes >= 0);
  for (const BlockFault &b : f.block_faults) FUZZ_CHECK(b.block >= 1 && b.times >= 0 && b.transfer >= 0);
  return 0;
}
