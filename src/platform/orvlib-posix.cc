// orvlib file access on POSIX, on plain file descriptors.

#include "platform/orvlib.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "platform/orv_handle.h"
#include "platform/posix_path.h"
#include "platform/virtual_tree.h"

#ifdef __linux__
#include <linux/cdrom.h>  // CDROMMULTISESSION
#include <linux/fs.h>     // BLKGETSIZE64
#endif

namespace {

#ifdef HAVE_POSIX_FADVISE
const off_t kReadAheadWorthIt = 1 << 20;
#endif

int fd_of(const orv_io* io) { return static_cast<int>(io->os_handle); }

orv_io* fail(int fd, int error) {
  close(fd);
  errno = error;
  return nullptr;
}

// Refuses what is not a regular file, before and after opening: the check
// before keeps us from ever opening a device (opening some has side
// effects), the check after closes the gap between the two. A file that a
// listing has just shown regular needs only the check after.
// |path| is taken below the folder |at| (AT_FDCWD: as it is).
orv_io* open_for_reading(int at, const char* path, bool listed_regular) {
  struct stat st;
  if (!listed_regular) {
    if (fstatat(at, path, &st, 0) != 0) return nullptr;
    if (!S_ISREG(st.st_mode)) {
      errno = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
      return nullptr;
    }
  }
  // O_NONBLOCK: should a FIFO have taken the file's place, opening it must
  // not wait for a writer.
  const int fd = openat(at, path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
    return nullptr;
  }
  orv_io* io = new_orv_handle(fd, 0, static_cast<uint64_t>(st.st_size));
  if (io == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  io->volume = static_cast<uint64_t>(st.st_dev);
  io->index = static_cast<uint64_t>(st.st_ino);
  // Files are read once, front to back: a larger read-ahead window keeps a
  // slow disc streaming. Small files fit the default window anyway, and
  // skipping them saves a system call per file.
#ifdef HAVE_POSIX_FADVISE
  if (st.st_size >= kReadAheadWorthIt) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  return io;
}

// A handle around |fd|, open for reading as a stream: a regular file from
// where it stands, with its identity; anything else with a size of 0.
orv_io* stream_handle(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return fail(fd, errno);
  if (S_ISDIR(st.st_mode)) return fail(fd, EISDIR);
  const bool regular = S_ISREG(st.st_mode);
  uint64_t size = 0;
  if (regular) {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    size = at >= 0 && at <= st.st_size ? static_cast<uint64_t>(st.st_size - at) : 0;
  }
  orv_io* io = new_orv_handle(fd, regular ? 0 : 3, size);
  if (io == nullptr) return fail(fd, ENOMEM);
  io->volume = static_cast<uint64_t>(st.st_dev);
  io->index = static_cast<uint64_t>(st.st_ino);
  return io;
}

orv_io* open_stream(const char* path) {
  // A folder is refused before it is opened; anything else is opened as
  // it is, blocking: a FIFO waits for its writer, as cat waits.
  struct stat st;
  if (stat(path, &st) != 0) return nullptr;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return nullptr;
  }
  const int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return stream_handle(fd);
}

// An image to read at offsets: a regular file, or a block device whose
// size the system tells. Nothing else is opened.
orv_io* open_image(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return nullptr;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return nullptr;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    errno = ENXIO;
    return nullptr;
  }
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (fstat(fd, &st) != 0) return fail(fd, errno);
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (S_ISBLK(st.st_mode)) {
#ifdef BLKGETSIZE64
    if (ioctl(fd, BLKGETSIZE64, &size) != 0) return fail(fd, errno);
#else
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) return fail(fd, errno);
    size = static_cast<uint64_t>(end);
#endif
  } else if (!S_ISREG(st.st_mode)) {
    return fail(fd, S_ISDIR(st.st_mode) ? EISDIR : ENXIO);
  }
  orv_io* io = new_orv_handle(fd, 4, size);
  if (io == nullptr) return fail(fd, ENOMEM);
  io->volume = static_cast<uint64_t>(st.st_dev);
  io->index = static_cast<uint64_t>(st.st_ino);
  return io;
}

orv_io* open_for_writing(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  orv_io* io = new_orv_handle(fd, 2, 0);
  if (io == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  // Which file it is, so that a walk can tell it when it meets it; unknown
  // (zero) when the system will not say.
  struct stat st;
  if (fstat(fd, &st) == 0) {
    io->volume = static_cast<uint64_t>(st.st_dev);
    io->index = static_cast<uint64_t>(st.st_ino);
  }
  return io;
}

}  // namespace

orv_io* orv_open(const char* path, int mode) {
  std::string inside;
  if ((mode == 0 || mode == 1) && in_virtual_tree(path, &inside)) return open_virtual_file(inside);
  const std::string native = posix_path(path);
  errno = 0;
  if (mode == 0 || mode == 1) return open_for_reading(AT_FDCWD, native.c_str(), mode == 1);
  if (mode == 2) return open_for_writing(native.c_str());
  if (mode == 3) return open_stream(native.c_str());
  if (mode == 4) return open_image(native.c_str());
  errno = EINVAL;
  return nullptr;
}

struct orv_folder {
  int fd;
};

orv_folder* orv_hold_folder(const char* path) {
  std::string inside;
  if (in_virtual_tree(path, &inside)) return nullptr;
#ifdef O_PATH
  // Enough to look names up below it, and a folder one may search but not
  // list gives one too.
  const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  const int fd = open(posix_path(path).c_str(), flags);
  if (fd < 0) return nullptr;
  return new orv_folder{fd};
}

orv_io* orv_open_in(const orv_folder* held, const std::string& folder_path, const std::string& below, int mode) {
  if (held == nullptr || (mode != 0 && mode != 1)) return orv_open((folder_path + below).c_str(), mode);
  errno = 0;
  return open_for_reading(held->fd, posix_path(below).c_str(), mode == 1);
}

void orv_release_folder(orv_folder* held) {
  if (held == nullptr) return;
  close(held->fd);
  delete held;
}

orv_io* orv_open_standard_input() {
  // A descriptor of its own, so that closing the handle leaves descriptor
  // 0 in place and no file the program opens later can take it.
  const int fd = fcntl(0, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return nullptr;
  return stream_handle(fd);
}

bool orv_read(void* data, uint32_t size, uint32_t* count, orv_io* io) {
  if (is_virtual_file(io)) return read_virtual_file(data, size, count, io);
  *count = 0;
  ssize_t n = read(fd_of(io), data, size);
  while (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
    // Standard input may have been left non-blocking by whoever gave it:
    // wait until there is something to read.
    if (errno != EINTR) {
      pollfd ready = {fd_of(io), POLLIN, 0};
      if (poll(&ready, 1, -1) < 0 && errno != EINTR) break;
    }
    n = read(fd_of(io), data, size);
  }
  if (n < 0) {
    note_error(io, errno);
    return false;
  }
  *count = static_cast<uint32_t>(n);
  note_read(io, size, *count);
  return true;
}

bool orv_read_at(orv_io* io, uint64_t offset, void* data, uint32_t size, uint32_t* count) {
  if (is_virtual_file(io)) return read_virtual_file_at(io, offset, data, size, count);
  unsigned char* bytes = static_cast<unsigned char*>(data);
  uint32_t done = 0;
  // A read may return less than asked before the end (a signal, a device
  // that reads a sector at a time): only nothing read is the end.
  while (done < size) {
    const ssize_t n = pread(fd_of(io), bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *count = done;
      return false;
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  *count = done;
  return true;
}

bool orv_write(const void* data, uint32_t size, uint32_t* written, orv_io* io) {
  const char* bytes = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd_of(io), bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      note_error(io, n < 0 ? errno : EIO);
      break;
    }
    done += static_cast<uint32_t>(n);
  }
  if (written != nullptr) *written = done;
  return done == size;
}

int orv_close(orv_io* io) {
  if (io == nullptr) return EBADF;
  if (is_virtual_file(io)) return close_virtual_file(io);
  // A close that fails may mean that data never reached the file (NFS
  // reports a full disk there); EINTR on Linux still releases the descriptor.
  if (close(fd_of(io)) != 0 && errno != EINTR) note_error(io, errno);
  return delete_orv_handle(io);
}

bool orv_identity(const orv_io* io, FileIdentity* identity) {
  // Known since opening; a stream that is no regular file has none that
  // a file of a tree could share, nor has a file of a mounted tree.
  if (io->mode == 3 || is_virtual_file(io) || (io->volume == 0 && io->index == 0)) return false;
  identity->volume = io->volume;
  identity->index = io->index;
  return true;
}

bool orv_last_session(const orv_io* io, uint64_t* start) {
#ifdef CDROMMULTISESSION
  if (io->mode != 4) return false;
  const int fd = fd_of(io);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  // As the kernel's isofs asks it: the address it gives is taken whatever
  // the disc's XA flag says, as isofs takes it.
  struct cdrom_multisession session = {};
  session.addr_format = CDROM_LBA;
  if (ioctl(fd, CDROMMULTISESSION, &session) != 0 || session.addr.lba < 0) return false;
  *start = static_cast<uint64_t>(session.addr.lba);
  return true;
#else
  (void)io;
  (void)start;
  return false;
#endif
}

std::string native_path(std::string path) { return posix_path(std::move(path)); }

PathKind orv_path_kind(const char* path) {
  std::string inside;
  uint64_t length = 0;
  if (in_virtual_tree(path, &inside)) return virtual_path_kind(inside, &length);
  struct stat st;
  if (stat(posix_path(path).c_str(), &st) != 0) return PathKind::kMissing;
  if (S_ISDIR(st.st_mode)) return PathKind::kFolder;
  return S_ISREG(st.st_mode) ? PathKind::kFile : PathKind::kOther;
}

bool orv_make_folders_for(const char* path) {
  const std::string native = posix_path(path);
  for (size_t slash = native.find('/', 1); slash != std::string::npos; slash = native.find('/', slash + 1)) {
    const std::string folder = native.substr(0, slash);
    if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool orv_file_length(const char* path, uint64_t* length) {
  std::string inside;
  if (in_virtual_tree(path, &inside)) return virtual_file_length(inside, length);
  struct stat st;
  if (stat(posix_path(path).c_str(), &st) != 0) return false;
  *length = static_cast<uint64_t>(st.st_size);
  return true;
}


std::string orv_folder_of(const std::string& path) {
  const std::string native = posix_path(path);
  const size_t slash = native.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : native.substr(0, slash);
}

bool orv_may_write(const char* path) { return access(posix_path(path).c_str(), W_OK) == 0; }

bool orv_rename_new(const char* from, const char* to) {
  const std::string source = posix_path(from);
  const std::string target = posix_path(to);
  // A second name, then the first one gone: link() never replaces.
  if (link(source.c_str(), target.c_str()) == 0) {
    unlink(source.c_str());
    return true;
  }
  if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOSYS) return false;
  // File systems without hard links (FAT, exFAT): a rename that refuses
  // to replace, where the kernel has one.
#if defined(__linux__) && defined(SYS_renameat2)
  const unsigned kNoReplace = 1;  // RENAME_NOREPLACE
  if (syscall(SYS_renameat2, AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), kNoReplace) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // Else look, then rename: another process could make the file between
  // the two, which nothing on such a file system can exclude.
  struct stat st;
  if (lstat(target.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return rename(source.c_str(), target.c_str()) == 0;
}

bool orv_remove(const char* path) { return unlink(posix_path(path).c_str()) == 0; }
