#include "verify/report.h"

#include <stdio.h>

#include "console/console.h"

namespace {

bool quiet = false;

const char* word(Verdict verdict) {
  switch (verdict) {
    case Verdict::kOk: return "OK ";
    case Verdict::kChanged: return "CHANGED ";
    case Verdict::kUnreadable: return "UNREADABLE ";
    case Verdict::kMoved: return "MOVED ";
    case Verdict::kMissing: return "MISSING ";
    case Verdict::kNew: return "NEW ";
  }
  return "";
}

}  // namespace

void start_report(bool quiet_report) {
  quiet = quiet_report;
  start_console();
}

void report_line(Verdict verdict, std::string_view path, std::string_view moved_to) {
  if (quiet && verdict == Verdict::kOk) return;
  append_literal(word(verdict));
  append_shown(path);
  if (verdict == Verdict::kMoved) {
    append_literal(" -> ");
    append_shown(moved_to);
  }
  end_output_line();
}

void report_summary(const uint64_t counts[6]) {
  char line[256];
  snprintf(line, sizeof line,
           "Summary: %llu ok, %llu changed, %llu unreadable, %llu moved, %llu missing, %llu new\n",
           static_cast<unsigned long long>(counts[0]), static_cast<unsigned long long>(counts[1]),
           static_cast<unsigned long long>(counts[2]), static_cast<unsigned long long>(counts[3]),
           static_cast<unsigned long long>(counts[4]), static_cast<unsigned long long>(counts[5]));
  print_bytes(line);
}
