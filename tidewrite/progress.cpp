#include "tidewrite/progress.h"

#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

bool real_is_terminal() { return isatty(STDERR_FILENO) == 1; }
progress_clock::time_point real_now() { return progress_clock::now(); }

progress_hooks g_hooks{real_is_terminal, real_now};

struct Step {
  bool running = false;
  const char *what = "";
  const char *unit = "";
  int64_t total = 0;
  int64_t done = 0;
  progress_clock::time_point start{};
  progress_clock::time_point last_draw{};
  size_t shown = 0;  // characters of the line now on the terminal (0: none)
};

Step g_step;

void put(const std::string &s) {
  std::fwrite(s.data(), 1, s.size(), stderr);
  std::fflush(stderr);
}

void draw(progress_clock::time_point now, bool finished) {
  // Whatever standard output holds goes first, so the two never mix on a
  // shared terminal.
  std::fflush(stdout);
  const double seconds = std::chrono::duration<double>(now - g_step.start).count();
  std::string line = progress_text(g_step.what, g_step.unit, g_step.done, g_step.total, seconds, finished);
  const size_t len = line.size();
  if (len < g_step.shown) line.append(g_step.shown - len, ' ');  // wipe the longer line before
  put("\r" + line);
  g_step.shown = len;
  g_step.last_draw = now;
}

std::string rate_text(const char *unit, double per_second) {
  char buf[32];
  if (std::string_view(unit) != "bytes") {
    std::snprintf(buf, sizeof buf, "%.1f %s/s", per_second, unit);
  } else if (per_second < 1024) {
    std::snprintf(buf, sizeof buf, "%.0f B/s", per_second);
  } else if (per_second < 1024 * 1024) {
    std::snprintf(buf, sizeof buf, "%.1f KiB/s", per_second / 1024);
  } else {
    std::snprintf(buf, sizeof buf, "%.2f MiB/s", per_second / (1024 * 1024));
  }
  return buf;
}

std::string duration_text(double seconds) {
  const long long s = static_cast<long long>(std::ceil(seconds));
  char buf[32];
  if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
  }
  return buf;
}

}  // namespace

void progress_set_hooks(const progress_hooks *hooks) { g_hooks = hooks != nullptr ? *hooks : progress_hooks{real_is_terminal, real_now}; }

std::string progress_text(const char *what, const char *unit, int64_t done, int64_t total, double seconds,
                          bool finished) {
  const int64_t shown_done = done < total ? done : total;
  const int percent = total > 0 ? static_cast<int>(shown_done * 100 / total) : 100;
  char head[160];
  std::snprintf(head, sizeof head, "%s %" PRId64 "/%" PRId64 " %s %3d%%", what, shown_done, total, unit, percent);
  std::string text = head;
  if (seconds <= 0 || done <= 0) return text;  // no rate to tell yet
  const double rate = static_cast<double>(done) / seconds;
  text += " " + rate_text(unit, rate);
  if (finished && done >= total) {
    text += " in " + duration_text(seconds);
  } else if (done < total) {
    text += " " + duration_text(static_cast<double>(total - done) / rate) + " left";
  }
  return text;
}

void progress_begin(const char *what, const char *unit, int64_t total) {
  g_step = Step{};
  if (total <= 0 || !g_hooks.stderr_is_terminal()) return;
  g_step.running = true;
  g_step.what = what;
  g_step.unit = unit;
  g_step.total = total;
  g_step.start = g_hooks.now();
  draw(g_step.start, false);
}

void progress_add(int64_t n) {
  if (!g_step.running) return;
  g_step.done += n;
  const auto now = g_hooks.now();
  if (now - g_step.last_draw >= kRedrawInterval) draw(now, false);
}

void progress_hide() {
  if (!g_step.running || g_step.shown == 0) return;
  put("\r" + std::string(g_step.shown, ' ') + "\r");
  g_step.shown = 0;
}

void progress_end() {
  if (!g_step.running) return;
  draw(g_hooks.now(), true);
  put("\n");
  g_step = Step{};
}
