#include "tidewrite/failure_reason.h"

#include <cstdarg>
#include <cstdio>

namespace {

std::string g_reason;

}  // namespace

void note_failure(const char *fmt, ...) {
  if (!g_reason.empty()) return;
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  g_reason = buf;
}

const std::string &failure_reason() { return g_reason; }

void print_failure_reason() {
  if (g_reason.empty()) return;
  std::fprintf(stderr, "%s\n", g_reason.c_str());
  g_reason.clear();
}

void forget_failure_reason() { g_reason.clear(); }
