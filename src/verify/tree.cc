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
#include "manifest/manifest.h"
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
  MD5_CTX context;             // started by the reader, fed by hashers
  uint32_t pieces_hashed = 0;  // of a file read in several pieces
  bool done = false;
};

// Files an open fails on that the manifest tool could never have recorded:
// gone since the listing, a dangling link or a loop of links, not a
// regular file.
bool never_recordable(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENXIO ||
         error == EISDIR;
}

// What the reader read of a file, in a chunk: a whole small file, or a
// piece of a large one.
struct Piece {
  Job* job;
  size_t at;
  size_t size;
  uint32_t index;  // the file's how-manieth piece
  bool last;
};

const size_t kChunkSize = 256 * 1024;

struct Chunk {
  std::unique_ptr<unsigned char[]> data{new unsigned char[kChunkSize]};
  size_t used = 0;
  std::vector<Piece> pieces;
};

// With N jobs, N threads read files and N threads hash them: with one, a
// file at a time is read, front to back in walk order, as a disc reads
// best, while the one before is hashed. Files are read into a few chunks,
// small files several to a chunk; a chunk is hashed by one thread, and
// the pieces of a large file in their order. The main thread walks, and
// takes each job into the comparison in walk order once it is done, so
// the report is the same for every N.
struct Pipeline {
  std::mutex lock;
  std::condition_variable job_to_read;  // or the end
  std::condition_variable chunk_filled;  // or the end
  std::condition_variable chunk_free;
  std::condition_variable piece_hashed;  // of a file in several pieces
  std::condition_variable front_done;
  std::deque<Job> jobs;
  uint64_t first = 0;         // the number of the front job
  uint64_t next_to_read = 0;  // the number of the first job not read
  std::vector<std::unique_ptr<Chunk>> chunks;
  std::vector<Chunk*> free_chunks;
  std::deque<Chunk*> filled;
  bool ending = false;
  std::vector<std::thread> readers;
  std::vector<std::thread> hashers;
};

TreeCheck* current = nullptr;
Pipeline* pipeline = nullptr;
// The jobs under way at most: bounds memory however fast the walk is.
const size_t kWindow = 512;

// With the lock held.
void mark_done(Job* job) {
  job->done = true;
  if (job == &pipeline->jobs.front()) pipeline->front_done.notify_one();
}

void hand_on(Chunk* chunk) {
  std::lock_guard<std::mutex> hold(pipeline->lock);
  pipeline->filled.push_back(chunk);
  pipeline->chunk_filled.notify_one();
}

Chunk* free_chunk() {
  std::unique_lock<std::mutex> hold(pipeline->lock);
  pipeline->chunk_free.wait(hold, [] { return !pipeline->free_chunks.empty(); });
  Chunk* chunk = pipeline->free_chunks.back();
  pipeline->free_chunks.pop_back();
  return chunk;
}

void done_unread(Job* job) {
  std::lock_guard<std::mutex> hold(pipeline->lock);
  mark_done(job);
}

// Reads the file of |job| into chunks, taking a new one into |*chunk|
// whenever it is full.
void read_file(Job* job, Chunk** chunk) {
  if (!job->problem.empty()) return done_unread(job);
  const std::string path = g_disc_root + job->pathname;
  orv_io* input = orv_open(path.c_str(), 1);
  if (input == nullptr) {
    job->error = errno;
    job->outcome = never_recordable(job->error) ? Job::kAbsent : Job::kUnreadable;
    return done_unread(job);
  }
  FileIdentity identity;
  if (current->leave_out_manifest && orv_identity(input, &identity) &&
      identity == current->manifest) {
    orv_close(input);
    job->outcome = Job::kManifestItself;
    return done_unread(job);
  }
  MD5Init(&job->context);
  for (uint32_t index = 0;; ++index) {
    if (*chunk == nullptr || (*chunk)->used == kChunkSize) {
      if (*chunk != nullptr) hand_on(*chunk);
      *chunk = free_chunk();
    }
    Chunk* c = *chunk;
    uint32_t count = 0;
    const ReadOn step = read_on(input, c->data.get() + c->used,
                                static_cast<uint32_t>(kChunkSize - c->used), &count, &job->error);
    if (step == ReadOn::kFailed) job->outcome = Job::kUnreadable;
    c->pieces.push_back(Piece{job, c->used, count, index, step != ReadOn::kMore});
    c->used += count;
    job->digest.length += count;
    if (step != ReadOn::kMore) break;
  }
  orv_close(input);
}

void read_files() {
  Chunk* chunk = nullptr;
  std::unique_lock<std::mutex> hold(pipeline->lock);
  for (;;) {
    if (pipeline->next_to_read == pipeline->first + pipeline->jobs.size()) {
      // Nothing to read for now: what is read goes on to the hashers
      // rather than wait for the chunk to fill.
      if (chunk != nullptr && !chunk->pieces.empty()) {
        pipeline->filled.push_back(chunk);
        pipeline->chunk_filled.notify_one();
        chunk = nullptr;
      }
      pipeline->job_to_read.wait(hold, [] {
        return pipeline->ending || pipeline->next_to_read < pipeline->first + pipeline->jobs.size();
      });
      if (pipeline->ending) break;
    }
    Job* job = &pipeline->jobs[static_cast<size_t>(pipeline->next_to_read++ - pipeline->first)];
    hold.unlock();
    read_file(job, &chunk);
    hold.lock();
  }
  if (chunk != nullptr) pipeline->free_chunks.push_back(chunk);
}

void hash_chunks() {
  std::unique_lock<std::mutex> hold(pipeline->lock);
  for (;;) {
    pipeline->chunk_filled.wait(hold, [] { return pipeline->ending || !pipeline->filled.empty(); });
    if (pipeline->filled.empty()) return;
    Chunk* chunk = pipeline->filled.front();
    pipeline->filled.pop_front();
    // Only the first piece of a chunk can go on with a file whose earlier
    // pieces another thread hashes: wait for them.
    const Piece& first = chunk->pieces.front();
    pipeline->piece_hashed.wait(hold, [&first] { return first.job->pieces_hashed == first.index; });
    hold.unlock();
    for (const Piece& piece : chunk->pieces) {
      MD5Update(&piece.job->context, chunk->data.get() + piece.at, static_cast<unsigned int>(piece.size));
      current->progress->bytes.fetch_add(piece.size, std::memory_order_relaxed);
      if (piece.last && piece.job->outcome == Job::kRead) MD5Final(piece.job->digest.md5, &piece.job->context);
    }
    hold.lock();
    for (const Piece& piece : chunk->pieces) {
      piece.job->pieces_hashed = piece.index + 1;
      if (piece.last) mark_done(piece.job);
    }
    if (!chunk->pieces.back().last) pipeline->piece_hashed.notify_all();
    chunk->used = 0;
    chunk->pieces.clear();
    pipeline->free_chunks.push_back(chunk);
    pipeline->chunk_free.notify_one();
  }
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
    case Job::kUnreadable: {
      const bool readable = job->outcome == Job::kRead;
      const Checked checked = check(current->comparison, job->pathname, readable, job->digest);
      // The progress counts the recorded files found, as the manifest does.
      if (checked == Checked::kJudged) current->progress->files.fetch_add(1, std::memory_order_relaxed);
      // Only when case is ignored can a walk find a pathname twice.
      if (checked == Checked::kRepeated) {
        problem("%s: differs only in case from a file found before; left out",
                native_path(g_disc_root + job->pathname).c_str());
        current->in_doubt = true;
      } else if (!readable) {
        problem("%s: %s", native_path(g_disc_root + job->pathname).c_str(), strerror(job->error));
      }
      break;
    }
  }
}

// Takes the done jobs at the front, a batch under one lock, waiting for
// them while more than |limit| jobs are under way (0: until all are
// taken).
void take_done(size_t limit) {
  static std::vector<Job> batch;
  std::unique_lock<std::mutex> hold(pipeline->lock);
  for (;;) {
    while (!pipeline->jobs.empty() && pipeline->jobs.front().done) {
      batch.push_back(std::move(pipeline->jobs.front()));
      pipeline->jobs.pop_front();
      ++pipeline->first;
    }
    if (!batch.empty()) {
      hold.unlock();
      for (Job& job : batch) take(&job);
      batch.clear();
      hold.lock();
      continue;
    }
    if (pipeline->jobs.size() <= limit) return;
    pipeline->front_done.wait(hold, [] { return pipeline->jobs.front().done; });
  }
}

// Jobs of the walk not yet handed to the readers: they go in batches, so
// that a reader is not woken for each file.
std::vector<Job> submitted;
const size_t kBatch = 64;

void hand_submitted() {
  {
    std::lock_guard<std::mutex> hold(pipeline->lock);
    for (Job& job : submitted) pipeline->jobs.push_back(std::move(job));
  }
  submitted.clear();
  pipeline->job_to_read.notify_all();
  take_done(kWindow);
}

void submit(Job job) {
  submitted.push_back(std::move(job));
  if (submitted.size() >= kBatch) hand_submitted();
}

// The folder a search |pattern| lists, as the system names it: the pattern
// without its separator and '*'. The root keeps its separator: "/" and
// "D:\" would name other folders without it.
std::string folder_of(const std::string& pattern) {
  const size_t end = pattern.size() - (pattern.size() == g_disc_root.size() + 1 ? 1 : 2);
  return native_path(pattern.substr(0, end));
}

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

void found_file(const std::string& rel_dir, const std::string& name, DWORD attributes) {
  // FIFOs, sockets, devices and links to nowhere are never opened.
  if (!recordable_name(name) || (attributes & FILE_ATTRIBUTE_DEVICE)) return;
  Job job;
  job.pathname = rel_dir + name;
  submit(std::move(job));
}

const WalkSteps kCheckingWalk = {nullptr, search_failed, nullptr, found_file, listing_failed};

}  // namespace

void check_tree(TreeCheck* check) {
  current = check;
  pipeline = new Pipeline();
  for (int i = 0; i < 3 * check->jobs + 1; ++i) {
    pipeline->chunks.emplace_back(new Chunk());
    pipeline->chunks.back()->pieces.reserve(64);
    pipeline->free_chunks.push_back(pipeline->chunks.back().get());
  }
  for (int i = 0; i < check->jobs; ++i) {
    pipeline->readers.push_back(start_thread(read_files));
    pipeline->hashers.push_back(start_thread(hash_chunks));
  }
  scan_folder(kCheckingWalk, "");
  hand_submitted();
  take_done(0);
  {
    std::lock_guard<std::mutex> hold(pipeline->lock);
    pipeline->ending = true;
  }
  pipeline->job_to_read.notify_all();
  pipeline->chunk_filled.notify_all();
  for (std::thread& reader : pipeline->readers) reader.join();
  for (std::thread& hasher : pipeline->hashers) hasher.join();
  delete pipeline;
  pipeline = nullptr;
  current = nullptr;
}
