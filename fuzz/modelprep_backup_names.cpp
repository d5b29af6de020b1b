// modelprep's readings of file names in the common model folder, on names
// made from the input: the task of a backup and the model file it restores
// (input: backup name, a line feed, the selected model), and the owner of a
// temporary file (the whole input as a name).
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "modelprep/placement.h"

using namespace modelprep;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  const size_t nl = input.find('\n');
  const std::string_view backup = input.substr(0, nl);
  const std::string_view selected = nl == std::string_view::npos ? std::string_view() : input.substr(nl + 1);

  if (const auto task = backupTask(backup)) FUZZ_CHECK(*task <= IMAGE_CLASSIFICATION);
  if (const auto target = restoreTarget(backup, selected)) {
    // family + "_" + what follows the family word and one more byte in the backup's name
    // (the one family word with an underscore of its own is "img_class").
    const size_t us = target->starts_with("img_class_") ? 9 : target->find('_');
    FUZZ_CHECK(us != std::string::npos && us > 0 && us + 1 < target->size());
    const std::string family = target->substr(0, us);
    const std::string rest = target->substr(us + 1);
    const size_t at = backup.find("_" + family);
    FUZZ_CHECK(at != std::string_view::npos);
    FUZZ_CHECK(backup.substr(at + family.size() + 2) == rest);
    FUZZ_CHECK(family != "NA" && family != "img");
  }

  if (const auto owner = tempFileOwner(input)) {
    FUZZ_CHECK(*owner > 0);
    FUZZ_CHECK(input.starts_with(".modelprep-") && input.ends_with(".tmp"));
    const std::string digits = std::to_string(*owner);
    // The pid field, leading zeros aside, is the number returned.
    std::string_view field = input.substr(11);
    field = field.substr(0, field.find('-'));
    while (field.size() > 1 && field.front() == '0') field.remove_prefix(1);
    FUZZ_CHECK(field == digits);
  }
  return 0;
}
