#include "verify/tree.h"

#include "verify/hash_tree.h"

void check_tree(TreeCheck* tree) {
  TreeHashing hashing;
  hashing.jobs = tree->jobs;
  hashing.progress = tree->progress;
  if (tree->leave_out_manifest) hashing.left_out = &tree->manifest;
  hashing.take = [tree](const HashedFile& file) {
    // The progress counts the recorded files found, as the manifest does.
    if (check(tree->comparison, file.pathname, file.readable, file.digest) == Checked::kJudged)
      tree->progress->files.fetch_add(1, std::memory_order_relaxed);
  };
  hashing.take_left_out = [tree](const std::string& pathname) { leave_out(tree->comparison, pathname); };
  hash_tree(&hashing);
  tree->root_failed = hashing.root_failed;
  tree->root_error = hashing.root_error;
  tree->in_doubt = hashing.in_doubt;
}
