#include "fingerprint/fingerprint.h"

#include "app/console.h"
#include "app/run_state.h"
#include "manifest/manifest.h"
#include "platform/byte_order.h"
#include "platform/orvlib.h"

namespace {

// The two fields of the handle record the tool reads, at their fixed
// offsets: the size at bytes 8 to 15, the end-of-file flag at byte 16.
uint64_t file_size(const orv_io* io) {
  return load_le64(reinterpret_cast<const unsigned char*>(io) + 8);
}

bool at_end(const orv_io* io) {
  return reinterpret_cast<const unsigned char*>(io)[16] != 0;
}

// One file at a time, so one buffer serves them all and stays off the
// stack of a deep walk. Page alignment lets the kernel copy whole pages.
alignas(4096) unsigned char read_buffer[READ_CHUNK];

}  // namespace

void fingerprint_file(std::string rel_dir, std::string name) {
  const std::string path = g_disc_root + rel_dir + name;
  orv_io* input = orv_open(path.c_str(), 0);
  if (input == nullptr) {
    report("Unable to open %s\n", name.c_str());
    return;
  }

  MD5_CTX context;
  MD5Init(&context);
  uint32_t count = 0;
  if (!at_end(input)) {
    while (orv_read(read_buffer, READ_CHUNK, &count, input)) {
      MD5Update(&context, read_buffer, count);
      if (at_end(input)) break;
    }
  }
  if (!at_end(input)) {
    report("Unable to read %s\n", name.c_str());
    orv_close(input);
    return;
  }

  unsigned char digest[16];
  MD5Final(digest, &context);
  const std::string digest_text = orvm::bin2hex(digest, 16);
  trace_flushed("The md5 is " + digest_text + "\n");

  const std::string size_text = numstr::ToStr(file_size(input), 10, 0);
  const std::string record = manifest_record(rel_dir, name, size_text, digest_text);
  write_piece(g_manifest_io, record);
  orv_close(input);
}
