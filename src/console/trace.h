// disc-manifest's console: the trace of its walk on standard output and
// its problem lines on standard error, kept in the order things happened.
//
// The manifest is the product and the trace only a view of the work: once
// a write to standard output fails (a pipe whose reader has gone, a full
// disk), the trace stops, the walk and the manifest go on, and the failure
// is reported once at the end.
#ifndef DISC_MANIFEST_CONSOLE_TRACE_H_
#define DISC_MANIFEST_CONSOLE_TRACE_H_

#include <string>

#if defined(__GNUC__)
#define DM_PRINTF_LIKE(format_index) __attribute__((format(printf, format_index, format_index + 1)))
#else
#define DM_PRINTF_LIKE(format_index)
#endif

/// Formatted printing of a trace line on standard output, unless the trace
/// has failed.
void trace(const char* format, ...) DM_PRINTF_LIKE(1);

/// Writes |text| on the standard output stream and flushes it (the prompts
/// and the digest line), unless the trace has failed.
void trace_flushed(const std::string& text);

/// Formatted printing of one line on standard error, after the trace
/// written so far has been flushed: a log that holds both streams then
/// reads in the order things happened.
void report(const char* format, ...) DM_PRINTF_LIKE(1);

/// From now on, trace and trace_flushed write nothing: a run from the
/// command line traces only when asked.
void hide_trace();

/// Writes out the trace so far, unless it has failed: a line on standard
/// error that does not go through report then follows it.
void flush_trace();

/// Flushes the trace. Returns 0, or the errno of the first write to
/// standard output that failed.
int finish_trace();

#endif  // DISC_MANIFEST_CONSOLE_TRACE_H_
