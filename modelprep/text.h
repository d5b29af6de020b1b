// Byte-string tests shared by the tool's steps.
#pragma once

#include <string_view>

namespace modelprep {

inline bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

}  // namespace modelprep
