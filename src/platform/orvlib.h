// The file access and utility operations the tool is built on: unbuffered
// file handles with a size and an end-of-file flag, and the two text
// conversions of the manifest. MD5 lives in md5.h.
//
// The handle record is shared with callers, who read two fields of it at
// fixed offsets; everything else in it is private to the implementation.
#ifndef DISC_MANIFEST_PLATFORM_ORVLIB_H_
#define DISC_MANIFEST_PLATFORM_ORVLIB_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "platform/md5.h"

/// An open file. Bytes 8 to 15 hold the file size, unsigned 64-bit
/// little-endian; byte 16 is the end-of-file flag, nonzero once the end of
/// the file has been reached. The rest belongs to the implementation.
struct orv_io {
  intptr_t os_handle;        // bytes 0 to 7 on every target
#if UINTPTR_MAX == 0xffffffffu
  uint32_t reserved;
#endif
  unsigned char size_le[8];  // bytes 8 to 15
  unsigned char at_end;      // byte 16
  unsigned char mode;
  unsigned char reserved2[2];
  int first_error;           // errno of the first failed operation, or 0
  uint64_t position;         // bytes read so far
  uint64_t volume;           // which file it is, where the system tells at
  uint64_t index;            // opening (POSIX: device and inode)
};
static_assert(offsetof(orv_io, size_le) == 8, "size must sit at byte 8");
static_assert(offsetof(orv_io, at_end) == 16, "end-of-file flag must sit at byte 16");

/// Opens |path|. Mode 0: an existing regular file for reading; never
/// blocks, and anything that is not a regular file (folder, FIFO, socket,
/// device) is refused with errno set (ENXIO, EISDIR), before it is opened.
/// Mode 1: the same, for a file that a folder's listing has just shown to
/// be a regular file; what it has become since is refused once open. Mode
/// 2: creates or truncates the file for writing, in binary. Mode 3:
/// anything that can be read as a stream of bytes, but a folder (EISDIR):
/// a regular file, a FIFO or a pipe (/dev/fd/N), a terminal; opening a
/// FIFO waits for its writer. Mode 4: a regular file or, on POSIX, a
/// block device (a disc in a drive, a loop device), to be read with
/// orv_read_at; its size field holds the device's size too. Returns null
/// with errno set on failure.
///
/// A stream that is no regular file has 0 in its size field until its end,
/// and no identity.
orv_io* orv_open(const char* path, int mode);

/// A folder held open while the files below it are opened (orv_open_in):
/// the system then looks up only the part of each path below it, which
/// on a deep root is most of the cost of opening a small file.
struct orv_folder;

/// Holds the folder |path| open; null where that gains nothing (on
/// Windows, in a disc image's tree) or it cannot be (then orv_open_in
/// opens by the joined path, as orv_open does).
orv_folder* orv_hold_folder(const char* path);

/// Opens |below|, a path below the folder |held| (joined with
/// backslashes), as orv_open opens |folder_path| + |below| in mode 0 or
/// 1; |folder_path| is the path |held| was held by, with its separator,
/// and is used where |held| is null.
orv_io* orv_open_in(const orv_folder* held, const std::string& folder_path, const std::string& below, int mode);

/// Lets go of a folder orv_hold_folder held; null is ignored.
void orv_release_folder(orv_folder* held);

/// Opens standard input for reading as orv_open's mode 3 opens a path,
/// from where it stands; its size field holds what is left of a regular
/// file. Closing the handle leaves standard input open. Returns null with
/// errno set on failure.
orv_io* orv_open_standard_input();

/// Reads up to |size| bytes into |data| and stores their number in |*count|.
/// Sets the end-of-file flag once the whole content has been read; from then
/// on the size field holds the number of bytes the file really had. Returns
/// false with errno set when the read fails; the flag stays as it was.
bool orv_read(void* data, uint32_t size, uint32_t* count, orv_io* io);

/// Writes |size| bytes unchanged after what was written before, stores the
/// number written in |*written| when it is not null, and returns whether all
/// of them were written. A failure is also remembered by the handle and
/// reported again by orv_close.
bool orv_write(const void* data, uint32_t size, uint32_t* written, orv_io* io);

/// Reads up to |size| bytes at byte |offset| of the file |io|, opened
/// for reading (modes 0, 1 and 4), and stores their number in |*count|:
/// fewer than asked only where the file ends. Neither uses nor moves the
/// handle's position or end-of-file flag, so that several threads may
/// read one handle at once. Returns false with errno set when the read
/// fails.
bool orv_read_at(orv_io* io, uint64_t offset, void* data, uint32_t size, uint32_t* count);

/// Closes the file and releases the handle. Returns 0, or the errno of the
/// first failed write or of a failed close, so that a writer who only looks
/// once still learns whether the file is complete.
int orv_close(orv_io* io);

/// Which file is open: the same for every handle of one file, whatever
/// path reached it (device and inode; on Windows volume serial number and
/// file index).
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
};

inline bool operator==(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

/// Fills |identity| for the open file |io|, opened in any mode; false when
/// the system cannot tell, and for a stream that is no regular file.
bool orv_identity(const orv_io* io, FileIdentity* identity);

/// For a block device holding a CD, opened with mode 4: the sector where
/// its last session starts, from the drive's table of contents (0 for a
/// disc of one session), where the kernel's ISO 9660 driver finds it too.
/// False for anything else (a file, a device that is no CD drive), and
/// on Windows, where mode 4 opens files only: an image file holds no
/// table of contents and is read from its start, its first session.
bool orv_last_session(const orv_io* io, uint64_t* start);

/// |path|, which the tool joins with backslashes, as the system names it,
/// for messages a user may copy: on POSIX with every backslash a slash (as
/// orv_open reads it); on Windows as it is.
std::string native_path(std::string path);

/// What a path names, links followed.
enum class PathKind { kMissing, kFolder, kFile, kOther };

/// What |path| names: a folder, a regular file, something else (a device,
/// a FIFO), or nothing that can be reached (kMissing, with errno set).
PathKind orv_path_kind(const char* path);

/// The length of the regular file |path|, links followed; false with errno
/// set when it cannot be told.
bool orv_file_length(const char* path, uint64_t* length);

/// Makes the folders that |path|, a file's path, lies in, where they are
/// missing. False with errno set when one cannot be made.
bool orv_make_folders_for(const char* path);

/// The folder |path|, a file's path, lies in: up to its last separator,
/// or "." for a bare name.
std::string orv_folder_of(const std::string& path);

/// Whether this process may write |path| (a file, or a folder: make and
/// remove files in it); false with errno set (EACCES, EROFS) when not,
/// or when it cannot be told.
bool orv_may_write(const char* path);

/// Gives the file |from| the name |to|, unless a file of that name is
/// there: then false with errno EEXIST, and |from| is left as it was. So
/// a file made whole under a name of its own appears at once, and never
/// over another's. False with errno set on any other failure.
bool orv_rename_new(const char* from, const char* to);

/// Removes the file |path|; false with errno set.
bool orv_remove(const char* path);

namespace orvm {
/// |size| bytes at |data| as lower-case hexadecimal, two digits a byte.
std::string bin2hex(const void* data, uint32_t size);

/// The value of the hexadecimal digit |c| (either case), or -1.
inline int hex_digit(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}
}  // namespace orvm

namespace numstr {
/// |value| in |radix| (2 to 36, lower-case digits), without sign, padding or
/// grouping; |flags| is reserved and must be 0.
std::string ToStr(uint64_t value, int radix, uint32_t flags);
}  // namespace numstr

#endif  // DISC_MANIFEST_PLATFORM_ORVLIB_H_
