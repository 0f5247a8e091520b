// Linked into a test build of the tool, in front of the C library's read
// and readdir (ld --wrap), to make the file system fail where a scratched
// disc would:
//   DM_FAIL_READ=NAME:OFFSET  reads of a file called NAME fail with EIO once
//                             OFFSET bytes of it have been read;
//   DM_FAIL_LIST=NAME:COUNT   reading the folder called NAME fails with EIO
//                             after COUNT entries.

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

dirent* __wrap_readdir(DIR* dir) { return failing_readdir(dir, __real_readdir); }
dirent64* __wrap_readdir64(DIR* dir) { return failing_readdir(dir, __real_readdir64); }
}  // extern "C"
