#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "station/locate.h"
#include "station/ports.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;
using Words = std::vector<std::string>;

struct NamesCase {
  const char *name;
  Words paths;
  Words logs;
};

class LogNames : public testing::TestWithParam<NamesCase> {};

TEST_P(LogNames, AreUniqueAndReadable) {
  EXPECT_EQ(station::log_names(GetParam().paths), GetParam().logs);
}

INSTANTIATE_TEST_SUITE_P(
    Station, LogNames,
    testing::Values(
        NamesCase{"plain", {"/dev/ttyUSB0", "/dev/ttyUSB1"}, {"ttyUSB0.log", "ttyUSB1.log"}},
        NamesCase{"by_id", {"/dev/serial/by-id/usb-FTDI_X-if00-port0"}, {"usb-FTDI_X-if00-port0.log"}},
        NamesCase{"shared_base", {"/a/tty", "/b/tty", "/c/tty"}, {"tty.log", "tty-2.log", "tty-3.log"}},
        // A suffix never takes the name of another port's own log.
        NamesCase{"suffix_taken", {"/a/tty", "/b/tty", "/c/tty-2"}, {"tty.log", "tty-3.log", "tty-2.log"}},
        NamesCase{"trailing_slash_and_odd", {"/dev/ttyS0/", "/", ".."}, {"ttyS0.log", "port.log", "port-2.log"}}),
    [](const auto &info) { return std::string(info.param.name); });

// A folder standing in for /dev: two "devices", by-id links to them, and a
// second link of the first device elsewhere.
class DescribePorts : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dev() / "serial/by-id");
    testsupport::write_text(dev() / "ttyUSB0", "");
    testsupport::write_text(dev() / "ttyUSB1", "");
    fs::create_symlink("../../ttyUSB0", by_id() / "usb-Acme_Board_A1-if00-port0");
    fs::create_symlink("../../ttyUSB0", by_id() / "usb-Acme_Board_A1-if00-port9");  // sorts later
    fs::create_symlink(dev() / "ttyUSB0", dev() / "board-a");
  }
  // Real paths come back resolved: the folder itself must hold no link.
  fs::path dev() const { return fs::canonical(tmp_.path()) / "dev"; }
  fs::path by_id() const { return dev() / "serial/by-id"; }
  std::string p(const std::string &rel) const { return (dev() / rel).string(); }

  TempDir tmp_;
};

TEST_F(DescribePorts, ResolveDevicesAndByIdNames) {
  std::vector<station::Port> ports;
  ASSERT_EQ(station::describe_ports({p("ttyUSB0"), p("serial/by-id/usb-Acme_Board_A1-if00-port9"), p("ttyUSB9")},
                                    by_id().string(), "logs", ports),
            "ports " + p("ttyUSB0") + " and " + p("serial/by-id/usb-Acme_Board_A1-if00-port9") +
                " are the same device (" + p("ttyUSB0") + ")");

  ASSERT_EQ(station::describe_ports({p("board-a"), p("ttyUSB1"), p("ttyUSB9")}, by_id().string(), "logs", ports), "");
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0].path, p("board-a"));
  EXPECT_EQ(ports[0].device, p("ttyUSB0"));
  EXPECT_EQ(ports[0].by_id, p("serial/by-id/usb-Acme_Board_A1-if00-port0"));
  EXPECT_EQ(ports[1].device, p("ttyUSB1"));
  EXPECT_EQ(ports[1].by_id, "");
  EXPECT_EQ(ports[2].device, "");  // missing: reported later, nothing refused
  EXPECT_EQ(ports[2].by_id, "");
  const fs::path logs = fs::current_path() / "logs";
  EXPECT_EQ(ports[0].log_path, (logs / "board-a.log").string());
  EXPECT_EQ(ports[2].log_path, (logs / "ttyUSB9.log").string());
}

TEST_F(DescribePorts, AByIdPathKeepsItsOwnName) {
  std::vector<station::Port> ports;
  const std::string given = p("serial/by-id/usb-Acme_Board_A1-if00-port9");
  ASSERT_EQ(station::describe_ports({given}, by_id().string(), tmp_.path().string(), ports), "");
  EXPECT_EQ(ports[0].by_id, given);
  EXPECT_EQ(ports[0].device, p("ttyUSB0"));
  EXPECT_EQ(ports[0].log_path, (tmp_.path() / "usb-Acme_Board_A1-if00-port9.log").string());
}

TEST_F(DescribePorts, RefuseAPortGivenTwice) {
  std::vector<station::Port> ports;
  EXPECT_EQ(station::describe_ports({p("ttyUSB1"), p("ttyUSB1")}, by_id().string(), ".", ports),
            "port " + p("ttyUSB1") + " given twice");
  EXPECT_EQ(station::describe_ports({"/nonexistent/ttyUSB7", "/nonexistent/./ttyUSB7"}, by_id().string(), ".", ports),
            "ports /nonexistent/ttyUSB7 and /nonexistent/./ttyUSB7 are the same device");
  EXPECT_EQ(station::describe_ports({p("ttyUSB1")}, (tmp_.path() / "no-by-id").string(), ".", ports), "");
  EXPECT_EQ(ports[0].by_id, "");
}

class FindTidewrite : public testing::Test {
 protected:
  fs::path program(const fs::path &dir, const std::string &name, bool executable = true) {
    fs::create_directories(dir);
    testsupport::write_text(dir / name, "#!/bin/sh\n");
    chmod((dir / name).c_str(), executable ? 0755 : 0644);
    return dir / name;
  }
  TempDir tmp_;
};

TEST_F(FindTidewrite, GivenThenBesideThenPath) {
  const fs::path t = tmp_.path();
  const fs::path given = program(t / "given", "tw");
  const fs::path beside = program(t / "bin", "tidewrite");
  const fs::path on_path = program(t / "path2", "tidewrite");
  program(t / "path1", "tidewrite", false);  // not executable: passed over
  const std::string self = (t / "bin/tidewrite-station").string();
  const std::string path_env = (t / "path0").string() + ":" + (t / "path1").string() + ":" + (t / "path2").string();
  std::string why;

  EXPECT_EQ(station::find_tidewrite(given.string(), self, path_env, why), given.string());
  EXPECT_EQ(station::find_tidewrite("", self, path_env, why), beside.string());
  EXPECT_EQ(station::find_tidewrite("", (t / "elsewhere/tidewrite-station").string(), path_env, why),
            on_path.string());
  EXPECT_EQ(why, "");

  EXPECT_EQ(station::find_tidewrite("", (t / "elsewhere/s").string(), (t / "path1").string(), why), "");
  EXPECT_NE(why.find("--tidewrite"), std::string::npos) << why;
  why.clear();
  EXPECT_EQ(station::find_tidewrite((t / "path1/tidewrite").string(), self, path_env, why), "");
  EXPECT_NE(why.find("not an executable file"), std::string::npos) << why;
  why.clear();
  // A folder of that name is no program.
  fs::create_directories(t / "dir/tidewrite");
  EXPECT_EQ(station::find_tidewrite("", (t / "dir/s").string(), "", why), "");
}

TEST_F(FindTidewrite, RelativePathsComeBackAbsolute) {
  testsupport::ScopedCwd cwd(tmp_.path());
  program(tmp_.path() / "rel", "tidewrite");
  std::string why;
  EXPECT_EQ(station::find_tidewrite("rel/tidewrite", "", "", why), (tmp_.path() / "rel/tidewrite").string());
  EXPECT_EQ(station::find_tidewrite("", "", "/nonexistent:rel", why), (tmp_.path() / "rel/tidewrite").string());
}

}  // namespace
