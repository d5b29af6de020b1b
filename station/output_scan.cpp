#include "station/output_scan.h"

namespace station {

namespace {

constexpr size_t kMaxLine = 512;

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

std::string printable_trimmed(std::string_view text) {
  size_t b = 0, e = text.size();
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; };
  while (b < e && blank(text[b])) ++b;
  while (e > b && blank(text[e - 1])) --e;
  std::string s(text.substr(b, e - b));
  for (char &c : s)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
  return s;
}

void scan_output(OutputScan &scan, Stream stream, std::string_view bytes) {
  std::string &partial = stream == Stream::out ? scan.partial_out : scan.partial_err;
  for (char c : bytes) {
    if (c != '\n' && c != '\r') {
      if (partial.size() < kMaxLine) partial.push_back(c);
      continue;
    }
    std::string line = printable_trimmed(partial);
    if (!line.empty()) scan.last_line = line;
    if (stream == Stream::out && c == '\r' && (ends_with(line, " success") || ends_with(line, " fail")))
      scan.outcome = line;
    partial.clear();
  }
  if (std::string line = printable_trimmed(partial); !line.empty()) scan.last_line = line;
}

}  // namespace station
