#include "verify/tree.h"

#include "console/console.h"
#include "fingerprint/hash_tree.h"
#include "image/image_tree.h"
#include "platform/orvlib.h"

void check_tree(const std::string& root, TreeCheck* tree) {
  TreeHashing hashing;
  hashing.jobs = tree->jobs;
  hashing.progress = tree->progress;
  if (tree->ready) {
    hashing.ready = tree->ready;
    // Room for the files read while the manifest is: a few thousand
    // pathnames and digests.
    hashing.window = 4096;
  }
  if (tree->leave_out_manifest) hashing.left_out = &tree->manifest;
  bool repeated = false;
  hashing.take = [tree, &root, &repeated](const HashedFile& file) {
    const Checked checked = check(tree->comparison, file.pathname, file.readable, file.digest);
    // The progress counts the recorded files found, as the manifest does.
    if (checked == Checked::kJudged) tree->progress->files.fetch_add(1, std::memory_order_relaxed);
    // Only when case is ignored can a walk find a pathname twice.
    if (checked == Checked::kRepeated) {
      problem("%s: differs only in case from a file found before; left out",
              native_path(root + file.pathname).c_str());
      repeated = true;
    }
  };
  hashing.take_left_out = [tree](const std::string& pathname) { leave_out(tree->comparison, pathname); };
  // In a rescued image, a folder that cannot be listed is most likely one
  // the rescue did not read: the files below it are there, unknown.
  if (!mounted_rescue_map().empty())
    hashing.take_unlisted = [tree](const std::string& folder) { unknown_below(tree->comparison, folder); };
  hash_tree(root, &hashing);
  tree->root_failed = hashing.root_failed;
  tree->root_error = hashing.root_error;
  tree->in_doubt = hashing.in_doubt || repeated;
}
