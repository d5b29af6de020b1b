// Follows one tidewrite run's output as it arrives, in pieces of any size:
// the last line printed (for the table) and the outcome line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace station {

enum class Stream { out, err };

struct OutputScan {
  // Text since the last line end of each stream (bounded).
  std::string partial_out, partial_err;
  // The last non-empty line, trimmed, as printable ASCII; a line still being
  // written (a progress bar redrawn with carriage returns) counts.
  std::string last_line;
  // The last "<operation> success" / "<operation> fail" line on stdout.
  // tidewrite ends it with a carriage return only, which tells it from
  // messages such as "uart ... open fail", ended with a line feed.
  std::optional<std::string> outcome;
};

void scan_output(OutputScan &scan, Stream stream, std::string_view bytes);

// Spaces and tabs off both ends; bytes outside printable ASCII become '?'.
std::string printable_trimmed(std::string_view text);

}  // namespace station
