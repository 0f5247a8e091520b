// A build without the UDF reader: no image has UDF for it, so the image
// layer reads the disc's ISO 9660 file system instead.

#include "image/udf.h"

bool open_udf(const SectorImage&, UdfVolume** volume, ImageProblem*) {
  *volume = nullptr;
  return false;
}

void close_udf(UdfVolume*) {}

uint64_t udf_root(const UdfVolume*) { return 0; }

std::string udf_revision(const UdfVolume*) { return ""; }

bool udf_list_folder(const UdfVolume*, uint64_t, std::vector<FolderEntry>*, ImageProblem* problem) {
  problem->text = "UDF is not read by this build";
  return false;
}

bool udf_file_data(const UdfVolume*, uint64_t, std::vector<DataExtent>*, uint64_t*, ImageProblem* problem) {
  problem->text = "UDF is not read by this build";
  return false;
}
