// Fuzz target of the rescue map reader (GNU ddrescue's mapfile).
//
// The input is a mapfile's text. Oracles: nothing crashes, hangs or
// allocates by an unchecked number (the sanitizers and libFuzzer's
// limits); the rescued runs are in order, apart, never empty, and no
// more than the input's lines; and the two questions asked of a map,
// bytes_rescued and first_unrescued, agree at the runs' edges.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "image/rescue_map.h"

namespace {

void require(bool holds) {
  if (!holds) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RescueMap map;
  std::string why;
  const char* text = reinterpret_cast<const char*>(data);
  if (!parse_rescue_map(text, size, &map, &why)) {
    require(!why.empty());
    return 0;
  }
  size_t lines = 1;
  for (size_t i = 0; i < size; ++i) lines += text[i] == '\n';
  require(map.rescued.size() <= lines);
  for (size_t i = 0; i < map.rescued.size(); ++i) {
    const RescuedRun& run = map.rescued[i];
    require(run.start < run.end);
    if (i > 0) require(map.rescued[i - 1].end < run.start);
    require(bytes_rescued(map, run.start, run.end - run.start));
    require(!bytes_rescued(map, run.start, run.end - run.start + 1));
    if (run.start > 0) require(!bytes_rescued(map, run.start - 1, 1));
    uint64_t from = 0, to = 0;
    require(!first_unrescued(map, run.start, run.end, &from, &to));
    if (first_unrescued(map, run.end, UINT64_MAX, &from, &to)) {
      require(from == run.end);
      require(to > from);
      require(i + 1 == map.rescued.size() ? to == UINT64_MAX : to == map.rescued[i + 1].start);
    }
  }
  return 0;
}
