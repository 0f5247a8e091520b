#include "verify/tree.h"

#include <errno.h>
#include <string.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/run_state.h"
#include "fingerprint/fingerprint.h"
#include "verify/report.h"
#include "walk/walk.h"

namespace {

// One piece of the walk, in walk order: a file to read, or a problem to
// report in its place among the files.
struct Job {
  std::string pathname;  // the file's, as a manifest records it
  std::string problem;   // a line for standard error instead of a file
  enum Outcome { kRead, kUnreadable, kAbsent, kManifestItself } outcome = kRead;
  FileDigest digest;
  int error = 0;
  bool done = false;
};

// Files an open fails on that the manifest tool could never have recorded:
// gone since the listing, a dangling link or a loop of links, not a
// regular file.
bool never_recordable(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENXIO ||
         error == EISDIR;
}

TreeCheck* current = nullptr;

void read_file(Job* job, unsigned char* buffer) {
  const std::string path = g_disc_root + job->pathname;
  orv_io* input = orv_open(path.c_str(), 0);
  if (input == nullptr) {
    job->error = errno;
    job->outcome = never_recordable(job->error) ? Job::kAbsent : Job::kUnreadable;
    return;
  }
  FileIdentity identity;
  if (current->leave_out_manifest && orv_identity(input, &identity) &&
      identity == current->manifest) {
    job->outcome = Job::kManifestItself;
  } else if (hash_to_end(input, buffer, &job->digest, &job->error, &current->progress->bytes)) {
    job->outcome = Job::kRead;
  } else {
    job->outcome = Job::kUnreadable;
  }
  orv_close(input);
}

// Takes a finished job into the comparison and the report. Main thread.
void take(Job* job) {
  if (!job->problem.empty()) {
    problem("%s", job->problem.c_str());
    current->in_doubt = true;
    return;
  }
  switch (job->outcome) {
    case Job::kAbsent:
      return;
    case Job::kManifestItself:
      leave_out(current->comparison, job->pathname);
      return;
    case Job::kRead:
      check(current->comparison, job->pathname, true, job->digest);
      break;
    case Job::kUnreadable:
      check(current->comparison, job->pathname, false, job->digest);
      problem("%s%s: %s", g_disc_root.c_str(), job->pathname.c_str(), strerror(job->error));
      break;
  }
  current->progress->files.fetch_add(1, std::memory_order_relaxed);
}

// The jobs under way when files are read by workers: a window of the walk,
// taken into the comparison from its front as each front job is done.
struct Pipeline {
  std::mutex lock;
  std::condition_variable work;   // a job to do, or the end
  std::condition_variable front;  // the front job is done
  std::deque<Job> jobs;
  uint64_t first = 0;       // the number of the front job
  uint64_t next_free = 0;   // the number of the first job nobody took
  bool ending = false;
  std::vector<std::thread> workers;
};

Pipeline* pipeline = nullptr;
const size_t kWindow = 512;

void work() {
  alignas(4096) static thread_local unsigned char buffer[READ_CHUNK];
  std::unique_lock<std::mutex> hold(pipeline->lock);
  for (;;) {
    pipeline->work.wait(hold, [] {
      return pipeline->ending || pipeline->next_free < pipeline->first + pipeline->jobs.size();
    });
    if (pipeline->next_free == pipeline->first + pipeline->jobs.size()) return;
    Job& job = pipeline->jobs[static_cast<size_t>(pipeline->next_free++ - pipeline->first)];
    hold.unlock();
    if (job.problem.empty()) read_file(&job, buffer);
    hold.lock();
    job.done = true;
    if (&job == &pipeline->jobs.front()) pipeline->front.notify_one();
  }
}

// Takes the done jobs at the front, waiting for them while more than
// |limit| jobs are under way (0: until all are taken).
void take_done(size_t limit) {
  std::unique_lock<std::mutex> hold(pipeline->lock);
  for (;;) {
    if (pipeline->jobs.empty()) return;
    if (!pipeline->jobs.front().done) {
      if (pipeline->jobs.size() <= limit) return;
      pipeline->front.wait(hold, [] { return pipeline->jobs.front().done; });
    }
    Job job = std::move(pipeline->jobs.front());
    pipeline->jobs.pop_front();
    ++pipeline->first;
    hold.unlock();
    take(&job);
    hold.lock();
  }
}

void submit(Job job) {
  if (pipeline == nullptr) {
    alignas(4096) static unsigned char buffer[READ_CHUNK];
    if (job.problem.empty()) read_file(&job, buffer);
    take(&job);
    return;
  }
  {
    // Problem jobs pass through a worker too: a job is only ever marked
    // done by the worker that took it.
    std::lock_guard<std::mutex> hold(pipeline->lock);
    pipeline->jobs.push_back(std::move(job));
  }
  pipeline->work.notify_one();
  take_done(kWindow);
}

std::string folder_of(const std::string& pattern) { return pattern.substr(0, pattern.size() - 1); }

// A link back into the folders above, and a folder with no entries, are no
// error: the manifest tool records nothing below them either; nor is a
// folder whose name holds a backslash, which it can never search.
bool search_error_matters(DWORD error) {
  return error != ERROR_CANT_RESOLVE_FILENAME && error != ERROR_FILE_NOT_FOUND &&
         error != ERROR_INVALID_NAME;
}

void search_failed(const std::string& pattern, DWORD error) {
  if (pattern == g_disc_root + "*") {
    if (error == ERROR_FILE_NOT_FOUND) return;  // an empty drive
    current->root_failed = true;
    current->root_error = error;
    return;
  }
  if (!search_error_matters(error)) return;
  Job job;
  job.problem = folder_of(pattern) + ": cannot search the folder: " + describe_search_error(error) +
                " (error " + std::to_string(error) + ")";
  submit(std::move(job));
}

void listing_failed(const std::string& pattern, DWORD error) {
  Job job;
  job.problem = folder_of(pattern) + ": the folder's listing stopped part-way: " +
                describe_search_error(error) + " (error " + std::to_string(error) + ")";
  submit(std::move(job));
}

void found_file(const std::string& rel_dir, const std::string& name) {
  if (!recordable_name(name)) return;
  Job job;
  job.pathname = rel_dir + name;
  submit(std::move(job));
}

const WalkSteps kCheckingWalk = {nullptr, search_failed, nullptr, found_file, listing_failed};

}  // namespace

void check_tree(TreeCheck* check) {
  current = check;
  if (check->jobs > 1) {
    pipeline = new Pipeline();
    for (int i = 0; i < check->jobs; ++i) pipeline->workers.emplace_back(work);
  }
  scan_folder(kCheckingWalk, "");
  if (pipeline != nullptr) {
    take_done(0);
    {
      std::lock_guard<std::mutex> hold(pipeline->lock);
      pipeline->ending = true;
    }
    pipeline->work.notify_all();
    for (std::thread& worker : pipeline->workers) worker.join();
    delete pipeline;
    pipeline = nullptr;
  }
  current = nullptr;
}
