#include "manifest/manifest.h"

std::string manifest_header(const std::string& description) {
  return "<root>\r\n<key_disc name=\"" + description + "\">\r\n";
}

std::string manifest_record(const std::string& rel_dir, const std::string& name,
                            const std::string& size_text, const std::string& digest_text) {
  return "<key_file pathname=\"" + rel_dir + name + "\" length=\"" + size_text +
         "\" md5=\"" + digest_text + "\" />\r\n";
}

std::string manifest_footer() { return "</key_disc>\r\n</root>\r\n"; }

uint64_t write_piece(orv_io* io, const void* data, uint64_t size) {
  // Pieces of 1 GiB: far above any record, and a whole number of pages.
  const uint64_t kMostAtOnce = uint64_t{1} << 30;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  uint64_t done = 0;
  while (done < size) {
    const uint32_t part = static_cast<uint32_t>(size - done < kMostAtOnce ? size - done : kMostAtOnce);
    uint32_t written = 0;
    const bool whole = orv_write(bytes + done, part, &written, io);
    done += written;
    if (!whole) break;
  }
  return done;
}
