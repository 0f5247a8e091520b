// Linked into a test build of the tool, in front of the C library's read
// and readdir (ld --wrap), to make the file system fail where a scratched
// disc would:
//   DM_FAIL_READ=NAME:OFFSET  reads of a file called NAME fail with EIO once
//                             OFFSET bytes of it have been read;
//   DM_FAIL_LIST=NAME:COUNT   reading the folder called NAME fails with EIO
//                             after COUNT entries;
//   DM_FAIL_PREAD=NAME:FROM-TO[,FROM-TO]...
//                             positional reads (pread) of the file called
//                             NAME fail with EIO at the bytes FROM to TO - 1,
//                             as a disc's scratched sectors do: a read that
//                             starts before them stops short of them.

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

// Parses "NAME:NUMBER" from the variable |var|; false when it is unset.
bool rule(const char* var, std::string* name, long* number) {
  const char* text = getenv(var);
  if (text == nullptr) return false;
  const char* colon = strrchr(text, ':');
  if (colon == nullptr) return false;
  name->assign(text, static_cast<size_t>(colon - text));
  *number = atol(colon + 1);
  return true;
}

bool fd_is(int fd, const std::string& name) {
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  const std::string path(target);
  return path.size() > name.size() &&
         path.compare(path.size() - name.size() - 1, std::string::npos, "/" + name) == 0;
}

template <typename Entry>
Entry* failing_readdir(DIR* dir, Entry* (*real)(DIR*)) {
  static DIR* counted = nullptr;
  static long returned = 0;
  std::string name;
  long after = 0;
  if (rule("DM_FAIL_LIST", &name, &after) && fd_is(dirfd(dir), name)) {
    if (dir != counted) {
      counted = dir;
      returned = 0;
    }
    if (returned >= after) {
      errno = EIO;
      return nullptr;
    }
    ++returned;
  }
  return real(dir);
}

// The first bad byte of |name|'s ranges in DM_FAIL_PREAD at or after
// |offset|, its range's end in |*end|; -1 when none is.
long long bad_from(int fd, long long offset, long long* end) {
  const char* text = getenv("DM_FAIL_PREAD");
  if (text == nullptr || fd <= 2) return -1;
  const char* colon = strchr(text, ':');
  if (colon == nullptr || !fd_is(fd, std::string(text, static_cast<size_t>(colon - text)))) return -1;
  long long first = -1;
  for (const char* at = colon + 1; *at != '\0';) {
    char* dash = nullptr;
    const long long from = strtoll(at, &dash, 10);
    if (*dash != '-') return -1;
    char* after = nullptr;
    const long long to = strtoll(dash + 1, &after, 10);
    if (to > offset && (first < 0 || from < first)) {
      first = from;
      *end = to;
    }
    at = *after == ',' ? after + 1 : after;
    if (after == dash + 1) break;
  }
  return first;
}

template <typename Offset>
ssize_t failing_pread(int fd, void* buf, size_t count, Offset offset,
                      ssize_t (*real)(int, void*, size_t, Offset)) {
  long long end = 0;
  const long long bad = bad_from(fd, static_cast<long long>(offset), &end);
  if (bad >= 0 && bad < static_cast<long long>(offset) + static_cast<long long>(count)) {
    if (bad <= static_cast<long long>(offset)) {
      errno = EIO;
      return -1;
    }
    count = static_cast<size_t>(bad - static_cast<long long>(offset));
  }
  return real(fd, buf, count, offset);
}

}  // namespace

extern "C" {
ssize_t __real_read(int fd, void* buf, size_t count);
dirent* __real_readdir(DIR* dir);
dirent64* __real_readdir64(DIR* dir);

ssize_t __wrap_read(int fd, void* buf, size_t count) {
  std::string name;
  long offset = 0;
  if (fd > 2 && rule("DM_FAIL_READ", &name, &offset) && fd_is(fd, name)) {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at >= offset) {
      errno = EIO;
      return -1;
    }
    if (at + static_cast<off_t>(count) > offset) count = static_cast<size_t>(offset - at);
  }
  return __real_read(fd, buf, count);
}

ssize_t __real_pread(int fd, void* buf, size_t count, off_t offset);
ssize_t __real_pread64(int fd, void* buf, size_t count, off64_t offset);

ssize_t __wrap_pread(int fd, void* buf, size_t count, off_t offset) {
  return failing_pread<off_t>(fd, buf, count, offset, __real_pread);
}

ssize_t __wrap_pread64(int fd, void* buf, size_t count, off64_t offset) {
  return failing_pread<off64_t>(fd, buf, count, offset, __real_pread64);
}

dirent* __wrap_readdir(DIR* dir) { return failing_readdir(dir, __real_readdir); }
dirent64* __wrap_readdir64(DIR* dir) { return failing_readdir(dir, __real_readdir64); }
}  // extern "C"
