// modelprep's build options file on contents made from the input: parsed as
// the run parses it, then the sketch location taken out. A location, when
// there is one, is the member's string with every backslash doubled.
#include <cjson/cJSON.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "modelprep/paths.h"

using namespace modelprep;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The run reads the file into a string and parses it as a C string.
  const std::string content(reinterpret_cast<const char *>(data), size);
  JsonTree tree(cJSON_Parse(content.c_str()));
  const std::optional<std::string> location = sketchLocationIn(tree.get());
  if (!location) return 0;
  const cJSON *member = cJSON_GetObjectItem(tree.get(), "sketchLocation");
  FUZZ_CHECK(cJSON_IsString(member));
  std::string undoubled;
  for (size_t i = 0; i < location->size(); ++i) {
    undoubled += (*location)[i];
    if ((*location)[i] == '\\') {
      FUZZ_CHECK(i + 1 < location->size() && (*location)[i + 1] == '\\');
      ++i;
    }
  }
  FUZZ_CHECK(undoubled == member->valuestring);
  return 0;
}
