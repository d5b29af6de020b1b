// The programmer's option walk on argument vectors made from the input: the
// words are the input split at NUL bytes, after the program name.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tidewrite/options.h"

namespace {

bool points_into(const char *p, const std::vector<std::string> &words) {
  for (const std::string &w : words)
    if (p == w.c_str()) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> words = {"tidewrite"};
  std::string word;
  for (size_t i = 0; i < size && words.size() < 64; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (!word.empty() && words.size() < 64) words.push_back(word);
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  reset_option_globals();
  const int r = parse_option(static_cast<int>(words.size()), argv.data());
  FUZZ_CHECK(r == 0 || r == -1);
  if (r == 0) {
    // A run goes on only with a port, and every name it keeps is one of the words.
    FUZZ_CHECK(g_cmd_option.port != nullptr && points_into(g_cmd_option.port, words));
    FUZZ_CHECK(g_cmd_option.erase_mode >= 0 || g_cmd_option.fw_file != nullptr);
    if (g_cmd_option.fw_file != nullptr) FUZZ_CHECK(points_into(g_cmd_option.fw_file, words));
    if (type_id_w != nullptr) FUZZ_CHECK(points_into(type_id_w, words));
    FUZZ_CHECK(g_cmd_option.erase_mode >= -1 && g_cmd_option.erase_mode <= 1);
  }
  reset_option_globals();  // no pointer into this input's words survives it
  return 0;
}
