#include "walk/walk.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

namespace {

std::string told;

void file_step(void*, const std::string& rel_dir, const std::string& name, DWORD, const uint64_t* length) {
  told += rel_dir + name + "=" + (length != nullptr ? std::to_string(*length) : "-") + " ";
}

// A length the search has is handed on whether the walk asked for lengths
// or not (an image's listing holds them at no cost); one it lacks never is.
TEST(WalkTest, AFileStepHasTheLengthsTheSearchHas) {
  WIN32_FIND_DATAA known;
  memset(&known, 0, sizeof known);
  strcpy(known.cFileName, "known");
  known.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  known.nFileSizeHigh = 1;
  known.nFileSizeLow = 5;
  known.dwReserved0 = 1;
  WIN32_FIND_DATAA unknown = known;
  strcpy(unknown.cFileName, "unknown");
  unknown.dwReserved0 = 0;
  const std::string root = "/nowhere/";
  for (const bool lengths : {true, false}) {
    const WalkSteps steps = {nullptr, nullptr, nullptr, file_step, nullptr, nullptr, lengths, &root};
    told.clear();
    visit_entry(steps, "A\\", &known);
    visit_entry(steps, "A\\", &unknown);
    EXPECT_EQ("A\\known=4294967301 A\\unknown=- ", told) << "lengths asked: " << lengths;
  }
}

}  // namespace
