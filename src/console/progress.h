// The progress line of a check: files and bytes done against the
// manifest's totals, the share done, the rate and the time left, redrawn a
// few times a second on standard error.
#ifndef DISC_MANIFEST_CONSOLE_PROGRESS_H_
#define DISC_MANIFEST_CONSOLE_PROGRESS_H_

#include <stdint.h>

#include <atomic>
#include <string>

/// The work done so far, counted by whoever does it.
struct Progress {
  std::atomic<uint64_t> files{0};
  std::atomic<uint64_t> bytes{0};
  uint64_t files_total = 0;
  uint64_t bytes_total = 0;
};

/// The progress line for |progress| after |seconds| of work, such as
/// "812/20000 files  41.2 MiB/1.0 GiB  4%  98.1 MiB/s  0:10 left", cut to
/// one column less than |width| (79 characters when |width| is 0), so that
/// it never wraps. With no totals, "812 files  41.2 MiB  98.1 MiB/s".
std::string progress_text(const Progress& progress, double seconds, int width);

/// Starts drawing the progress line: now, and then every quarter of a
/// second until stop_progress.
void start_progress(const Progress* progress);

/// Stops drawing and erases the line.
void stop_progress();

#endif  // DISC_MANIFEST_CONSOLE_PROGRESS_H_
