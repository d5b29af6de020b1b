#include "station/args.h"

#include <charconv>
#include <optional>

namespace station {

namespace {

std::optional<int> count(const std::string &s, int min) {
  int n = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (s.empty() || ec != std::errc() || p != s.data() + s.size() || n < min) return std::nullopt;
  return n;
}

// tidewrite takes a word beginning with a dash as an option named by its
// second character, and the last -p wins: one in the common arguments would
// send every run to the same port.
std::string refused_tidewrite_arg(const std::string &w) {
  if (w.size() < 2 || w[0] != '-') return {};
  switch (w[1]) {
    case 'p':
      return "give the ports before \"--\", not with " + w + " (each run gets its own -p)";
    case 'G':
      return w + " builds an offline image without a port: run tidewrite itself for that";
    case 'o':
      return w + " dumps to flash_log.bin in the current folder, which parallel runs would share";
    default:
      return {};
  }
}

}  // namespace

const char *usage_text() {
  return R"(usage: tidewrite-station [options] PORT... -- TIDEWRITE-ARGS...
Runs one tidewrite per port, in parallel, as "tidewrite -p PORT TIDEWRITE-ARGS...",
shows how each stands and ends with status 0 only when every run ended with 0.

  --jobs N          run at most N ports at once (default: all)
  --retry K         run a failed port again, up to K more times (default 0)
  --report FILE     write a JSON report (through a temporary file and rename)
  --log-dir DIR     keep each port's output in DIR/<port name>.log (default .)
  --tidewrite PATH  the tidewrite to run (default: beside this program, else
                    on PATH)
  -h, --help        this text
  --version         print the version

A live table is drawn on standard error when it is a terminal; otherwise one
line per port as it finishes. SIGINT or SIGTERM stops every run, writes the
report and ends the station by the same signal. Exit status: 0 all ports ok,
1 any port not ok (or the report could not be written), 2 a refused command
line or set-up (nothing was run).

example:
  tidewrite-station --report line.json --log-dir logs /dev/ttyUSB* -- \
      -f image.bin -b 1500000 -v lira -r
)";
}

std::string parse_args(const std::vector<std::string> &words, Args &args) {
  size_t i = 0;
  bool separator = false;
  for (; i < words.size(); ++i) {
    const std::string &w = words[i];
    if (w == "--") {
      separator = true;
      ++i;
      break;
    }
    if (w == "-h" || w == "--help") {
      args.help = true;
      return {};
    }
    if (w == "--version") {
      args.version = true;
      return {};
    }
    if (w.size() > 1 && w[0] == '-') {
      std::string name = w, value;
      bool has_value = false;
      if (auto eq = w.find('='); w.rfind("--", 0) == 0 && eq != std::string::npos) {
        name = w.substr(0, eq);
        value = w.substr(eq + 1);
        has_value = true;
      }
      bool known = name == "--jobs" || name == "--retry" || name == "--report" || name == "--log-dir" ||
                   name == "--tidewrite";
      if (!known) return "unknown option " + w;
      if (!has_value) {
        if (i + 1 >= words.size()) return "missing value for " + name;
        value = words[++i];
      }
      if (name == "--jobs") {
        auto n = count(value, 1);
        if (!n) return "--jobs wants a whole number of at least 1, not \"" + value + "\"";
        args.jobs = *n;
      } else if (name == "--retry") {
        auto n = count(value, 0);
        if (!n) return "--retry wants a whole number of at least 0, not \"" + value + "\"";
        args.retry = *n;
      } else if (value.empty()) {
        return name + " wants a path";
      } else if (name == "--report") {
        args.report = value;
      } else if (name == "--log-dir") {
        args.log_dir = value;
      } else {
        args.tidewrite = value;
      }
      continue;
    }
    args.ports.push_back(w);
  }
  if (args.ports.empty()) return "no port given";
  if (!separator) return "no \"--\" before the tidewrite arguments";
  args.tidewrite_args.assign(words.begin() + static_cast<long>(i), words.end());
  if (args.tidewrite_args.empty()) return "no tidewrite arguments after \"--\"";
  for (const auto &w : args.tidewrite_args)
    if (auto why = refused_tidewrite_arg(w); !why.empty()) return why;
  return {};
}

}  // namespace station
