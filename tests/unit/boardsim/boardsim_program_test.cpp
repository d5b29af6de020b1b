// The boardsim program on a real pseudo-terminal: options, the printed slave
// path and link, reopenings, and the store file after the program stops.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "boardsim/board.h"
#include "tests/support/test_support.h"
#include "tests/unit/boardsim/xmodem_frames.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using testsupport::TempDir;

// Whole file in one read (the 132 MiB stores make byte-wise reading slow).
Bytes slurp(const std::string &path) {
  Bytes b(std::filesystem::file_size(path));
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f != nullptr) {
    b.resize(std::fread(b.data(), 1, b.size(), f));
    std::fclose(f);
  }
  return b;
}

// The program running in the background; SIGTERM on stop().
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<char *> argv;
      static std::string bin = BOARDSIM_BIN;
      argv.push_back(bin.data());
      for (auto &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    // The first line on standard output is the slave path.
    pollfd p{out[0], POLLIN, 0};
    char c;
    while (poll(&p, 1, 5000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') slave_ += c;
    close(out[0]);
  }
  ~Program() {
    if (pid_ > 0) stop();
  }
  const std::string &slave() const { return slave_; }
  int stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::string slave_;
};

class Host {
 public:
  explicit Host(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(fd_, TCSANOW, &t);
    tcflush(fd_, TCIOFLUSH);
  }
  ~Host() { close(fd_); }
  bool ok() const { return fd_ >= 0; }
  void send(const Bytes &b) { ASSERT_EQ(write(fd_, b.data(), b.size()), ssize_t(b.size())); }
  void send(const std::string &s) { send(Bytes(s.begin(), s.end())); }
  std::string read_n(size_t n, std::chrono::milliseconds timeout = 2000ms) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (got.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) break;
      char buf[256];
      ssize_t k = read(fd_, buf, std::min(sizeof buf, n - got.size()));
      if (k <= 0) break;
      got.append(buf, size_t(k));
    }
    return got;
  }
  // Sends data by XMODEM (1 KiB blocks, CRC) after the start request.
  void xmodem(const Bytes &data) {
    ASSERT_EQ(read_n(1), "C");
    for (size_t k = 0; k < testxm::block_count(data.size(), 1024); ++k) {
      send(testxm::frame(0x02, uint8_t(k + 1), testxm::payload(data, k, 1024), false));
      ASSERT_EQ(read_n(1), "\x06");
    }
    send(testxm::kEndFrame);
    ASSERT_EQ(read_n(3), "\x06OK");
  }

 private:
  int fd_;
};

TEST(Program, HelpListsTheOptions) {
  auto r = testsupport::run_process({BOARDSIM_BIN, "--help"});
  EXPECT_EQ(r.status, 0);
  for (const char *opt : {"--link", "--chip", "--flash", "--store", "--paced", "--transcript",
                          "--bad-block", "--block-fault", "--silent-after"})
    EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
}

TEST(Program, RejectsABadOption) {
  auto r = testsupport::run_process({BOARDSIM_BIN, "--chip", "z80"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("--chip"), std::string::npos);
}

TEST(Program, NorStoreHoldsTheImageAfterStopAndReopensKeepTheBoard) {
  TempDir tmp;
  std::string store = (tmp / "nor.bin").string();
  std::string link = (tmp / "ttyBOARD").string();
  Bytes image(3000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7 + 1);
  {
    Program p({"--link", link, "--store", store, "--nor-size", "1M", "--transcript",
               (tmp / "t.log").string()});
    ASSERT_FALSE(p.slave().empty());
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), p.slave());
    {
      Host h(link);
      h.send("fwd 0 0 1000 \n");
      h.xmodem(image);
    }
    {
      Host h(link);  // a new opening: same board, same flash
      h.send("hashq 3000 0 0 \n");
      EXPECT_EQ(h.read_n(6), "hashs ");
      EXPECT_EQ(h.read_n(32).size(), 32u);
    }
    EXPECT_EQ(p.stop(), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  Bytes file = slurp(store);
  ASSERT_EQ(file.size(), 1u << 20);
  EXPECT_EQ(Bytes(file.begin() + 0x1000, file.begin() + 0x1000 + 3000), image);
  EXPECT_EQ(file[0xFFF], 0xFF);
  EXPECT_EQ(file[0x1000 + 3000], 0xFF);
  std::string log = testsupport::read_text(tmp / "t.log");
  EXPECT_NE(log.find("rx \"fwd 0 0 1000 \""), std::string::npos);
  EXPECT_NE(log.find("host opened the port"), std::string::npos);
}

TEST(Program, NandStoreIsTheRawLayoutAfterStop) {
  TempDir tmp;
  std::string store = (tmp / "nand.bin").string();
  Bytes page(2052);
  for (size_t i = 0; i < page.size(); ++i) page[i] = uint8_t(i);
  {
    Program p({"--flash", "nand", "--store", store, "--bad-block", "30"});
    Host h(p.slave());
    h.send("sfwd 0 0 0x210000\n");
    h.xmodem(page);
    EXPECT_EQ(p.stop(), 0);
  }
  Bytes file = slurp(store);
  ASSERT_EQ(file.size(), boardsim::kNandRawSize);
  EXPECT_EQ(Bytes(file.begin() + 0x210000, file.begin() + 0x210000 + 2052), page);
  EXPECT_EQ(file[0x210000 + 2052], 0xFF);
  EXPECT_EQ(file[30 * boardsim::kNandBlockRaw + 2048], 0x00);  // factory mark
  EXPECT_EQ(std::count(file.begin(), file.end(), 0xFF),
            std::ptrdiff_t(boardsim::kNandRawSize - 2052 - 1 + std::count(page.begin(), page.end(), 0xFF)));
}

TEST(Program, WrongHostRateHearsNoOk) {
  Program p({"--no-complete"});
  Host h(p.slave());
  h.send("ucfg 2000000 0 0\n");
  std::string reply = h.read_n(2, 1500ms);
  EXPECT_EQ(reply.size(), 2u);
  EXPECT_NE(reply, "OK");
}

}  // namespace
