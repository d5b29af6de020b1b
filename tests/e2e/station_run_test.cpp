// tidewrite-station end to end: the real station program runs the real
// tidewrite against emulated NOR boards served from this process; each case
// checks the exit status, the JSON report, the logs and the flashes.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/board.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::TempDir;

constexpr size_t kImageSize = 48 * 1024;

std::vector<uint8_t> random_image(size_t n) {
  std::mt19937 gen(1234);
  std::vector<uint8_t> v(n);
  for (auto &b : v) b = static_cast<uint8_t>(gen());
  return v;
}

struct JsonDeleter {
  void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

std::optional<std::string> text(const cJSON *o, const char *name) {
  const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, name);
  if (cJSON_IsString(v)) return std::string(v->valuestring);
  return std::nullopt;
}
std::optional<int> integer(const cJSON *o, const char *name) {
  const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, name);
  if (cJSON_IsNumber(v)) return v->valueint;
  return std::nullopt;
}

// The station as a child process whose output goes to files, so a test can
// signal it while it runs.
class StationProcess {
 public:
  StationProcess(const std::vector<std::string> &args, const fs::path &dir)
      : out_(dir / "station.out"), err_(dir / "station.err") {
    std::vector<std::string> words = {TIDEWRITE_STATION_BIN};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const std::string out = out_.string(), err = err_.string();
    pid_ = fork();
    if (pid_ == 0) {
      int in = open("/dev/null", O_RDONLY);
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || o < 0 || e < 0) _exit(126);
      dup2(in, 0);
      dup2(o, 1);
      dup2(e, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~StationProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  void signal(int sig) { kill(pid_, sig); }
  // Exit status, or -N after signal N; nullopt when it overran (then killed).
  std::optional<int> wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int st = 0;
    while (waitpid(pid_, &st, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) return std::nullopt;
      std::this_thread::sleep_for(5ms);
    }
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
  }
  std::string out() const { return testsupport::read_text(out_); }
  std::string err() const { return testsupport::read_text(err_); }

 private:
  pid_t pid_ = -1;
  fs::path out_, err_;
};

enum class Fault { none, wrong_hash, fail_first_transfer, missing };

struct PortCase {
  const char *link;  // the port's path under the test folder
  Fault fault;
  // Expected in the report:
  const char *state;
  int attempts;
  std::optional<int> exit_status;  // nullopt: null in the report (or not checked when interrupted)
  std::optional<std::string> outcome;
};

struct Case {
  const char *name;
  std::vector<PortCase> ports;
  std::vector<std::string> options;  // the station's, before the ports
  bool paced = false;                // 115200 baud on the wire: long enough to stop mid-run
  bool sigterm = false;              // SIGTERM once the first board's transfer has begun
  int status;                        // the station's exit status, -N for signal N
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const std::optional<std::string> kSuccess = "upload success";
const std::optional<std::string> kFail = "upload fail";

class StationRun : public testing::TestWithParam<Case> {};

TEST_P(StationRun, ReportStatusLogsAndFlashes) {
  const Case &c = GetParam();
  TempDir tmp;
  const auto image = random_image(kImageSize);
  testsupport::write_file(tmp / "image.bin", image);

  std::vector<std::unique_ptr<boardsim::PtyBoard>> boards(c.ports.size());
  std::vector<std::string> station_args = c.options;
  station_args.insert(station_args.end(), {"--tidewrite", TIDEWRITE_BIN, "--report", (tmp / "report.json").string(),
                                           "--log-dir", (tmp / "logs").string()});
  for (size_t i = 0; i < c.ports.size(); ++i) {
    const PortCase &p = c.ports[i];
    const fs::path link = tmp / p.link;
    station_args.push_back(link.string());
    if (p.fault == Fault::missing) continue;
    fs::create_directories(link.parent_path());
    boardsim::BoardConfig cfg;
    cfg.nor_size = 256 * 1024;
    cfg.complete_store_on_stop = false;
    cfg.link_path = link.string();
    cfg.paced = c.paced;
    if (p.fault == Fault::wrong_hash) cfg.faults.wrong_hash = true;
    // Block 1 of the board's first transfer is refused more often than the
    // sender tries it: the first run fails, the board's next transfer is clean.
    if (p.fault == Fault::fail_first_transfer)
      cfg.faults.block_faults.push_back({1, 1, boardsim::BlockFaultKind::nak, 100});
    boards[i] = std::make_unique<boardsim::PtyBoard>(cfg);
  }
  station_args.push_back("--");
  for (const char *w : {"-f", "image.bin", "-x", "32", "-v", "lira", "-r", "-b"}) station_args.push_back(w);
  station_args.push_back(c.paced ? "115200" : "1500000");

  std::optional<int> status;
  std::string err;
  {
    testsupport::ScopedCwd cwd(tmp.path());  // the runs inherit it: -f image.bin
    StationProcess station(station_args, tmp.path());
    if (c.sigterm) {
      const auto give_up = std::chrono::steady_clock::now() + 20s;
      while (boards[0]->stats().transfers == 0 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(5ms);
      ASSERT_EQ(boards[0]->stats().transfers, 1) << "the transfer never began";
      station.signal(SIGTERM);
    }
    status = station.wait(c.sigterm ? 15s : 60s);  // a stop waits at most 5 s for the runs, then kills
    err = station.err();
    ASSERT_TRUE(status.has_value()) << "the station overran; stderr:\n" << err;
    EXPECT_EQ(station.out(), "");
  }
  EXPECT_EQ(*status, c.status) << err;

  Json root(cJSON_Parse(testsupport::read_text(tmp / "report.json").c_str()));
  ASSERT_NE(root, nullptr);
  const cJSON *r = root.get();
  EXPECT_EQ(text(r, "tidewrite"), TIDEWRITE_BIN);
  EXPECT_EQ(text(r, "stopped_by"), c.sigterm ? std::optional<std::string>("SIGTERM") : std::nullopt);
  EXPECT_EQ(integer(r, "exit_status"), c.sigterm ? std::nullopt : std::optional<int>(c.status));
  const cJSON *totals = cJSON_GetObjectItemCaseSensitive(r, "totals");
  auto count = [&](const char *state) {
    return static_cast<int>(std::count_if(c.ports.begin(), c.ports.end(),
                                          [&](const PortCase &p) { return std::string(p.state) == state; }));
  };
  EXPECT_EQ(integer(totals, "ports"), static_cast<int>(c.ports.size()));
  EXPECT_EQ(integer(totals, "ok"), count("ok"));
  EXPECT_EQ(integer(totals, "failed"), count("failed"));
  EXPECT_EQ(integer(totals, "interrupted"), count("interrupted"));
  EXPECT_EQ(integer(totals, "not_started"), count("not started"));

  const cJSON *list = cJSON_GetObjectItemCaseSensitive(r, "ports");
  ASSERT_EQ(cJSON_GetArraySize(list), static_cast<int>(c.ports.size()));
  std::vector<std::string> log_names;
  for (size_t i = 0; i < c.ports.size(); ++i) {
    SCOPED_TRACE(c.ports[i].link);
    const PortCase &p = c.ports[i];
    const cJSON *o = cJSON_GetArrayItem(list, static_cast<int>(i));
    EXPECT_EQ(text(o, "port"), (tmp / p.link).string());
    EXPECT_EQ(text(o, "device"), boards[i] ? std::optional<std::string>(boards[i]->slave_path()) : std::nullopt);
    EXPECT_EQ(text(o, "state"), p.state);
    EXPECT_EQ(integer(o, "attempts"), p.attempts);
    if (std::string(p.state) != "interrupted") {
      EXPECT_EQ(integer(o, "exit_status"), p.exit_status);
      EXPECT_EQ(text(o, "outcome"), p.outcome);
    } else {
      // Ended by the SIGTERM sent to it, or by its own status after tidying up.
      EXPECT_TRUE(text(o, "signal") == "SIGTERM" || integer(o, "exit_status").value_or(0) != 0);
    }
    const bool ran = p.attempts > 0;
    EXPECT_EQ(text(o, "start").has_value(), ran);
    EXPECT_EQ(text(o, "end").has_value(), ran);
    EXPECT_EQ(integer(o, "duration").has_value(), ran);
    if (p.fault == Fault::missing) {
      EXPECT_EQ(text(o, "error"), "no such port");
    }

    // The log keeps tidewrite's bytes as they came, attempt after attempt.
    const auto log = text(o, "log");
    ASSERT_TRUE(log.has_value());
    log_names.push_back(fs::path(*log).filename().string());
    EXPECT_EQ(fs::path(*log).parent_path(), tmp / "logs");
    const std::string bytes = testsupport::read_text(*log);
    size_t headers = 0;
    for (size_t at = bytes.find("attempt "); at != std::string::npos; at = bytes.find("attempt ", at + 1)) ++headers;
    EXPECT_EQ(headers, static_cast<size_t>(p.attempts)) << bytes;
    if (p.outcome == kSuccess) {
      EXPECT_NE(bytes.find("hash verify pass\n\rupload success\r"), std::string::npos) << bytes;
    }

    if (boards[i] && std::string(p.state) == "ok") {
      EXPECT_EQ(boards[i]->read_flash(0, kImageSize), image);
    }
    // Without a terminal, one line per port as it ends.
    if (std::string(p.state) != "not started") {
      EXPECT_NE(err.find((tmp / p.link).string() + ": " + p.state), std::string::npos) << err;
    }
  }
  // One run at a time, and a retry before the next port: no two ports' spans
  // (first start to last end) overlap.
  if (std::find(c.options.begin(), c.options.end(), "--jobs") != c.options.end() && c.options[1] == "1") {
    std::string last_end;
    for (int i = 0; i < cJSON_GetArraySize(list); ++i) {
      const cJSON *o = cJSON_GetArrayItem(list, i);
      if (!text(o, "start")) continue;
      EXPECT_LE(last_end, *text(o, "start")) << "port " << i << " started before the one before it ended";
      last_end = text(o, "end").value_or("");
    }
  }
  std::sort(log_names.begin(), log_names.end());
  EXPECT_EQ(std::adjacent_find(log_names.begin(), log_names.end()), log_names.end()) << "two ports share a log";
}

INSTANTIATE_TEST_SUITE_P(
    Station, StationRun,
    testing::Values(
        // Two ports share a base name: their logs must not.
        Case{"all_ok",
             {{"a/tty", Fault::none, "ok", 1, 0, kSuccess},
              {"b/tty", Fault::none, "ok", 1, 0, kSuccess},
              {"c/ttyUSB2", Fault::none, "ok", 1, 0, kSuccess}},
             {},
             false,
             false,
             0},
        Case{"one_failing_board",
             {{"ttyA", Fault::none, "ok", 1, 0, kSuccess},
              {"ttyB", Fault::wrong_hash, "failed", 1, 250, kFail},
              {"ttyC", Fault::none, "ok", 1, 0, kSuccess}},
             {},
             false,
             false,
             1},
        Case{"missing_port",
             {{"ttyA", Fault::none, "ok", 1, 0, kSuccess},
              {"ttyGONE", Fault::missing, "failed", 0, std::nullopt, std::nullopt},
              {"ttyC", Fault::none, "ok", 1, 0, kSuccess}},
             {"--jobs", "1"},
             false,
             false,
             1},
        // A loose cable: the run fails once and passes on the retry; a board
        // that always fails uses every retry; a good board runs once. One
        // at a time: a retry runs before the next port.
        Case{"retries",
             {{"ttyLOOSE", Fault::fail_first_transfer, "ok", 2, 0, kSuccess},
              {"ttyBAD", Fault::wrong_hash, "failed", 3, 250, kFail},
              {"ttyGOOD", Fault::none, "ok", 1, 0, kSuccess}},
             {"--jobs", "1", "--retry", "2"},
             false,
             false,
             1},
        Case{"sigterm_mid_run",
             {{"ttyA", Fault::none, "interrupted", 1, std::nullopt, std::nullopt},
              {"ttyB", Fault::none, "not started", 0, std::nullopt, std::nullopt}},
             {"--jobs", "1", "--retry", "3"},
             true,
             true,
             -SIGTERM}),
    [](const auto &info) { return std::string(info.param.name); });

// A tidewrite that cannot be started fails each attempt, and the station
// still comes to its end.
TEST(StationStart, AProgramThatCannotStartFailsEveryAttempt) {
  TempDir tmp;
  testsupport::write_text(tmp / "tidewrite", "not a program\n");
  fs::permissions(tmp / "tidewrite", fs::perms::owner_all);
  testsupport::write_text(tmp / "ttyA", "");
  testsupport::write_text(tmp / "ttyB", "");
  testsupport::ProcessOptions opts;
  opts.timeout = 20s;
  auto res = testsupport::run_process({TIDEWRITE_STATION_BIN, "--tidewrite", (tmp / "tidewrite").string(), "--retry",
                                       "2", "--jobs", "1", "--report", (tmp / "r.json").string(), "--log-dir",
                                       tmp.path().string(), (tmp / "ttyA").string(), (tmp / "ttyB").string(), "--",
                                       "-e", "chip"},
                                      opts);
  ASSERT_FALSE(res.timed_out);
  EXPECT_EQ(res.status, 1) << res.err;
  Json root(cJSON_Parse(testsupport::read_text(tmp / "r.json").c_str()));
  ASSERT_NE(root, nullptr);
  const cJSON *list = cJSON_GetObjectItemCaseSensitive(root.get(), "ports");
  for (int i = 0; i < 2; ++i) {
    const cJSON *o = cJSON_GetArrayItem(list, i);
    EXPECT_EQ(text(o, "state"), "failed");
    EXPECT_EQ(integer(o, "attempts"), 3);
    EXPECT_EQ(integer(o, "exit_status"), std::nullopt);
    EXPECT_NE(text(o, "error").value_or("").find("cannot start"), std::string::npos);
  }
}

// With few descriptors to spare, ports wait for a run to end instead of
// failing for want of pipes.
TEST(StationStart, PortsWaitForDescriptorsInsteadOfFailing) {
  TempDir tmp;
  testsupport::write_text(tmp / "tidewrite", "#!/bin/sh\nprintf 'upload success\\r'\n");
  fs::permissions(tmp / "tidewrite", fs::perms::owner_all);
  std::string command = "ulimit -n 56 && exec '" + std::string(TIDEWRITE_STATION_BIN) + "' --tidewrite '" +
                        (tmp / "tidewrite").string() + "' --report '" + (tmp / "r.json").string() +
                        "' --log-dir '" + (tmp / "logs").string() + "'";
  for (int i = 0; i < 40; ++i) {
    const fs::path port = tmp / ("ttyUSB" + std::to_string(i));
    testsupport::write_text(port, "");
    command += " '" + port.string() + "'";
  }
  command += " -- -f image.bin -b 1500000 -r";
  auto res = testsupport::run_process({"/bin/sh", "-c", command});
  EXPECT_EQ(res.status, 0) << res.err;
  EXPECT_NE(res.err.find("40 ports: 40 ok"), std::string::npos) << res.err;
}

TEST(StationRefusals, NothingRunsAndTheStatusIsTwo) {
  TempDir tmp;
  testsupport::write_text(tmp / "ttyA", "");
  struct Refusal {
    std::vector<std::string> args;
    const char *says;
  };
  const std::string port = (tmp / "ttyA").string(), logs = (tmp / "logs").string();
  const Refusal refusals[] = {
      {{"--log-dir", logs, "--tidewrite", TIDEWRITE_BIN, port, port, "--", "-f", "x", "-b", "115200"},
       "given twice"},
      {{"--log-dir", logs, "--tidewrite", TIDEWRITE_BIN, port, "--", "-f", "x", "-p", port}, "-p"},
      {{"--log-dir", logs, "--tidewrite", (tmp / "nothing").string(), port, "--", "-e", "chip"},
       "not an executable file"},
      {{"--log-dir", logs, "--tidewrite", TIDEWRITE_BIN, "--report", (tmp / "no/r.json").string(), port, "--", "-e",
        "chip"},
       "no folder"},
      {{"--tidewrite", TIDEWRITE_BIN, "--log-dir", port + "/logs", port, "--", "-e", "chip"}, "log folder"},
  };
  for (const auto &r : refusals) {
    auto res = testsupport::run_process([&] {
      std::vector<std::string> v = {TIDEWRITE_STATION_BIN};
      v.insert(v.end(), r.args.begin(), r.args.end());
      return v;
    }());
    EXPECT_EQ(res.status, 2) << res.err;
    EXPECT_NE(res.err.find(r.says), std::string::npos) << res.err;
    EXPECT_EQ(res.out, "");
  }
  EXPECT_FALSE(fs::exists(tmp / "logs"));
  auto help = testsupport::run_process({TIDEWRITE_STATION_BIN, "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: tidewrite-station", 0), 0u) << help.out;
}

}  // namespace
