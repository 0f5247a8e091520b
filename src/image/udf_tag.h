// The 16-byte tag every UDF descriptor starts with: what the descriptor
// is, a checksum of the tag itself, a CRC of the descriptor's body and the
// place the descriptor was written to.
#ifndef DISC_MANIFEST_IMAGE_UDF_TAG_H_
#define DISC_MANIFEST_IMAGE_UDF_TAG_H_

#include <stddef.h>
#include <stdint.h>

/// Tag identifiers of the descriptors the UDF reader meets.
enum UdfTagId : uint16_t {
  kUdfSparingTable = 0,  // UDF's own use of identifier 0
  kUdfPrimaryVolume = 1,
  kUdfAnchor = 2,
  kUdfVolumePointer = 3,
  kUdfImplementationUse = 4,
  kUdfPartition = 5,
  kUdfLogicalVolume = 6,
  kUdfUnallocatedSpace = 7,
  kUdfTerminating = 8,
  kUdfIntegrity = 9,
  kUdfFileSet = 256,
  kUdfFileIdentifier = 257,
  kUdfAllocationExtent = 258,
  kUdfIndirectEntry = 259,
  kUdfTerminalEntry = 260,
  kUdfFileEntry = 261,
  kUdfExtendedFileEntry = 266,
};

/// The CRC of UDF descriptors: CRC-16 with the polynomial
/// x^16 + x^12 + x^5 + 1, starting from 0, bits most significant first.
uint16_t udf_crc(const unsigned char* data, size_t size);

/// The identifier in the tag at |d|.
inline uint16_t udf_tag_id(const unsigned char* d) { return static_cast<uint16_t>(d[0] | d[1] << 8); }

/// The first thing wrong with a tag, in the order a reader finds it.
enum class TagFault {
  kNone,
  kChecksum,   // the tag's own checksum
  kCrcLength,  // the CRC covers more bytes than the descriptor has
  kCrc,
  kLocation,  // the tag records another place than the one it was read from
};

/// Checks the tag of the descriptor at |d|, of which |size| bytes (16 at
/// least) are at hand: its checksum, the CRC of as many bytes after the
/// tag as the tag says, and that it records |location| as its place.
/// The identifier is the caller's to check, after the checksum.
TagFault udf_check_tag(const unsigned char* d, size_t size, uint32_t location);

/// Whether the checksum of the tag at |d| is right.
bool udf_tag_checksum_ok(const unsigned char* d);

#endif  // DISC_MANIFEST_IMAGE_UDF_TAG_H_
