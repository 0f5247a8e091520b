// The UDF file system of a disc image.
#ifndef DISC_MANIFEST_IMAGE_UDF_H_
#define DISC_MANIFEST_IMAGE_UDF_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "image/file_system.h"
#include "image/sectors.h"

struct UdfVolume;

/// Opens the UDF file system of |image|. False with problem->text empty
/// where the image has none; false with the reason where it cannot be read.
bool open_udf(const SectorImage& image, UdfVolume** volume, ImageProblem* problem);
void close_udf(UdfVolume* volume);
uint64_t udf_root(const UdfVolume* volume);
/// The revision the file system records, as "2.60".
std::string udf_revision(const UdfVolume* volume);
bool udf_list_folder(const UdfVolume* volume, uint64_t node, std::vector<FolderEntry>* entries,
                     ImageProblem* problem);
bool udf_file_data(const UdfVolume* volume, uint64_t node, std::vector<DataExtent>* runs, uint64_t* length,
                   ImageProblem* problem);

#endif  // DISC_MANIFEST_IMAGE_UDF_H_
