// The ISO 9660 file system of a disc image (ECMA-119, levels 1 to 3), in
// any of its three views: the primary volume's own names, Joliet's
// Unicode names (a supplementary volume), or Rock Ridge's POSIX names
// (SUSP entries in the primary volume's directory records).
//
// Folders are read as recorded, entries in their order; a file's data
// is the runs of its extents (several for a file of several extents or
// an interleaved one). Nothing is allocated by a length the image gives
// before it is checked against the image's size, and every loop over
// what the image says ends within the image's bytes.
#ifndef DISC_MANIFEST_IMAGE_ISO9660_H_
#define DISC_MANIFEST_IMAGE_ISO9660_H_

#include <stdint.h>

#include <vector>

#include "image/file_system.h"
#include "image/sectors.h"

struct IsoVolume;

/// Opens the view |kind| (kIso9660, kJoliet or kRockRidge) of the ISO 9660
/// file system of |image|, which must stay open while the volume is. False
/// with problem->text empty where the image has no such view (no primary
/// volume descriptor, no Joliet one, no Rock Ridge entries); false with
/// the reason where it has one that cannot be read.
bool open_iso9660(const SectorImage& image, FileSystemKind kind, IsoVolume** volume, ImageProblem* problem);

void close_iso9660(IsoVolume* volume);

/// The node of the root folder.
uint64_t iso9660_root(const IsoVolume* volume);

/// The entries of the folder |node| in recorded order: without "." and
/// "..", associated files, nor Rock Ridge's relocated folders where they
/// were moved to (they come where their CL entry stands). Rock Ridge
/// links are followed inside the image; one that leads out of it, nowhere
/// or round in a loop is kOther, as are devices, FIFOs and sockets.
/// False with |problem| where the folder cannot be read whole; |entries|
/// then holds those read before, or after, the damage.
bool iso9660_list_folder(const IsoVolume* volume, uint64_t node, std::vector<FolderEntry>* entries,
                         ImageProblem* problem);

/// The runs of the file |node|'s data, in order, and its length, their
/// sum. Runs may lie past the end of the image: reading them fails there.
bool iso9660_file_data(const IsoVolume* volume, uint64_t node, std::vector<DataExtent>* runs, uint64_t* length,
                       ImageProblem* problem);

#endif  // DISC_MANIFEST_IMAGE_ISO9660_H_
