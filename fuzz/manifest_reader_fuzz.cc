// Fuzz target of the manifest reader and the comparison.
//
// The first two bytes set the reader's chunk and longest line small, so
// that short inputs reach its edges; the rest is read as a manifest. Three
// oracles: every record read, written back as the writer writes it, is
// read back exactly; a manifest compared with itself is all OK; and a
// manifest read without a problem, written back with its layout, gives
// the same bytes.

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "manifest/layout.h"
#include "manifest/manifest.h"
#include "manifest/manifest_reader.h"
#include "platform/orvlib.h"
#include "verify/compare.h"

namespace {

void require(bool holds) {
  if (!holds) abort();
}

// Reads |text| whole, handing each record to |take|. Reading must end,
// with at most a step a line and one more.
template <typename Take>
void read_all(const std::string& text, size_t chunk, size_t longest, Take take) {
  ManifestReader reader;
  start_reading(&reader, text.data(), text.size());
  reader.chunk = chunk;
  reader.longest_line = longest;
  size_t steps = 0;
  for (;;) {
    const ManifestStep step = read_manifest(&reader);
    if (step == ManifestStep::kEnd) break;
    require(++steps <= text.size() + 2);
    if (step == ManifestStep::kRecord) take(reader.record);
  }
  require(read_manifest(&reader) == ManifestStep::kEnd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t chunk = 1 + data[0] % 61;
  const size_t longest = 1 + data[1] % 251;
  const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);

  // A layout kept in a catalog may be damaged: read as one, any bytes are
  // refused or write a manifest that reads back.
  ManifestLayout kept;
  if (decode_layout(text, &kept)) {
    std::string written;
    LayoutPlace place;
    append_header(kept, &place, "d", &written);
    const unsigned char md5[16] = {};
    for (int i = 0; i < 3; ++i) append_record(kept, &place, "a", 1, md5, &written);
    append_footer(kept, &place, &written);
    ManifestReader again;
    start_reading(&again, written.data(), written.size());
    int steps = 0;
    for (ManifestStep step; (step = read_manifest(&again)) != ManifestStep::kEnd; ++steps) require(steps < 10);
  }

  Comparison comparison;
  size_t records = 0;
  read_all(text, chunk, longest, [&](const ManifestRecord& record) {
    require(!record.pathname.empty());
    require(record.pathname.find('\n') == std::string_view::npos);
    const std::string line = manifest_record("", std::string(record.pathname),
                                             numstr::ToStr(record.length, 10, 0),
                                             orvm::bin2hex(record.md5, 16));
    ManifestRecord again;
    require(parse_record(std::string_view(line).substr(0, line.size() - 2), &again) == RecordFault::kNone);
    require(again.pathname == record.pathname && again.length == record.length &&
            memcmp(again.md5, record.md5, 16) == 0);
    expect(&comparison, record, ++records);
  });
  const size_t expected = records - index_records(&comparison).size();

  read_all(text, chunk, longest, [&](const ManifestRecord& record) {
    FileDigest digest;
    digest.length = record.length;
    memcpy(digest.md5, record.md5, 16);
    check(&comparison, record.pathname, true, digest);
  });
  finish(&comparison);
  require(comparison.counts[static_cast<int>(Verdict::kOk)] == expected);
  for (int verdict = 1; verdict < 6; ++verdict) require(comparison.counts[verdict] == 0);

  ManifestReader reader;
  start_reading(&reader, text.data(), text.size());
  reader.chunk = chunk;
  reader.longest_line = longest;
  ManifestLayout layout;
  reader.layout = &layout;
  std::vector<ManifestRecord> records_read;
  std::vector<std::string> names;
  for (;;) {
    const ManifestStep step = read_manifest(&reader);
    if (step == ManifestStep::kEnd) break;
    if (step != ManifestStep::kRecord) return 0;
    records_read.push_back(reader.record);
    names.emplace_back(reader.record.pathname);
  }
  if (reader.description_cut) return 0;
  ManifestLayout stored;
  require(decode_layout(encode_layout(layout), &stored));
  for (const ManifestLayout* written_with : {&layout, &stored}) {
    std::string written;
    LayoutPlace place;
    append_header(*written_with, &place, reader.description, &written);
    for (size_t i = 0; i < records_read.size(); ++i) {
      append_record(*written_with, &place, names[i], records_read[i].length, records_read[i].md5, &written);
    }
    append_footer(*written_with, &place, &written);
    require(written == text);
  }
  return 0;
}
