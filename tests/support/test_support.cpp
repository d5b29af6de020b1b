#include "tests/support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "tidewrite-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

ScopedCwd::ScopedCwd(const fs::path &dir) : old_(fs::current_path()) { fs::current_path(dir); }
ScopedCwd::~ScopedCwd() {
  std::error_code ec;
  fs::current_path(old_, ec);
}

std::vector<uint8_t> read_file(const fs::path &path) {
  // One sized read: flash stores and images run to 132 MiB.
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::vector<uint8_t> data(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!in) throw std::runtime_error("short read of " + path.string());
  return data;
}

std::string read_text(const fs::path &path) {
  auto bytes = read_file(path);
  return {bytes.begin(), bytes.end()};
}

void write_file(const fs::path &path, const std::vector<uint8_t> &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void write_text(const fs::path &path, const std::string &text) {
  write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

namespace {

struct Fd {
  int fd = -1;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

}  // namespace

ProcessResult run_process(const std::vector<std::string> &argv, const ProcessOptions &opts) {
  ProcessResult res;
  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 ||
      pipe2(in_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  Fd out_r{out_pipe[0]}, out_w{out_pipe[1]}, err_r{err_pipe[0]}, err_w{err_pipe[1]};
  Fd in_r{in_pipe[0]}, in_w{in_pipe[1]};

  // Everything the child needs is prepared before fork: only async-signal-safe
  // calls happen in between fork and exec.
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_store;
  for (char **e = environ; *e; ++e) {
    std::string kv = *e;
    std::string key = kv.substr(0, kv.find('='));
    if (opts.env.count(key)) continue;
    env_store.push_back(kv);
  }
  for (const auto &[k, v] : opts.env)
    if (v) env_store.push_back(k + "=" + *v);
  std::vector<char *> envp;
  for (auto &s : env_store) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string cwd = opts.cwd.string();

  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // The program starts with the stop signals at their defaults, however
    // the test itself was started (a shell's background job ignores SIGINT).
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &dfl, nullptr);
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    dup2(in_r.fd, 0);
    dup2(out_w.fd, 1);
    dup2(opts.stderr_fd >= 0 ? opts.stderr_fd : err_w.fd, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  if (opts.on_start) opts.on_start(pid);
  in_r.reset();
  out_w.reset();
  err_w.reset();
  if (!opts.stdin_data.empty()) {
    ssize_t ignored = write(in_w.fd, opts.stdin_data.data(), opts.stdin_data.size());
    (void)ignored;
  }
  in_w.reset();

  auto deadline = start + opts.timeout;
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      res.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    int wait_ms =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
    pollfd fds[2] = {{out_r.fd, POLLIN, 0}, {err_r.fd, POLLIN, 0}};
    if (!out_open) fds[0].fd = -1;
    if (!err_open) fds[1].fd = -1;
    int n = poll(fds, 2, wait_ms);
    if (n < 0 && errno == EINTR) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        (i == 0 ? res.out : res.err).append(buf, static_cast<size_t>(got));
      } else {
        (i == 0 ? out_open : err_open) = false;
      }
    }
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(wstatus))
    res.status = WEXITSTATUS(wstatus);
  else if (WIFSIGNALED(wstatus))
    res.status = -WTERMSIG(wstatus);
  return res;
}

std::string escaped(const std::string &bytes) {
  std::ostringstream os;
  for (unsigned char c : bytes) {
    if (c == '\n')
      os << "\\n";
    else if (c == '\r')
      os << "\\r";
    else if (c == '\t')
      os << "\\t";
    else if (c == '\\')
      os << "\\\\";
    else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      os << hex;
    } else
      os << c;
  }
  return os.str();
}

}  // namespace testsupport
