// disc-verify's report on standard output: a line for each file, and the
// summary line at its end.
#ifndef DISC_MANIFEST_VERIFY_REPORT_H_
#define DISC_MANIFEST_VERIFY_REPORT_H_

#include <stdint.h>

#include <string_view>

#include "verify/compare.h"

/// How the report is written: without OK lines when |quiet|; as JSON
/// Lines (console/json.h) when |json|: {"status":"OK","pathname":...},
/// MOVED with "moved_to", and the summary as {"status":"summary","ok":N,
/// "changed":N,"unreadable":N,"moved":N,"missing":N,"new":N}.
void start_report(bool quiet, bool json);

/// Writes one line of the report: "OK path", "MOVED old -> new", ...
void report_line(Verdict verdict, std::string_view path, std::string_view moved_to);

/// Writes the summary line, the report's last.
void report_summary(const uint64_t counts[6]);

#endif  // DISC_MANIFEST_VERIFY_REPORT_H_
