#include "fingerprint/fingerprint_file.h"

#include <errno.h>

#include "console/left_out.h"
#include "console/trace.h"
#include "fingerprint/fingerprint.h"
#include "image/image_tree.h"
#include "manifest/manifest.h"
#include "walk/run_values.h"

namespace {

// One file at a time, so one buffer serves them all and stays off the
// stack of a deep walk. Page alignment lets the kernel copy whole pages.
alignas(4096) unsigned char read_buffer[READ_CHUNK];

Progress* progress = nullptr;

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

void fingerprint_file(const std::string& rel_dir, const std::string& name) {
  const std::string path = g_disc_root + rel_dir + name;
  const bool recordable = recordable_name(name);
  errno = 0;
  orv_io* input = recordable ? orv_open(path.c_str(), 0) : nullptr;
  if (input == nullptr) {
    left_out_unopenable(rel_dir, name, recordable ? (errno != 0 ? errno : EIO) : 0);
    return;
  }
  if (is_the_manifest(input)) {
    orv_close(input);
    return;
  }
  FileDigest digest;
  int error = 0;
  if (!hash_to_end(input, read_buffer, &digest, &error, progress != nullptr ? &progress->bytes : nullptr)) {
    left_out_unreadable(rel_dir, name, error);
    // A rescued image's file: which sectors the rescue did not read.
    std::string unrescued;
    if (unrescued_sectors(path, &unrescued)) left_out_detail(unrescued);
    orv_close(input);
    return;
  }
  const std::string digest_text = orvm::bin2hex(digest.md5, 16);
  trace_flushed("The md5 is " + digest_text + "\n");
  const std::string size_text = numstr::ToStr(digest.length, 10, 0);
  write_piece(g_manifest_io, manifest_record(rel_dir, name, size_text, digest_text));
  orv_close(input);
  if (progress != nullptr) progress->files.fetch_add(1, std::memory_order_relaxed);
}

void count_fingerprints(Progress* counted) { progress = counted; }
