#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "station/report.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using station::PortStatus;
using station::State;
using station::WallClock;

struct JsonDeleter {
  void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

// 2024-05-17T08:03:21.042Z
const WallClock::time_point kStart = WallClock::time_point() + 1715933001042ms;

std::string text(const cJSON *o, const char *name) {
  const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, name);
  if (v == nullptr) return "<missing>";
  if (cJSON_IsNull(v)) return "<null>";
  return cJSON_IsString(v) ? v->valuestring : "<not text>";
}

double number(const cJSON *o, const char *name) {
  const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, name);
  return cJSON_IsNumber(v) ? v->valuedouble : -12345;
}

bool is_null(const cJSON *o, const char *name) { return cJSON_IsNull(cJSON_GetObjectItemCaseSensitive(o, name)); }

TEST(StationReport, TimesInUtcWithMilliseconds) {
  EXPECT_EQ(station::iso8601_utc(kStart), "2024-05-17T08:03:21.042Z");
  EXPECT_EQ(station::iso8601_utc(WallClock::time_point()), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(station::iso8601_utc(WallClock::time_point() + 951782400999ms), "2000-02-29T00:00:00.999Z");
  EXPECT_EQ(station::iso8601_utc(WallClock::time_point() - 1ms), "1969-12-31T23:59:59.999Z");
}

TEST(StationReport, EveryPortAndTheTotals) {
  std::vector<PortStatus> ports(3);
  ports[0].port = {"/dev/serial/by-id/usb-Acme-port0", "/dev/ttyUSB0", "/dev/serial/by-id/usb-Acme-port0",
                   "/srv/logs/usb-Acme-port0.log"};
  ports[0].state = State::ok;
  ports[0].attempts = 2;
  ports[0].start = station::Clock::time_point() + 10s;
  ports[0].end = ports[0].start + 3912345us;
  ports[0].start_wall = kStart;
  ports[0].end_wall = kStart + 3912ms;
  ports[0].exit_status = 0;
  ports[0].outcome = "upload success";
  ports[0].last_line = "upload success";

  ports[1].port = {"/dev/ttyUSB1", "/dev/ttyUSB1", "", "/srv/logs/ttyUSB1.log"};
  ports[1].state = State::interrupted;
  ports[1].attempts = 1;
  ports[1].start_wall = kStart;
  ports[1].end_wall = kStart + 1s;
  ports[1].end = ports[1].start + 1s;
  ports[1].term_signal = SIGTERM;
  ports[1].last_line = "programing \"half\"";

  ports[2].port = {"/dev/ttyUSB7", "", "", "/srv/logs/ttyUSB7.log"};
  ports[2].state = State::failed;
  ports[2].error = "no such port";

  station::RunSummary run;
  run.tidewrite = "/usr/bin/tidewrite";
  run.tidewrite_args = {"-f", "image.bin", "-b", "1500000", "-r"};
  run.start_wall = kStart;
  run.end_wall = kStart + 4s;
  run.seconds = 4.0004;
  run.stop_signal = SIGINT;

  const std::string json = station::report_json(run, ports);
  ASSERT_EQ(json.back(), '\n');
  Json root(cJSON_Parse(json.c_str()));
  ASSERT_NE(root, nullptr) << json;
  const cJSON *r = root.get();
  EXPECT_EQ(text(r, "tidewrite"), "/usr/bin/tidewrite");
  const cJSON *args = cJSON_GetObjectItemCaseSensitive(r, "arguments");
  ASSERT_EQ(cJSON_GetArraySize(args), 5);
  EXPECT_STREQ(cJSON_GetArrayItem(args, 3)->valuestring, "1500000");
  EXPECT_EQ(text(r, "start"), "2024-05-17T08:03:21.042Z");
  EXPECT_EQ(text(r, "end"), "2024-05-17T08:03:25.042Z");
  EXPECT_DOUBLE_EQ(number(r, "duration"), 4.0);
  EXPECT_EQ(text(r, "stopped_by"), "SIGINT");
  EXPECT_TRUE(is_null(r, "exit_status"));

  const cJSON *totals = cJSON_GetObjectItemCaseSensitive(r, "totals");
  EXPECT_EQ(number(totals, "ports"), 3);
  EXPECT_EQ(number(totals, "ok"), 1);
  EXPECT_EQ(number(totals, "failed"), 1);
  EXPECT_EQ(number(totals, "interrupted"), 1);
  EXPECT_EQ(number(totals, "not_started"), 0);

  const cJSON *list = cJSON_GetObjectItemCaseSensitive(r, "ports");
  ASSERT_EQ(cJSON_GetArraySize(list), 3);
  const cJSON *p0 = cJSON_GetArrayItem(list, 0);
  EXPECT_EQ(text(p0, "port"), "/dev/serial/by-id/usb-Acme-port0");
  EXPECT_EQ(text(p0, "device"), "/dev/ttyUSB0");
  EXPECT_EQ(text(p0, "by_id"), "/dev/serial/by-id/usb-Acme-port0");
  EXPECT_EQ(text(p0, "state"), "ok");
  EXPECT_EQ(text(p0, "start"), "2024-05-17T08:03:21.042Z");
  EXPECT_EQ(text(p0, "end"), "2024-05-17T08:03:24.954Z");
  EXPECT_DOUBLE_EQ(number(p0, "duration"), 3.912);
  EXPECT_EQ(number(p0, "exit_status"), 0);
  EXPECT_TRUE(is_null(p0, "signal"));
  EXPECT_EQ(number(p0, "attempts"), 2);
  EXPECT_EQ(text(p0, "outcome"), "upload success");
  EXPECT_EQ(text(p0, "log"), "/srv/logs/usb-Acme-port0.log");
  EXPECT_TRUE(is_null(p0, "error"));

  const cJSON *p1 = cJSON_GetArrayItem(list, 1);
  EXPECT_EQ(text(p1, "state"), "interrupted");
  EXPECT_TRUE(is_null(p1, "by_id"));
  EXPECT_TRUE(is_null(p1, "exit_status"));
  EXPECT_EQ(text(p1, "signal"), "SIGTERM");
  EXPECT_TRUE(is_null(p1, "outcome"));
  EXPECT_EQ(text(p1, "last_line"), "programing \"half\"");

  const cJSON *p2 = cJSON_GetArrayItem(list, 2);
  EXPECT_EQ(text(p2, "state"), "failed");
  EXPECT_TRUE(is_null(p2, "device"));
  EXPECT_TRUE(is_null(p2, "start"));
  EXPECT_TRUE(is_null(p2, "end"));
  EXPECT_TRUE(is_null(p2, "duration"));
  EXPECT_EQ(number(p2, "attempts"), 0);
  EXPECT_EQ(text(p2, "error"), "no such port");

  run.stop_signal = 0;
  run.exit_status = 1;
  root.reset(cJSON_Parse(station::report_json(run, ports).c_str()));
  EXPECT_TRUE(is_null(root.get(), "stopped_by"));
  EXPECT_EQ(number(root.get(), "exit_status"), 1);
}

class AtomicWrite : public testing::Test {
 protected:
  std::vector<std::string> names() const {
    std::vector<std::string> v;
    for (const auto &e : fs::directory_iterator(tmp_.path())) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  }
  testsupport::TempDir tmp_;
};

TEST_F(AtomicWrite, ReplacesTheFileAndLeavesNoTemporary) {
  const std::string path = (tmp_ / "report.json").string();
  ASSERT_EQ(station::write_file_atomically(path, "first\n"), "");
  ASSERT_EQ(station::write_file_atomically(path, "second, longer\n"), "");
  EXPECT_EQ(testsupport::read_text(path), "second, longer\n");
  EXPECT_EQ(names(), std::vector<std::string>{"report.json"});
}

TEST_F(AtomicWrite, AFailedWriteKeepsTheOldReportWhole) {
  const std::string path = (tmp_ / "report.json").string();
  ASSERT_EQ(station::write_file_atomically(path, "old report\n"), "");

  // A file-size limit cuts the write short, as a full disk would.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string why = station::write_file_atomically(path, std::string(100000, 'x'));
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_handler);

  EXPECT_NE(why.find("cannot write"), std::string::npos) << why;
  EXPECT_EQ(testsupport::read_text(path), "old report\n");
  EXPECT_EQ(names(), std::vector<std::string>{"report.json"});
}

TEST_F(AtomicWrite, AMissingFolderIsReported) {
  const std::string why = station::write_file_atomically((tmp_ / "no/such/report.json").string(), "x");
  EXPECT_NE(why.find("cannot create a temporary file"), std::string::npos) << why;
}

TEST_F(AtomicWrite, TheReportIsReadableByOthers) {
  const std::string path = (tmp_ / "r.json").string();
  const mode_t old = umask(022);
  ASSERT_EQ(station::write_file_atomically(path, "{}\n"), "");
  umask(old);
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

}  // namespace
