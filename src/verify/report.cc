#include "verify/report.h"

#include <stdio.h>

#include <string>
#include <utility>

#include "console/console.h"
#include "console/json.h"

namespace {

bool quiet = false;
bool json = false;

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

// The word of |verdict| alone, as the JSON status.
std::string_view status(Verdict verdict) {
  const std::string_view text = word(verdict);
  return text.substr(0, text.size() - 1);
}

}  // namespace

void start_report(bool quiet_report, bool json_report) {
  quiet = quiet_report;
  json = json_report;
  start_console();
}

void report_line(Verdict verdict, std::string_view path, std::string_view moved_to) {
  if (quiet && verdict == Verdict::kOk) return;
  if (json) {
    JsonObject line;
    json_field(&line, "status", status(verdict));
    json_field(&line, "pathname", path);
    if (verdict == Verdict::kMoved) json_field(&line, "moved_to", moved_to);
    print_line(json_text(std::move(line)));
    return;
  }
  append_literal(word(verdict));
  append_shown(path);
  if (verdict == Verdict::kMoved) {
    append_literal(" -> ");
    append_shown(moved_to);
  }
  end_output_line();
}

void report_summary(const uint64_t counts[6]) {
  if (json) {
    static const char* const kNames[6] = {"ok", "changed", "unreadable", "moved", "missing", "new"};
    JsonObject line;
    json_field(&line, "status", "summary");
    for (size_t i = 0; i < 6; ++i) json_field(&line, kNames[i], counts[i]);
    print_line(json_text(std::move(line)));
    return;
  }
  char line[256];
  snprintf(line, sizeof line,
           "Summary: %llu ok, %llu changed, %llu unreadable, %llu moved, %llu missing, %llu new\n",
           static_cast<unsigned long long>(counts[0]), static_cast<unsigned long long>(counts[1]),
           static_cast<unsigned long long>(counts[2]), static_cast<unsigned long long>(counts[3]),
           static_cast<unsigned long long>(counts[4]), static_cast<unsigned long long>(counts[5]));
  print_bytes(line);
}
