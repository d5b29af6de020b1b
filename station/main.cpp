// tidewrite-station: flashes many boards at once, one tidewrite per port.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <exception>
#include <string>
#include <vector>

#include "bsp_version.h"
#include "station/args.h"
#include "station/locate.h"
#include "station/ports.h"
#include "station/report.h"
#include "station/runner.h"
#include "station/table.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSetupError = 2;

int refuse(const std::string &why, bool usage_hint = false) {
  std::string text = "tidewrite-station: " + why + "\n";
  if (usage_hint) text += "(tidewrite-station --help shows the usage)\n";
  station::write_all(2, text);
  return kSetupError;
}

// Descriptors 0 to 2 stay taken, so no pipe or log lands on them.
void hold_standard_fds() {
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) < 0) ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
}

// Each port holds its log and, while it runs, two pipes: a long line of ports
// can pass the usual soft limit of 1024 descriptors.
void allow_descriptors(size_t ports) {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  const rlim_t want = static_cast<rlim_t>(3 * ports + 64);
  if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < want) {
    lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? want : std::min(want, lim.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
}

bool stderr_is_terminal() {
  const char *term = std::getenv("TERM");
  return ::isatty(2) && !(term != nullptr && std::strcmp(term, "dumb") == 0);
}

}  // namespace

int main(int argc, char **argv) {
  station::block_signals();
  hold_standard_fds();

  station::Args args;
  if (auto why = station::parse_args(std::vector<std::string>(argv + 1, argv + argc), args); !why.empty())
    return refuse(why, true);
  if (args.help) {
    std::fputs(station::usage_text(), stdout);
    return 0;
  }
  if (args.version) {
    std::printf("tidewrite-station %s\n", kBspVersion);
    return 0;
  }

  std::string why;
  const char *path_env = std::getenv("PATH");
  const std::string tidewrite =
      station::find_tidewrite(args.tidewrite, station::self_exe_path(), path_env ? path_env : "", why);
  if (tidewrite.empty()) return refuse(why);

  std::vector<station::Port> ports;
  if (why = station::describe_ports(args.ports, station::kByIdDir, args.log_dir, ports); !why.empty())
    return refuse(why);
  if (!args.report.empty()) {
    fs::path dir = fs::path(args.report).parent_path();
    if (!dir.empty() && !fs::is_directory(dir)) return refuse("no folder " + dir.string() + " for the report");
  }
  std::error_code ec;
  fs::create_directories(args.log_dir, ec);
  if (ec || !fs::is_directory(args.log_dir)) return refuse("cannot make the log folder " + args.log_dir);
  allow_descriptors(ports.size());
  std::vector<station::UniqueFd> logs;
  if (why = station::open_logs(ports, logs); !why.empty()) return refuse(why);

  station::RunConfig config;
  config.tidewrite = tidewrite;
  config.tidewrite_args = args.tidewrite_args;
  config.jobs = args.jobs;
  config.retry = args.retry;
  config.live = stderr_is_terminal();
  station::RunResult result;
  try {
    result = station::run_ports(config, ports, std::move(logs));
  } catch (const std::exception &e) {
    station::write_all(2, std::string("tidewrite-station: ") + e.what() + "\n");
    return 1;
  }

  const bool all_ok = std::all_of(result.ports.begin(), result.ports.end(),
                                  [](const station::PortStatus &p) { return p.state == station::State::ok; });
  int status = all_ok ? 0 : 1;
  char took[32];
  std::snprintf(took, sizeof took, " in %.1f s", result.seconds);
  std::string summary = "tidewrite-station: ";
  if (result.stop_signal != 0) summary += "stopped by " + station::signal_name(result.stop_signal) + "; ";
  summary += std::to_string(ports.size()) + (ports.size() == 1 ? " port: " : " ports: ") +
             station::totals_text(result.ports) + took;

  if (!args.report.empty()) {
    station::RunSummary run;
    run.tidewrite = tidewrite;
    run.tidewrite_args = args.tidewrite_args;
    run.start_wall = result.start_wall;
    run.end_wall = result.end_wall;
    run.seconds = result.seconds;
    run.stop_signal = result.stop_signal;
    run.exit_status = status;
    if (auto failed = station::write_file_atomically(args.report, station::report_json(run, result.ports));
        !failed.empty()) {
      summary += "\ntidewrite-station: no report: " + failed;
      status = 1;
    } else {
      summary += "; report " + args.report;
    }
  }
  station::write_all(2, summary + "\n");
  if (result.stop_signal != 0) station::die_by_signal(result.stop_signal);
  return status;
}
