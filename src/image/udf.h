// The UDF file system of a disc image, revisions 1.02 to 2.60: the
// volume and its partitions (physical, sparable, virtual with its
// allocation table, metadata), folders listed in the order their File
// Identifier Descriptors are recorded, and where each file's data lies.
//
// Opening reads the volume's descriptors and what the partitions need to
// be read (sparing tables, the virtual allocation table, the metadata
// file's allocation), all bounded by the image's size; folders and File
// Entries are read when they are asked for. Every descriptor read has its
// tag checked (checksum, CRC, place), and a damaged one is named in the
// problem with the sector it lies in.
//
// Logical blocks of 512, 1024, 2048 or 4096 bytes are read: an optical
// disc's are its 2048-byte sectors, a hard disk's, USB stick's or 4Kn
// drive's those of its own sectors. A volume's sectors are its blocks,
// counted from the start of the data track: the sectors that problems
// name are of the volume's block size.
#ifndef DISC_MANIFEST_IMAGE_UDF_H_
#define DISC_MANIFEST_IMAGE_UDF_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "image/file_system.h"
#include "image/sectors.h"

struct UdfVolume;

/// Opens the UDF file system of |image|, which must stay open while the
/// volume is. The image has UDF when its volume recognition sequence (at
/// byte 32768, its descriptors 2048 or 4096 bytes apart) holds NSR02 or
/// NSR03; the volume is then found from the anchor at block 256, or at the
/// last block or the last but 256, tried for each block size in turn (the
/// anchor's tag records the block it lies in), and a virtual allocation
/// table in the last recorded blocks of the image.
/// False with |problem->text| empty when the image has no UDF; false with
/// it filled when it has UDF that cannot be read: which descriptor, where,
/// and what is wrong. The root folder's File Entry is read too.
bool open_udf(const SectorImage& image, UdfVolume** volume, ImageProblem* problem);

void close_udf(UdfVolume* volume);

/// The node of the root folder.
uint64_t udf_root(const UdfVolume* volume);

/// The UDF revision the volume says it follows ("1.02", "2.50"), from its
/// domain identifier.
std::string udf_revision(const UdfVolume* volume);

/// Appends the entries of the folder |node| in the order their File
/// Identifier Descriptors are recorded: no parent entry, no deleted
/// entries, none of the volume's own files (those marked metadata, and
/// the hidden Non-Allocatable Space file of a UDF 1.50 root); names in
/// UTF-8. The kind and length of each entry come from
/// its File Entry; where that cannot be read, the entry is still given,
/// its kind told by its identifier and its length 0, and the problem comes
/// when the entry itself is listed or its data asked for. Symbolic links
/// are kOther, not followed. False with |problem| where the folder cannot
/// be read to its end, an entry with a name that cannot be shown (empty,
/// "." or "..", holding "/" or NUL) included; the entries read before the
/// fault stay appended.
bool udf_list_folder(const UdfVolume* volume, uint64_t node, std::vector<FolderEntry>* entries, ImageProblem* problem);

/// Stores in |runs| where the data of the file |node| lies, as runs in the
/// data track in file order, summing to |*length|, the File Entry's
/// information length. Data held inside the ICB is a run inside the ICB's
/// sector; extents allocated but not recorded are runs of zeros. False
/// with |problem| where it cannot be told: a damaged File Entry or
/// Allocation Extent Descriptor, extents that lie past the end of their
/// partition or of the image, descriptors that loop, fewer bytes allocated
/// than the file has.
bool udf_file_data(const UdfVolume* volume, uint64_t node, std::vector<DataExtent>* runs, uint64_t* length,
                   ImageProblem* problem);

#endif  // DISC_MANIFEST_IMAGE_UDF_H_
