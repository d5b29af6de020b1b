// tidewrite-station against 1, 16 and 64 paced emulated boards (1.5 Mbaud,
// 1 ms turnaround, 512 KiB image, 32 KiB blocks): the station's wall time
// against one tidewrite run on one board alone, the throughput that gives,
// and the station's own CPU time (its children's not counted).
// The boards are served from this process; the station draws its live table
// on a pseudo-terminal, its costlier way of reporting.
// Usage: station_bench [N...] (default 1 16 64).
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/board.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kImageSize = 512 * 1024;

struct Child {
  int status = -1;
  double wall = 0;
  double cpu = 0;  // the process's own user + system time
};

// CPU seconds of a process that has ended but is not reaped yet.
double own_cpu_seconds(pid_t pid) {
  std::ifstream sched("/proc/" + std::to_string(pid) + "/schedstat");
  double ns = 0;
  if (sched >> ns) return ns / 1e9;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream rest(all.substr(all.rfind(')') + 2));
  std::vector<std::string> f;
  for (std::string w; rest >> w;) f.push_back(w);
  if (f.size() < 13) return -1;
  return (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Runs argv with stdout to /dev/null and stderr to err_fd (-1: /dev/null).
Child run(const std::vector<std::string> &words, int err_fd) {
  std::vector<char *> argv;
  for (const auto &w : words) argv.push_back(const_cast<char *>(w.c_str()));
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(err_fd >= 0 ? err_fd : null, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  Child c;
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  c.wall = std::chrono::duration<double>(Clock::now() - start).count();
  c.cpu = own_cpu_seconds(pid);
  int st = 0;
  waitpid(pid, &st, 0);
  c.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return c;
}

std::vector<std::unique_ptr<boardsim::PtyBoard>> make_boards(int n) {
  std::vector<std::unique_ptr<boardsim::PtyBoard>> boards;
  for (int i = 0; i < n; ++i) {
    boardsim::BoardConfig cfg;
    cfg.nor_size = 1u << 20;
    cfg.complete_store_on_stop = false;
    cfg.paced = true;
    cfg.turnaround_ms = 1;
    boards.push_back(std::make_unique<boardsim::PtyBoard>(cfg));
  }
  return boards;
}

int flashes_holding(const std::vector<std::unique_ptr<boardsim::PtyBoard>> &boards,
                    const std::vector<uint8_t> &image) {
  int n = 0;
  for (const auto &b : boards) n += b->read_flash(0, image.size()) == image ? 1 : 0;
  return n;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {1, 16, 64};

  // 64 boards hold a pseudo-terminal pair, a timer and a store each.
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);

  const fs::path dir = fs::temp_directory_path() / ("station_bench." + std::to_string(getpid()));
  fs::create_directories(dir);
  std::vector<uint8_t> image(kImageSize);
  std::mt19937 gen(7);
  for (auto &b : image) b = static_cast<uint8_t>(gen());
  const std::string image_path = (dir / "image.bin").string();
  std::ofstream(image_path, std::ios::binary).write(reinterpret_cast<const char *>(image.data()),
                                                    static_cast<std::streamsize>(image.size()));
  const std::vector<std::string> tw_args = {"-f", image_path, "-b", "1500000", "-x", "32"};

  std::printf("512 KiB image, 32 KiB blocks, boards paced at 1.5 Mbaud with 1 ms turnaround, %u cores\n",
              std::thread::hardware_concurrency());

  double single = 0;
  {
    auto boards = make_boards(1);
    std::vector<std::string> words = {TIDEWRITE_BIN, "-p", boards[0]->slave_path()};
    words.insert(words.end(), tw_args.begin(), tw_args.end());
    Child c = run(words, -1);
    single = c.wall;
    std::printf("one board alone (tidewrite):  %.3f s, status %d, flash %s\n", c.wall, c.status,
                flashes_holding(boards, image) == 1 ? "ok" : "WRONG");
  }

  // The station's table goes to a terminal of 200 x 80, read and dropped here.
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  grantpt(master);
  unlockpt(master);
  const std::string slave_name = ptsname(master);
  int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
  winsize ws{};
  ws.ws_col = 200;
  ws.ws_row = 80;
  ioctl(master, TIOCSWINSZ, &ws);
  std::atomic<bool> draining{true};
  std::atomic<long> table_bytes{0};
  std::thread drain([&] {
    char buf[65536];
    while (draining) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) table_bytes += n;
      }
    }
  });

  std::printf("%6s %10s %12s %14s %14s %8s\n", "boards", "wall s", "vs alone", "throughput x", "station CPU s",
              "CPU %");
  for (int n : counts) {
    auto boards = make_boards(n);
    std::vector<std::string> words = {TIDEWRITE_STATION_BIN, "--tidewrite", TIDEWRITE_BIN, "--log-dir",
                                      (dir / ("logs" + std::to_string(n))).string(), "--report",
                                      (dir / ("report" + std::to_string(n) + ".json")).string()};
    for (const auto &b : boards) words.push_back(b->slave_path());
    words.push_back("--");
    words.insert(words.end(), tw_args.begin(), tw_args.end());
    table_bytes = 0;
    Child c = run(words, slave);
    const int ok = flashes_holding(boards, image);
    std::printf("%6d %10.3f %11.3fx %14.1f %14.3f %7.2f%%   (status %d, %d/%d flashes hold the image, %ld table bytes)\n",
                n, c.wall, c.wall / single, n * single / c.wall, c.cpu, 100.0 * c.cpu / c.wall, c.status, ok, n,
                table_bytes.load());
    std::fflush(stdout);
  }
  draining = false;
  drain.join();
  close(slave);
  close(master);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
