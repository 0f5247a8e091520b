#include "console/progress.h"

#include <stdint.h>

#include <gtest/gtest.h>

namespace {

TEST(ProgressTest, TheLineShowsWhatIsDoneOfTheTotals) {
  Progress progress;
  progress.files_total = 20000;
  progress.bytes_total = uint64_t{1} << 30;
  progress.files = 812;
  progress.bytes = 43200000;
  EXPECT_EQ("812/20000 files  41.2 MiB/1.0 GiB  4%  4.1 MiB/s  3:59 left",
            progress_text(progress, 10, 0));
  // Cut short of the terminal's last column, so that it never wraps.
  EXPECT_EQ("812/20000 files  41.2", progress_text(progress, 10, 22));
}

TEST(ProgressTest, AWalkOfUnknownSizeShowsWhatIsDone) {
  Progress progress;
  progress.files = 812;
  progress.bytes = 43200000;
  EXPECT_EQ("812 files  41.2 MiB  4.1 MiB/s", progress_text(progress, 10, 0));
}

TEST(ProgressTest, TheLargestTotalIsShownAsItIs) {
  // The sum of lengths near 2^64 stops there (compare.h).
  Progress progress;
  progress.files_total = 2;
  progress.bytes_total = UINT64_MAX;
  EXPECT_EQ("0/2 files  0 B/16.0 EiB  0%  --/s  --:-- left", progress_text(progress, 0, 0));
}

}  // namespace
