#include "fingerprint/fingerprint.h"

#include <errno.h>

#include "app/console.h"
#include "app/run_state.h"
#include "image/image_tree.h"
#include "manifest/manifest.h"
#include "platform/byte_order.h"

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

// |name| as a problem line shows it: a line feed, which only a name that
// cannot be recorded holds, as '?', so that the name keeps to its line.
std::string shown(std::string name) {
  for (char& c : name) {
    if (c == '\n') c = '?';
  }
  return name;
}

// Whether |input| is the manifest's own file, met in the tree it
// describes: a record of it, as far as it has been written, could never
// match.
bool is_the_manifest(const orv_io* input) {
  FileIdentity manifest;
  FileIdentity identity;
  return g_manifest_io != nullptr && orv_identity(g_manifest_io, &manifest) && orv_identity(input, &identity) &&
         identity == manifest;
}

}  // namespace

ReadOn read_on(orv_io* input, unsigned char* data, uint32_t size, uint32_t* count, int* error) {
  *count = 0;
  // A handle that reports its end at opening is never read.
  if (at_end(input)) return ReadOn::kEnd;
  errno = 0;
  if (!orv_read(data, size, count, input)) {
    *error = errno != 0 ? errno : EIO;
    return ReadOn::kFailed;
  }
  return at_end(input) ? ReadOn::kEnd : ReadOn::kMore;
}

bool hash_to_end(orv_io* input, unsigned char* buffer, FileDigest* digest, int* error) {
  MD5_CTX context;
  MD5Init(&context);
  for (;;) {
    uint32_t count = 0;
    const ReadOn step = read_on(input, buffer, READ_CHUNK, &count, error);
    // The bytes of a failed read are not fed; a count of 0 is.
    if (step == ReadOn::kFailed) return false;
    MD5Update(&context, buffer, count);
    if (step == ReadOn::kEnd) break;
  }
  MD5Final(digest->md5, &context);
  // Once the end is reached, the size is the number of bytes hashed.
  digest->length = file_size(input);
  return true;
}

void fingerprint_file(const std::string& rel_dir, const std::string& name) {
  const std::string path = g_disc_root + rel_dir + name;
  orv_io* input = recordable_name(name) ? orv_open(path.c_str(), 0) : nullptr;
  if (input == nullptr) {
    report("Unable to open %s\n", shown(name).c_str());
    return;
  }
  if (is_the_manifest(input)) {
    orv_close(input);
    return;
  }
  FileDigest digest;
  int error = 0;
  if (!hash_to_end(input, read_buffer, &digest, &error)) {
    report("Unable to read %s\n", name.c_str());
    // A rescued image's file: which sectors the rescue did not read.
    std::string unrescued;
    if (unrescued_sectors(path, &unrescued)) report("disc-manifest: %s\n", unrescued.c_str());
    orv_close(input);
    return;
  }
  const std::string digest_text = orvm::bin2hex(digest.md5, 16);
  trace_flushed("The md5 is " + digest_text + "\n");
  const std::string size_text = numstr::ToStr(digest.length, 10, 0);
  write_piece(g_manifest_io, manifest_record(rel_dir, name, size_text, digest_text));
  orv_close(input);
}
