#include "station/report.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "station/table.h"

namespace station {

namespace fs = std::filesystem;

namespace {

struct JsonDeleter {
  void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

struct TextDeleter {
  void operator()(char *s) const { cJSON_free(s); }
};

double millis_rounded(double seconds) { return std::round(seconds * 1000.0) / 1000.0; }

void add_text_or_null(cJSON *obj, const char *name, const std::string &text) {
  if (text.empty()) cJSON_AddNullToObject(obj, name);
  else cJSON_AddStringToObject(obj, name, text.c_str());
}

cJSON *port_json(const PortStatus &p) {
  cJSON *o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "port", p.port.path.c_str());
  add_text_or_null(o, "device", p.port.device);
  add_text_or_null(o, "by_id", p.port.by_id);
  cJSON_AddStringToObject(o, "state", state_name(p.state));
  if (p.start_wall) {
    cJSON_AddStringToObject(o, "start", iso8601_utc(*p.start_wall).c_str());
    if (p.end_wall) {
      cJSON_AddStringToObject(o, "end", iso8601_utc(*p.end_wall).c_str());
      cJSON_AddNumberToObject(o, "duration",
                              millis_rounded(std::chrono::duration<double>(p.end - p.start).count()));
    } else {
      cJSON_AddNullToObject(o, "end");
      cJSON_AddNullToObject(o, "duration");
    }
  } else {
    cJSON_AddNullToObject(o, "start");
    cJSON_AddNullToObject(o, "end");
    cJSON_AddNullToObject(o, "duration");
  }
  if (p.exit_status) cJSON_AddNumberToObject(o, "exit_status", *p.exit_status);
  else cJSON_AddNullToObject(o, "exit_status");
  add_text_or_null(o, "signal", p.term_signal != 0 ? signal_name(p.term_signal) : std::string());
  cJSON_AddNumberToObject(o, "attempts", p.attempts);
  add_text_or_null(o, "outcome", p.outcome.value_or(""));
  add_text_or_null(o, "last_line", p.last_line);
  cJSON_AddStringToObject(o, "log", p.port.log_path.c_str());
  add_text_or_null(o, "error", p.error);
  return o;
}

std::string errno_text(const std::string &what, int err) { return what + ": " + std::strerror(err); }

}  // namespace

std::string iso8601_utc(WallClock::time_point t) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  long frac = static_cast<long>(ms % 1000);
  if (frac < 0) frac += 1000, --secs;
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char b[64];
  std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, frac);
  return b;
}

std::string report_json(const RunSummary &run, std::span<const PortStatus> ports) {
  Json root(cJSON_CreateObject());
  cJSON *r = root.get();
  cJSON_AddStringToObject(r, "tidewrite", run.tidewrite.c_str());
  cJSON *args = cJSON_AddArrayToObject(r, "arguments");
  for (const auto &a : run.tidewrite_args) cJSON_AddItemToArray(args, cJSON_CreateString(a.c_str()));
  cJSON_AddStringToObject(r, "start", iso8601_utc(run.start_wall).c_str());
  cJSON_AddStringToObject(r, "end", iso8601_utc(run.end_wall).c_str());
  cJSON_AddNumberToObject(r, "duration", millis_rounded(run.seconds));
  if (run.stop_signal != 0) {
    cJSON_AddStringToObject(r, "stopped_by", signal_name(run.stop_signal).c_str());
    cJSON_AddNullToObject(r, "exit_status");
  } else {
    cJSON_AddNullToObject(r, "stopped_by");
    cJSON_AddNumberToObject(r, "exit_status", run.exit_status);
  }

  cJSON *totals = cJSON_AddObjectToObject(r, "totals");
  cJSON_AddNumberToObject(totals, "ports", static_cast<double>(ports.size()));
  const std::pair<const char *, State> kinds[] = {{"ok", State::ok},
                                                  {"failed", State::failed},
                                                  {"interrupted", State::interrupted},
                                                  {"not_started", State::not_started}};
  for (const auto &[name, st] : kinds) {
    int n = 0;
    for (const auto &p : ports) n += p.state == st ? 1 : 0;
    cJSON_AddNumberToObject(totals, name, n);
  }

  cJSON *list = cJSON_AddArrayToObject(r, "ports");
  for (const auto &p : ports) cJSON_AddItemToArray(list, port_json(p));

  std::unique_ptr<char, TextDeleter> text(cJSON_Print(r));
  if (!text) return {};
  return std::string(text.get()) + "\n";
}

std::string write_file_atomically(const std::string &path, std::string_view text) {
  const fs::path target(path);
  fs::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::string tmpl = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return errno_text("cannot create a temporary file in " + dir.string(), errno);

  auto fail = [&](const std::string &what, int err) {
    ::close(fd);
    ::unlink(tmpl.c_str());
    return errno_text(what, err);
  };
  // mkostemp makes the file private; a report is for anyone who may read the folder.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd, 0666 & ~mask) != 0) return fail("cannot set the mode of " + tmpl, errno);
  for (size_t done = 0; done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("cannot write " + tmpl, n < 0 ? errno : EIO);
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return fail("cannot sync " + tmpl, errno);
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(tmpl.c_str());
    return errno_text("cannot close " + tmpl, err);
  }
  if (::rename(tmpl.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmpl.c_str());
    return errno_text("cannot rename " + tmpl + " to " + path, err);
  }
  if (int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); d >= 0) {
    ::fsync(d);
    ::close(d);
  }
  return {};
}

}  // namespace station
