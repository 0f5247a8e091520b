#include "fingerprint/hash_tree.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "fingerprint/fingerprint.h"
#include "image/image_tree.h"
#include "manifest/manifest.h"
#include "walk/walk.h"

namespace {

// One piece of the walk, in walk order: a file to read, or a problem to
// report in its place among the files.
struct Job {
  std::string pathname;  // the file's, as a manifest records it
  std::string problem;   // a line for standard error instead of a file
  std::string unlisted;  // with |problem|: the folder that could not be listed
  enum Outcome { kRead, kUnreadable, kAbsent, kLeftOut } outcome = kRead;
  FileDigest digest;
  int error = 0;
  bool length_known = false;   // the listing gave digest.length
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
  TreeHashing* hashing = nullptr;
  std::string root;  // the folder walked, with its separator
  // Jobs of the walk not yet handed to the readers: they go in batches,
  // so that a reader is not woken for each file. Main thread.
  std::vector<Job> submitted;
  std::vector<Job> batch;  // done jobs being taken
  // Jobs taken by a reader and not yet opened. Two files of one path (a
  // disc's entries of one name) are opened in walk order: the order of
  // the opens of a path tells which entry each is (virtual_tree.h).
  std::vector<const Job*> opening;
  std::condition_variable job_opened;
  bool ready = false;  // hashing->ready said so, or there is none. Main thread.
};

const size_t kBatch = 64;

// With the lock held. The taker is woken by the caller, once for all the
// jobs it marks: a chunk of small files then wakes it once, not once a
// file.
void mark_done(Job* job) { job->done = true; }

// With the lock held.
void wake_taker(Pipeline* p) {
  if (!p->jobs.empty() && p->jobs.front().done) p->front_done.notify_one();
}

void hand_on(Pipeline* p, Chunk* chunk) {
  std::lock_guard<std::mutex> hold(p->lock);
  p->filled.push_back(chunk);
  p->chunk_filled.notify_one();
}

Chunk* free_chunk(Pipeline* p) {
  std::unique_lock<std::mutex> hold(p->lock);
  p->chunk_free.wait(hold, [p] { return !p->free_chunks.empty(); });
  Chunk* chunk = p->free_chunks.back();
  p->free_chunks.pop_back();
  return chunk;
}

void done_unread(Pipeline* p, Job* job) {
  std::lock_guard<std::mutex> hold(p->lock);
  mark_done(job);
  wake_taker(p);
}

// Reads the file of |job| into chunks, taking a new one into |*chunk|
// whenever it is full.
void read_file(Pipeline* p, Job* job, Chunk** chunk) {
  if (!job->problem.empty()) return done_unread(p, job);
  const std::string path = p->root + job->pathname;
  orv_io* input = orv_open(path.c_str(), 1);
  {
    std::lock_guard<std::mutex> hold(p->lock);
    p->opening.erase(std::find(p->opening.begin(), p->opening.end(), job));
    p->job_opened.notify_all();
  }
  if (input == nullptr) {
    job->error = errno;
    job->outcome = never_recordable(job->error) ? Job::kAbsent : Job::kUnreadable;
    return done_unread(p, job);
  }
  FileIdentity identity;
  if (p->hashing->left_out != nullptr && orv_identity(input, &identity) &&
      identity == *p->hashing->left_out) {
    orv_close(input);
    job->outcome = Job::kLeftOut;
    return done_unread(p, job);
  }
  MD5Init(&job->context);
  // What was read is the length, whatever the listing said.
  job->digest.length = 0;
  for (uint32_t index = 0;; ++index) {
    if (*chunk == nullptr || (*chunk)->used == kChunkSize) {
      if (*chunk != nullptr) hand_on(p, *chunk);
      *chunk = free_chunk(p);
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

void read_files(Pipeline* p) {
  Chunk* chunk = nullptr;
  std::unique_lock<std::mutex> hold(p->lock);
  for (;;) {
    if (p->next_to_read == p->first + p->jobs.size()) {
      // Nothing to read for now: what is read goes on to the hashers
      // rather than wait for the chunk to fill.
      if (chunk != nullptr && !chunk->pieces.empty()) {
        p->filled.push_back(chunk);
        p->chunk_filled.notify_one();
        chunk = nullptr;
      }
      p->job_to_read.wait(hold, [p] { return p->ending || p->next_to_read < p->first + p->jobs.size(); });
      if (p->ending) break;
    }
    Job* job = &p->jobs[static_cast<size_t>(p->next_to_read++ - p->first)];
    if (job->problem.empty()) {
      p->job_opened.wait(hold, [p, job] {
        for (const Job* other : p->opening)
          if (other->pathname == job->pathname) return false;
        return true;
      });
      p->opening.push_back(job);
    }
    hold.unlock();
    read_file(p, job, &chunk);
    hold.lock();
  }
  if (chunk != nullptr) p->free_chunks.push_back(chunk);
}

void hash_chunks(Pipeline* p) {
  std::unique_lock<std::mutex> hold(p->lock);
  for (;;) {
    p->chunk_filled.wait(hold, [p] { return p->ending || !p->filled.empty(); });
    if (p->filled.empty()) return;
    Chunk* chunk = p->filled.front();
    p->filled.pop_front();
    // Only the first piece of a chunk can go on with a file whose earlier
    // pieces another thread hashes: wait for them.
    const Piece& first = chunk->pieces.front();
    p->piece_hashed.wait(hold, [&first] { return first.job->pieces_hashed == first.index; });
    hold.unlock();
    for (const Piece& piece : chunk->pieces) {
      MD5Update(&piece.job->context, chunk->data.get() + piece.at, static_cast<unsigned int>(piece.size));
      if (p->hashing->progress != nullptr)
        p->hashing->progress->bytes.fetch_add(piece.size, std::memory_order_relaxed);
      if (piece.last && piece.job->outcome == Job::kRead) MD5Final(piece.job->digest.md5, &piece.job->context);
    }
    hold.lock();
    for (const Piece& piece : chunk->pieces) {
      piece.job->pieces_hashed = piece.index + 1;
      if (piece.last) mark_done(piece.job);
    }
    wake_taker(p);
    if (!chunk->pieces.back().last) p->piece_hashed.notify_all();
    chunk->used = 0;
    chunk->pieces.clear();
    p->free_chunks.push_back(chunk);
    p->chunk_free.notify_one();
  }
}

// Hands a finished job over. Main thread.
void take(Pipeline* p, Job* job) {
  TreeHashing* hashing = p->hashing;
  if (!p->ready) p->ready = hashing->ready(true);
  if (!job->problem.empty()) {
    problem("%s", job->problem.c_str());
    hashing->in_doubt = true;
    if (!job->unlisted.empty() && hashing->take_unlisted) hashing->take_unlisted(job->unlisted);
    return;
  }
  switch (job->outcome) {
    case Job::kAbsent:
      return;
    case Job::kLeftOut:
      if (hashing->take_left_out) hashing->take_left_out(job->pathname);
      return;
    case Job::kRead:
    case Job::kUnreadable: {
      HashedFile file;
      file.pathname = std::move(job->pathname);
      file.readable = job->outcome == Job::kRead;
      file.hashed = file.readable && p->hashing->hash;
      file.digest = job->digest;
      file.error = job->error;
      // A rescued image's file says which sectors the rescue did not read.
      std::string unrescued;
      if (!file.readable && unrescued_sectors(p->root + file.pathname, &unrescued)) {
        problem("%s", unrescued.c_str());
      } else if (!file.readable) {
        problem("%s: %s", native_path(p->root + file.pathname).c_str(), strerror(file.error));
      }
      if (hashing->take) hashing->take(file);
      break;
    }
  }
}

// Takes the done jobs at the front, a batch under one lock, waiting for
// them while more than |limit| jobs are under way (0: until all are
// taken).
void take_done(Pipeline* p, size_t limit) {
  std::unique_lock<std::mutex> hold(p->lock);
  // Nothing is taken before the caller is ready, unless the walk would
  // have to wait for it anyway.
  if (!p->ready && p->jobs.size() <= limit) {
    hold.unlock();
    if (!p->hashing->ready(false)) return;
    p->ready = true;
    hold.lock();
  }
  for (;;) {
    while (!p->jobs.empty() && p->jobs.front().done) {
      p->batch.push_back(std::move(p->jobs.front()));
      p->jobs.pop_front();
      ++p->first;
    }
    if (!p->batch.empty()) {
      hold.unlock();
      for (Job& job : p->batch) take(p, &job);
      p->batch.clear();
      hold.lock();
      continue;
    }
    if (p->jobs.size() <= limit) return;
    p->front_done.wait(hold, [p] { return p->jobs.front().done; });
  }
}

void hand_submitted(Pipeline* p) {
  {
    std::lock_guard<std::mutex> hold(p->lock);
    for (Job& job : p->submitted) p->jobs.push_back(std::move(job));
  }
  p->submitted.clear();
  p->job_to_read.notify_all();
  take_done(p, p->hashing->window);
}

// Asks the length of the file of |job|, which is not read.
void find_length(const Pipeline& p, Job* job) {
  if (!job->problem.empty() || job->length_known) return;
  if (!orv_file_length((p.root + job->pathname).c_str(), &job->digest.length)) {
    job->error = errno;
    job->outcome = never_recordable(job->error) ? Job::kAbsent : Job::kUnreadable;
  }
}

void submit(Pipeline* p, Job job) {
  if (!p->hashing->hash) {
    // Nothing is read: each file is taken as the walk meets it, on the
    // walk's own thread.
    find_length(*p, &job);
    take(p, &job);
    return;
  }
  p->submitted.push_back(std::move(job));
  if (p->submitted.size() >= kBatch) hand_submitted(p);
}

// The folder a search |pattern| lists, as the system names it: the pattern
// without its separator and '*'. The root keeps its separator: "/" and
// "D:\" would name other folders without it.
std::string folder_of(const Pipeline& p, const std::string& pattern) {
  const size_t end = pattern.size() - (pattern.size() == p.root.size() + 1 ? 1 : 2);
  return native_path(pattern.substr(0, end));
}

// The folder a search |pattern| below the root lists, as a manifest names
// it: "DIR\SUB" of ROOT\DIR\SUB\*.
std::string folder_pathname(const Pipeline& p, const std::string& pattern) {
  if (pattern.size() < p.root.size() + 2) return std::string();
  return pattern.substr(p.root.size(), pattern.size() - p.root.size() - 2);
}

// A link back into the folders above, and a folder with no entries, are no
// error: the manifest tool records nothing below them either; nor is a
// folder whose name holds a backslash, which it can never search.
bool search_error_matters(DWORD error) {
  return error != ERROR_CANT_RESOLVE_FILENAME && error != ERROR_FILE_NOT_FOUND &&
         error != ERROR_INVALID_NAME;
}

void search_failed(void* context, const std::string& pattern, DWORD error) {
  Pipeline* p = static_cast<Pipeline*>(context);
  if (pattern == p->root + "*") {
    if (error == ERROR_FILE_NOT_FOUND) return;  // an empty drive
    p->hashing->root_failed = true;
    p->hashing->root_error = error;
    return;
  }
  if (!search_error_matters(error)) return;
  Job job;
  job.problem = search_failure(folder_of(*p, pattern), error);
  job.unlisted = folder_pathname(*p, pattern);
  submit(p, std::move(job));
}

void listing_failed(void* context, const std::string& pattern, DWORD error) {
  Pipeline* p = static_cast<Pipeline*>(context);
  Job job;
  job.problem = listing_failure(folder_of(*p, pattern), error);
  job.unlisted = folder_pathname(*p, pattern);
  submit(p, std::move(job));
}

void found_file(void* context, const std::string& rel_dir, const std::string& name, DWORD attributes,
                const uint64_t* length) {
  // FIFOs, sockets, devices and links to nowhere are never opened.
  if (!recordable_name(name) || (attributes & FILE_ATTRIBUTE_DEVICE)) return;
  Job job;
  job.pathname = rel_dir + name;
  if (length != nullptr) {
    job.digest.length = *length;
    job.length_known = true;
  }
  Pipeline* p = static_cast<Pipeline*>(context);
  if (p->hashing->listed) p->hashing->listed(job.pathname, length);
  submit(p, std::move(job));
}

}  // namespace

void hash_tree(const std::string& root, TreeHashing* hashing) {
  Pipeline p;
  p.hashing = hashing;
  p.ready = !hashing->ready;
  p.root = root;
  // A listing reads no file: the search learns each length on the way.
  const WalkSteps steps = {nullptr, search_failed, nullptr, found_file, listing_failed, &p,
                           !hashing->hash || hashing->listed != nullptr, &p.root};
  if (!hashing->hash) {
    scan_folder(steps, "");
    if (hashing->walked) hashing->walked();
    return;
  }
  for (int i = 0; i < 3 * hashing->jobs + 1; ++i) {
    p.chunks.emplace_back(new Chunk());
    p.chunks.back()->pieces.reserve(64);
    p.free_chunks.push_back(p.chunks.back().get());
  }
  for (int i = 0; i < hashing->jobs; ++i) {
    p.readers.push_back(start_thread([&p] { read_files(&p); }));
    p.hashers.push_back(start_thread([&p] { hash_chunks(&p); }));
  }
  scan_folder(steps, "");
  hand_submitted(&p);
  if (hashing->walked) hashing->walked();
  take_done(&p, 0);
  {
    std::lock_guard<std::mutex> hold(p.lock);
    p.ending = true;
  }
  p.job_to_read.notify_all();
  p.chunk_filled.notify_all();
  for (std::thread& reader : p.readers) reader.join();
  for (std::thread& hasher : p.hashers) hasher.join();
}

bool hash_one_file(const std::string& path, const std::string& shown, FileDigest* digest) {
  orv_io* input = orv_open(path.c_str(), 0);
  if (input == nullptr) {
    problem("%s: %s", shown.c_str(), strerror(errno));
    return false;
  }
  std::vector<unsigned char> buffer(READ_CHUNK);
  int error = 0;
  const bool read = hash_to_end(input, buffer.data(), digest, &error);
  orv_close(input);
  if (!read) problem("%s: %s", shown.c_str(), strerror(error));
  return read;
}

std::string folder_path(std::string root) {
#ifdef _WIN32
  const char separator = '\\';
#else
  const char separator = '/';
#endif
  if (!root.empty() && root.back() != '/' && root.back() != '\\') root += separator;
  return root;
}

std::string search_failure(const std::string& folder, DWORD error) {
  return folder + ": cannot search the folder: " + describe_search_error(error) + " (error " + std::to_string(error) +
         ")";
}

std::string listing_failure(const std::string& folder, DWORD error) {
  return folder + ": the folder's listing stopped part-way: " + describe_search_error(error) + " (error " +
         std::to_string(error) + ")";
}
