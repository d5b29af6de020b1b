// Offline NAND image (-G) of a firmware with 16 MiB of sections: wall time and
// peak resident memory of the programmer, beside the time dd needs to write
// the same 138,412,032 bytes to the same disk. Prints its figures; not a test.
//
//   generate_image_bench [DIR] [RUNS]   (DIR: where to write, default $TMPDIR or /tmp)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int64_t image_bytes = 138412032;
constexpr int section_bytes = 8 * 1024 * 1024;  // two firmware sections: 16 MiB

struct Run {
  double seconds = 0;
  long max_rss_kib = 0;
  int status = -1;
};

void put_le32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A firmware file with firmware_1 and firmware_2 present, 8 MiB each.
std::vector<uint8_t> make_firmware() {
  const size_t first = 0x10000;
  std::vector<uint8_t> fw(first + 2 * size_t{section_bytes}, 0xFF);
  const struct {
    size_t entry;
    uint8_t id0, id1;
  } sections[] = {{0x2060, 0xC7, 0xC1}, {0x2080, 0xC8, 0xB9}};
  for (size_t k = 0; k < 2; ++k) {
    const size_t start = first + k * section_bytes;
    put_le32(fw, sections[k].entry, static_cast<uint32_t>(start));
    put_le32(fw, sections[k].entry + 4, section_bytes);
    fw[sections[k].entry + 8] = sections[k].id0;
    fw[sections[k].entry + 9] = sections[k].id1;
    fw[sections[k].entry + 15] = 1;
    for (size_t i = 0; i < size_t{section_bytes}; ++i) fw[start + i] = static_cast<uint8_t>(i * 7 + k);
    fw[start] = 'Q';
    fw[start + 1] = 'M';
    fw[start + 2] = 'Z';
    for (size_t s = 0x20; s <= 0x100; s += 0x20) fw[start + s] = fw[start + s + 1] = 0;
    put_le32(fw, start + 0x2E0, section_bytes - 0x1000);
  }
  return fw;
}

void write_bytes(const fs::path &p, const std::vector<uint8_t> &b) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
}

Run run_child(const std::vector<std::string> &argv, const fs::path &cwd) {
  Run run;
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
      dup2(null_fd, 1);
      dup2(null_fd, 2);
    }
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  run.max_rss_kib = ru.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  const char *tmp = std::getenv("TMPDIR");
  const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::path(tmp ? tmp : "/tmp");
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const fs::path dir = base / ("generate_image_bench." + std::to_string(getpid()));
  fs::create_directories(dir);

  write_bytes(dir / "fw.bin", make_firmware());
  write_bytes(dir / "flash_control_info.bin", std::vector<uint8_t>(4096, 0x5A));
  write_bytes(dir / "boot_recover.bin", std::vector<uint8_t>(200000, 0xA5));
  const fs::path out = dir / "flash_nand_generate_image.bin";
  const fs::path dd_out = dir / "dd.bin";

  std::vector<double> gen_s, dd_s;
  long max_rss = 0;
  bool ok = true;
  // Each timed run starts with no dirty pages pending, so that neither pays
  // for the write-back of the run before it.
  auto settle = [&] {
    fs::remove(out);
    fs::remove(dd_out);
    sync();
  };
  for (int i = 0; i < runs; ++i) {
    settle();
    Run g = run_child({TIDEWRITE_BIN, "-p", "/dev/null", "-f", "fw.bin", "-b", "115200", "-G"}, dir);
    ok = ok && g.status == 0 && fs::file_size(out) == static_cast<uintmax_t>(image_bytes);
    gen_s.push_back(g.seconds);
    max_rss = std::max(max_rss, g.max_rss_kib);
    settle();
    Run d = run_child({"/bin/dd", "if=/dev/zero", "of=" + dd_out.string(), "bs=1M", "count=132"}, dir);
    ok = ok && d.status == 0 && fs::file_size(dd_out) == static_cast<uintmax_t>(image_bytes);
    dd_s.push_back(d.seconds);
  }
  fs::remove_all(dir);

  const double g = median(gen_s), d = median(dd_s);
  const double rss_mib = max_rss / 1024.0;
  const double rss_limit_mib = 1.2 * 132;
  printf("generate image (-G, 16 MiB of sections), %d runs in %s\n", runs, base.c_str());
  printf("  tidewrite -G wall time (median): %.3f s\n", g);
  printf("  dd of 138412032 bytes (median):  %.3f s\n", d);
  printf("  ratio: %.2f x dd (target <= 1.50)\n", g / d);
  printf("  peak resident memory: %.1f MiB (target < %.1f MiB)\n", rss_mib, rss_limit_mib);
  printf("  %s\n", !ok ? "RUN FAILED" : (g <= 1.5 * d && rss_mib < rss_limit_mib) ? "targets met" : "TARGETS MISSED");
  return ok ? 0 : 1;
}
