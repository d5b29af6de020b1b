#include "station/table.h"

#include <string.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace station {

namespace {

constexpr int kStateWidth = 11;  // "not started", "interrupted"
constexpr int kTimeWidth = 7;    // "9999.9s"
constexpr int kMinLastLine = 10;
constexpr size_t kOutcomeWidth = 21;

double seconds_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string pad(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

// Keeps the end, where port names differ (/dev/serial/by-id/...-port0).
std::string cut_left(const std::string &s, size_t width) {
  if (s.size() <= width) return s;
  if (width <= 3) return s.substr(s.size() - width);
  return "..." + s.substr(s.size() - (width - 3));
}

std::string cut_right(const std::string &s, size_t width) {
  if (s.size() <= width) return s;
  if (width <= 3) return s.substr(0, width);
  return s.substr(0, width - 3) + "...";
}

std::string elapsed_text(const PortStatus &p, Clock::time_point now) {
  if (!p.start_wall) return {};
  double s = seconds_between(p.start, p.state == State::running ? now : p.end);
  char b[32];
  std::snprintf(b, sizeof b, "%.1fs", std::max(0.0, s));
  return b;
}

std::string state_text(const PortStatus &p) {
  std::string s = state_name(p.state);
  if (p.state == State::running && p.attempts > 1) s += " #" + std::to_string(p.attempts);
  return s;
}

int rank(State s) {
  switch (s) {
    case State::failed:
    case State::interrupted:
    case State::not_started: return 0;
    case State::running: return 1;
    case State::waiting: return 2;
    case State::ok: return 3;
  }
  return 3;
}

}  // namespace

const char *state_name(State state) {
  switch (state) {
    case State::waiting: return "waiting";
    case State::running: return "running";
    case State::ok: return "ok";
    case State::failed: return "failed";
    case State::interrupted: return "interrupted";
    case State::not_started: return "not started";
  }
  return "?";
}

std::string signal_name(int sig) {
  if (const char *abbrev = sigabbrev_np(sig)) return std::string("SIG") + abbrev;
  return "signal " + std::to_string(sig);
}

std::string totals_text(std::span<const PortStatus> ports) {
  static constexpr std::array kOrder = {State::ok,          State::failed,  State::interrupted,
                                        State::not_started, State::running, State::waiting};
  std::string s;
  for (State st : kOrder) {
    auto n = std::count_if(ports.begin(), ports.end(), [st](const PortStatus &p) { return p.state == st; });
    if (n == 0) continue;
    if (!s.empty()) s += ", ";
    s += std::to_string(n) + " " + state_name(st);
  }
  return s;
}

std::vector<std::string> table_lines(std::span<const PortStatus> ports, Clock::time_point now,
                                     double run_seconds, Screen screen) {
  const size_t width = static_cast<size_t>(std::max(screen.width, 20) - 1);

  // Column widths stay put from frame to frame: the port column fits the
  // longest port (up to a quarter of the width, so that 80 columns keep both
  // text columns), the outcome column "nand download success".
  size_t port_w = 4;
  for (const auto &p : ports) port_w = std::max(port_w, p.port.path.size());
  port_w = std::min(port_w, std::max<size_t>(12, width / 4));
  const size_t outcome_w = kOutcomeWidth;
  size_t fixed = port_w + 2 + kStateWidth + 2 + kTimeWidth + 2;
  bool show_outcome = true;
  size_t line_w = 0;
  if (width >= fixed + kMinLastLine + 2 + outcome_w) {
    line_w = width - fixed - 2 - outcome_w;
  } else if (width >= fixed + kMinLastLine) {
    show_outcome = false;
    line_w = width - fixed;
  } else {
    show_outcome = false;
  }

  auto row = [&](const std::string &port, const std::string &state, const std::string &time,
                 const std::string &last, const std::string &outcome) {
    std::string r = pad(cut_left(port, port_w), port_w) + "  " + pad(state, kStateWidth) + "  ";
    r += std::string(kTimeWidth - std::min<size_t>(kTimeWidth, time.size()), ' ') + time;
    if (line_w > 0) r += "  " + pad(cut_right(last, line_w), show_outcome ? line_w : 0);
    if (show_outcome) r += "  " + cut_right(outcome, outcome_w);
    while (!r.empty() && r.back() == ' ') r.pop_back();
    return cut_right(r, width);
  };

  // Rows that fit: heading and totals take two lines, and the cursor one.
  const size_t room = static_cast<size_t>(std::max(screen.height - 3, 1));
  std::vector<size_t> shown(ports.size());
  for (size_t i = 0; i < shown.size(); ++i) shown[i] = i;
  std::vector<size_t> hidden;
  if (ports.size() > room) {
    std::stable_sort(shown.begin(), shown.end(),
                     [&](size_t a, size_t b) { return rank(ports[a].state) < rank(ports[b].state); });
    hidden.assign(shown.begin() + static_cast<long>(room - 1), shown.end());
    shown.resize(room - 1);
    std::sort(shown.begin(), shown.end());
  }

  std::vector<std::string> lines;
  lines.push_back(row("PORT", "STATE", "TIME", "LAST LINE", "OUTCOME"));
  for (size_t i : shown) {
    const auto &p = ports[i];
    // A port that never ran has no line of its own: its reason stands there.
    const std::string &last = p.last_line.empty() ? p.error : p.last_line;
    lines.push_back(row(p.port.path, state_text(p), elapsed_text(p, now), last, p.outcome.value_or("")));
  }
  if (!hidden.empty()) {
    std::vector<PortStatus> rest;
    for (size_t i : hidden) rest.push_back(ports[i]);
    lines.push_back(cut_right("... " + std::to_string(hidden.size()) + " more: " + totals_text(rest), width));
  }
  char took[32];
  std::snprintf(took, sizeof took, "%.1f s", run_seconds);
  lines.push_back(cut_right(std::to_string(ports.size()) + (ports.size() == 1 ? " port: " : " ports: ") +
                                totals_text(ports) + "; " + took,
                            width));
  return lines;
}

std::string frame_bytes(int previous_lines, const std::vector<std::string> &lines) {
  std::string out;
  if (previous_lines > 0) out += "\r\x1b[" + std::to_string(previous_lines) + "A";
  for (const auto &l : lines) out += l + "\x1b[K\n";
  out += "\x1b[J";
  return out;
}

namespace {

std::string ending(const PortStatus &p) {
  if (p.term_signal != 0) return "killed by " + signal_name(p.term_signal);
  if (p.exit_status) return "exit status " + std::to_string(*p.exit_status);
  return {};
}

}  // namespace

std::string finish_line(const PortStatus &p) {
  std::string s = p.port.path + ": " + state_name(p.state);
  if (p.start_wall) {
    char b[48];
    std::snprintf(b, sizeof b, " in %.1f s", std::max(0.0, seconds_between(p.start, p.end)));
    s += b;
  }
  if (p.attempts > 1) s += " (" + std::to_string(p.attempts) + " attempts)";
  if (p.state != State::ok) {
    if (auto e = ending(p); !e.empty()) s += ", " + e;
  }
  if (!p.error.empty()) s += ", " + p.error;
  if (p.outcome) s += ": " + *p.outcome;
  if (p.state != State::ok && !p.last_line.empty() && p.last_line != p.outcome.value_or(""))
    s += (p.outcome ? "; last line: " : ": last line: ") + p.last_line;
  return s;
}

std::string retry_line(const PortStatus &p, int next, int total) {
  std::string s = p.port.path + ": attempt " + std::to_string(next - 1) + " failed";
  if (auto e = ending(p); !e.empty()) s += " (" + e + ")";
  if (!p.error.empty()) s += ", " + p.error;
  return s + "; attempt " + std::to_string(next) + " of " + std::to_string(total) + " starts";
}

}  // namespace station
