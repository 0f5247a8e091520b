#include "fingerprint/fingerprint_file.h"

#include "console/trace.h"
#include "fingerprint/fingerprint.h"
#include "manifest/manifest.h"
#include "walk/run_values.h"

namespace {

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
    orv_close(input);
    return;
  }
  const std::string digest_text = orvm::bin2hex(digest.md5, 16);
  trace_flushed("The md5 is " + digest_text + "\n");
  const std::string size_text = numstr::ToStr(digest.length, 10, 0);
  write_piece(g_manifest_io, manifest_record(rel_dir, name, size_text, digest_text));
  orv_close(input);
}
