#include "image/image_tree.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "image/image_file.h"
#include "image/iso9660.h"
#include "image/rescue_map.h"
#include "image/udf.h"
#include "platform/orvlib.h"
#include "platform/virtual_tree.h"

namespace {

// Folder listings kept, by path: the walk lists a folder, then opens its
// files, maybe from other threads and a little later.
const size_t kMostListings = 512;
const size_t kMostEntriesKept = size_t{1} << 18;
// cFileName holds this many bytes and a NUL.
const size_t kLongestName = 259;

struct Listing {
  std::vector<FolderEntry> entries;
  std::vector<uint32_t> by_name;  // indexes of |entries| in name order, the first recorded first
  uint32_t error = 0;             // why the listing stopped, or 0
  std::string detail;
};

struct Kept {
  std::shared_ptr<const Listing> listing;
  std::list<std::string>::iterator place;
};

struct ImageTree {
  SectorImage image;
  FileSystemKind kind = FileSystemKind::kIso9660;
  IsoVolume* iso = nullptr;
  UdfVolume* udf = nullptr;
  uint64_t root = 0;
  std::mutex lock;
  std::map<std::string, Kept> listings;
  std::list<std::string> recent;  // most recent first
  size_t entries_kept = 0;
  // The file or device the root names (an image, a cue sheet), and that
  // its data track is read from: what no manifest may be written over.
  std::vector<FileIdentity> read_from;
  // A rescued image's map, which |image| reads with.
  std::unique_ptr<RescueMap> rescued;
};

// A file open for reading: its runs and where each starts in the file.
struct OpenFile {
  std::vector<DataExtent> runs;
  std::vector<uint64_t> starts;
  uint64_t length = 0;
  bool failed = false;  // its runs could not be found: every read fails
  size_t run = 0;       // where the last read ended, for the next
};

ImageTree* mounted = nullptr;
// The rescue map named for the images mounted, or "" for the one beside
// each; and whether the last mount refused its image for its map.
std::string named_rescue_map;
bool map_refused = false;
// The session of the images mounted from now on; 0 for the last that
// holds a file system.
uint32_t asked_session = 0;

// Small files lie one after another in an image, mostly in the order they
// are walked: a file smaller than this is read with those after it, in one
// read of a window this large, kept for the next small file the thread
// reads. One read in place of dozens counts where a read is a request to
// a drive or over a network. (A large file is read as asked, straight
// into the caller's buffer.)
const uint32_t kSmallFile = 64 * 1024;
const uint32_t kWindow = 256 * 1024;

struct Window {
  uint64_t mount = 0;  // of the mount it was read in; 0 for none
  uint64_t start = 0;  // its first byte in the data track
  uint32_t size = 0;
  std::vector<unsigned char> bytes;
};

thread_local Window window;
// Each mount's number, so that no window read from another outlives it.
std::atomic<uint64_t> mounts{0};
uint64_t this_mount = 0;

// Reads |size| bytes from |offset| of the data track, through the thread's
// window when they are the whole of a small file's run.
bool read_data(const ImageTree& t, uint64_t offset, uint32_t size, bool small, unsigned char* to) {
  Window& w = window;
  if (!small) return read_track_bytes(t.image, offset, size, to);
  if (w.mount != this_mount || offset < w.start || offset - w.start + size > w.size) {
    w.mount = 0;
    w.bytes.resize(kWindow);
    // Up to the end of the track: a window past it cannot be read.
    const uint64_t end = track_size(t.image);
    const uint32_t take = end > offset && end - offset < kWindow ? static_cast<uint32_t>(end - offset) : kWindow;
    // A window that cannot be read whole may hold another file's bad
    // sector: this one is read as asked.
    if (take < size || !read_track_bytes(t.image, offset, take, w.bytes.data()))
      return read_track_bytes(t.image, offset, size, to);
    w.mount = this_mount;
    w.start = offset;
    w.size = take;
  }
  memcpy(to, w.bytes.data() + (offset - w.start), size);
  return true;
}

bool list_node(const ImageTree& t, uint64_t node, std::vector<FolderEntry>* entries, ImageProblem* problem) {
  return t.udf != nullptr ? udf_list_folder(t.udf, node, entries, problem)
                          : iso9660_list_folder(t.iso, node, entries, problem);
}

bool data_of(const ImageTree& t, uint64_t node, std::vector<DataExtent>* runs, uint64_t* length,
             ImageProblem* problem) {
  return t.udf != nullptr ? udf_file_data(t.udf, node, runs, length, problem)
                          : iso9660_file_data(t.iso, node, runs, length, problem);
}

uint32_t error_of(const ImageProblem& problem) { return problem.unreadable ? kTreeUnreadable : kTreeDamaged; }

// Makes the entries of a folder ones a path can name: a name with no
// characters, "." or "..", or one holding a NUL, is left out (and said);
// one holding a separator, or longer than a search can give, is there but
// never opened.
void make_nameable(std::vector<FolderEntry>* entries, Listing* listing) {
  size_t kept = 0;
  for (size_t i = 0; i < entries->size(); ++i) {
    FolderEntry& e = (*entries)[i];
    if (e.name.empty() || e.name == "." || e.name == ".." || e.name.find('\0') != std::string::npos) {
      if (listing->error == 0) {
        listing->error = kTreeDamaged;
        listing->detail = "an entry has a name that no path can hold";
      }
      continue;
    }
    if (e.name.find_first_of("/\\") != std::string::npos) e.kind = FolderEntry::kOther;
    if (e.name.size() > kLongestName) {
      size_t cut = kLongestName;
      while (cut > 0 && (static_cast<unsigned char>(e.name[cut]) & 0xc0) == 0x80) --cut;
      e.name.erase(cut);
      e.kind = FolderEntry::kOther;
    }
    if (kept != i) (*entries)[kept] = std::move(e);
    ++kept;
  }
  entries->resize(kept);
}

std::shared_ptr<const Listing> read_listing(const ImageTree& t, uint64_t node) {
  std::shared_ptr<Listing> listing(new Listing());
  ImageProblem problem;
  std::vector<FolderEntry> entries;
  if (!list_node(t, node, &entries, &problem)) {
    listing->error = error_of(problem);
    listing->detail = problem.text.empty() ? "the folder cannot be read" : problem.text;
  }
  make_nameable(&entries, listing.get());
  listing->entries = std::move(entries);
  const std::vector<FolderEntry>& all = listing->entries;
  listing->by_name.resize(all.size());
  for (uint32_t i = 0; i < all.size(); ++i) listing->by_name[i] = i;
  std::stable_sort(listing->by_name.begin(), listing->by_name.end(),
                   [&all](uint32_t a, uint32_t b) { return all[a].name < all[b].name; });
  return listing;
}

// The listing of the folder |node| at |path|: kept, or read and kept.
std::shared_ptr<const Listing> listing_of(ImageTree* t, const std::string& path, uint64_t node) {
  {
    std::lock_guard<std::mutex> hold(t->lock);
    auto found = t->listings.find(path);
    if (found != t->listings.end()) {
      t->recent.splice(t->recent.begin(), t->recent, found->second.place);
      return found->second.listing;
    }
  }
  // Read without the lock: other threads go on reading files meanwhile.
  std::shared_ptr<const Listing> listing = read_listing(*t, node);
  std::lock_guard<std::mutex> hold(t->lock);
  auto found = t->listings.find(path);
  if (found != t->listings.end()) return found->second.listing;
  while (!t->recent.empty() &&
         (t->listings.size() >= kMostListings || t->entries_kept + listing->entries.size() > kMostEntriesKept)) {
    auto last = t->listings.find(t->recent.back());
    t->entries_kept -= last->second.listing->entries.size();
    t->listings.erase(last);
    t->recent.pop_back();
  }
  t->recent.push_front(path);
  t->listings[path] = Kept{listing, t->recent.begin()};
  t->entries_kept += listing->entries.size();
  return listing;
}

const FolderEntry* find_entry(const Listing& listing, const std::string& name) {
  const std::vector<FolderEntry>& all = listing.entries;
  auto at = std::lower_bound(listing.by_name.begin(), listing.by_name.end(), name,
                             [&all](uint32_t i, const std::string& n) { return all[i].name < n; });
  if (at == listing.by_name.end() || all[*at].name != name) return nullptr;
  return &all[*at];
}

// What |path| names: the root for "". False with |*error| (a Windows
// number) and |*detail| where it names nothing, or a folder on the way
// cannot be read.
bool resolve(ImageTree* t, const std::string& path, FolderEntry* out, uint32_t* error, std::string* detail) {
  out->kind = FolderEntry::kFolder;
  out->node = t->root;
  out->length = 0;
  size_t at = 0;
  while (at < path.size()) {
    size_t end = path.find('\\', at);
    if (end == std::string::npos) end = path.size();
    if (out->kind != FolderEntry::kFolder) {
      *error = kTreeNotFolder;
      return false;
    }
    const std::shared_ptr<const Listing> listing = listing_of(t, path.substr(0, at == 0 ? 0 : at - 1), out->node);
    const FolderEntry* entry = find_entry(*listing, path.substr(at, end - at));
    if (entry == nullptr) {
      // Not found in a listing cut short: the damage is the reason.
      *error = listing->error != 0 ? listing->error : kTreePathNotFound;
      *detail = listing->detail;
      return false;
    }
    *out = *entry;
    at = end + 1;
  }
  return true;
}

int errno_of(uint32_t error) {
  switch (error) {
    case kTreePathNotFound: return ENOENT;
    case kTreeNotFolder: return ENOTDIR;
    default: return EIO;
  }
}

uint32_t tree_list(void* context, const std::string& path, std::vector<TreeEntry>* entries, uint64_t* identity,
                   bool* linked, std::string* detail) {
  ImageTree* t = static_cast<ImageTree*>(context);
  FolderEntry folder;
  uint32_t error = 0;
  if (!resolve(t, path, &folder, &error, detail)) return error;
  if (folder.kind != FolderEntry::kFolder) return kTreeNotFolder;
  const std::shared_ptr<const Listing> listing = listing_of(t, path, folder.node);
  *identity = folder.node;
  *linked = folder.link;
  const std::vector<FolderEntry>& all = listing->entries;
  entries->reserve(all.size());
  for (const FolderEntry& e : all) {
    TreeEntry entry;
    entry.name = e.name;
    entry.kind = e.kind == FolderEntry::kFolder ? PathKind::kFolder
                 : e.kind == FolderEntry::kFile ? PathKind::kFile
                                                : PathKind::kOther;
    entry.length = e.length;
    entries->push_back(std::move(entry));
  }
  // Entries of one name (ISO 9660 versions, Joliet names cut at ';', two
  // UDF identifiers alike): each opened by its place in the listing, which
  // a listing read again has too.
  const std::vector<uint32_t>& by_name = listing->by_name;
  for (size_t i = 0; i + 1 < by_name.size(); ++i) {
    if (all[by_name[i]].name != all[by_name[i + 1]].name) continue;
    (*entries)[by_name[i]].token = by_name[i] + uint64_t{1};
    (*entries)[by_name[i + 1]].token = by_name[i + 1] + uint64_t{1};
  }
  *detail = listing->detail;
  return listing->error;
}

// The entry of the folder listing at |path| whose token (its place in the
// listing, from 1) is |token|, where it has |path|'s name.
bool entry_of_token(ImageTree* t, const std::string& path, uint64_t token, FolderEntry* out, uint32_t* error,
                    std::string* detail) {
  const size_t split = path.rfind('\\');
  const std::string folder_path = split == std::string::npos ? "" : path.substr(0, split);
  const std::string name = split == std::string::npos ? path : path.substr(split + 1);
  FolderEntry folder;
  if (!resolve(t, folder_path, &folder, error, detail)) return false;
  if (folder.kind != FolderEntry::kFolder) {
    *error = kTreeNotFolder;
    return false;
  }
  const std::shared_ptr<const Listing> listing = listing_of(t, folder_path, folder.node);
  if (token == 0 || token > listing->entries.size() ||
      listing->entries[static_cast<size_t>(token - 1)].name != name) {
    *error = kTreePathNotFound;
    return false;
  }
  *out = listing->entries[static_cast<size_t>(token - 1)];
  return true;
}

void* tree_open(void* context, const std::string& path, uint64_t token, uint64_t* length) {
  ImageTree* t = static_cast<ImageTree*>(context);
  FolderEntry entry;
  uint32_t error = 0;
  std::string detail;
  if (token != 0 ? !entry_of_token(t, path, token, &entry, &error, &detail)
                 : !resolve(t, path, &entry, &error, &detail)) {
    errno = errno_of(error);
    return nullptr;
  }
  if (entry.kind != FolderEntry::kFile) {
    errno = entry.kind == FolderEntry::kFolder ? EISDIR : ENXIO;
    return nullptr;
  }
  OpenFile* file = new OpenFile();
  ImageProblem problem;
  // A file whose runs cannot be found opens, and fails to read: as a
  // file with a bad sector does.
  file->failed = !data_of(*t, entry.node, &file->runs, &file->length, &problem);
  uint64_t start = 0;
  file->starts.reserve(file->runs.size());
  for (const DataExtent& run : file->runs) {
    file->starts.push_back(start);
    start += run.length;
  }
  if (start != file->length) file->failed = true;
  *length = file->failed ? 0 : file->length;
  return file;
}

bool tree_read(void* context, void* opened, uint64_t offset, void* data, uint32_t size, uint32_t* count) {
  const ImageTree* t = static_cast<const ImageTree*>(context);
  OpenFile* file = static_cast<OpenFile*>(opened);
  *count = 0;
  if (file->failed) {
    errno = EIO;
    return false;
  }
  if (offset >= file->length) return true;
  if (size > file->length - offset) size = static_cast<uint32_t>(file->length - offset);
  // Files are read front to back: the run after the last read's is the
  // likely one; anything else is looked up.
  size_t run = file->run;
  if (run >= file->runs.size() || file->starts[run] > offset ||
      offset - file->starts[run] >= file->runs[run].length) {
    run = static_cast<size_t>(std::upper_bound(file->starts.begin(), file->starts.end(), offset) -
                              file->starts.begin()) - 1;
  }
  unsigned char* to = static_cast<unsigned char*>(data);
  while (size > 0) {
    const DataExtent& r = file->runs[run];
    const uint64_t within = offset - file->starts[run];
    const uint64_t left = r.length - within;
    const uint32_t piece = left < size ? static_cast<uint32_t>(left) : size;
    if (r.zeros) {
      memset(to, 0, piece);
    } else if (!read_data(*t, r.offset + within, piece, within == 0 && piece == r.length && r.length < kSmallFile,
                          to)) {
      // Past the end of the image, or a sector that cannot be read: the
      // file's data is not there to read.
      errno = EIO;
      return false;
    }
    to += piece;
    offset += piece;
    size -= piece;
    *count += piece;
    if (piece == left) ++run;
  }
  file->run = run;
  return true;
}

void tree_close(void*, void* opened) { delete static_cast<OpenFile*>(opened); }

PathKind tree_kind(void* context, const std::string& path, uint64_t* length) {
  FolderEntry entry;
  uint32_t error = 0;
  std::string detail;
  if (!resolve(static_cast<ImageTree*>(context), path, &entry, &error, &detail)) {
    errno = errno_of(error);
    return PathKind::kMissing;
  }
  if (entry.kind == FolderEntry::kFile) *length = entry.length;
  return entry.kind == FolderEntry::kFolder ? PathKind::kFolder
         : entry.kind == FolderEntry::kFile ? PathKind::kFile
                                            : PathKind::kOther;
}

const char* describe_kind(FileSystemKind kind) {
  switch (kind) {
    case FileSystemKind::kUdf: return "UDF file system";
    case FileSystemKind::kJoliet: return "Joliet volume";
    case FileSystemKind::kRockRidge: return "Rock Ridge entries";
    case FileSystemKind::kIso9660: return "ISO 9660 volume";
  }
  return "";
}

// Opens the file system |kind| of the tree's image. False with |problem|
// empty where the image has none.
bool open_kind(ImageTree* t, FileSystemKind kind, ImageProblem* problem) {
  t->kind = kind;
  if (kind == FileSystemKind::kUdf) {
    if (!open_udf(t->image, &t->udf, problem)) return false;
    t->root = udf_root(t->udf);
    return true;
  }
  if (!open_iso9660(t->image, kind, &t->iso, problem)) return false;
  t->root = iso9660_root(t->iso);
  return true;
}

// The identity of the file or device at |path|, where it is one.
bool identity_at(const std::string& path, FileIdentity* identity) {
  orv_io* io = orv_open(path.c_str(), 4);
  if (io == nullptr) return false;
  const bool known = orv_identity(io, identity);
  orv_close(io);
  return known;
}

// Closes the file system open_kind opened, and forgets its listings,
// leaving the image open.
void close_volume(ImageTree* t) {
  if (t->udf != nullptr) close_udf(t->udf);
  if (t->iso != nullptr) close_iso9660(t->iso);
  t->udf = nullptr;
  t->iso = nullptr;
  t->listings.clear();
  t->recent.clear();
  t->entries_kept = 0;
}

void close_tree(ImageTree* t) {
  close_volume(t);
  close_image_file(&t->image);
  delete t;
}

}  // namespace

bool parse_file_system(const std::string& word, FileSystemChoice* choice) {
  if (word == "udf") *choice = FileSystemChoice::kUdf;
  else if (word == "joliet") *choice = FileSystemChoice::kJoliet;
  else if (word == "rock-ridge") *choice = FileSystemChoice::kRockRidge;
  else if (word == "iso9660") *choice = FileSystemChoice::kIso9660;
  else return false;
  return true;
}

namespace {

// Opens the file system |choice| of the image open in |t| and mounts it
// at |path|.
RootImage mount_tree(std::unique_ptr<ImageTree> t, const std::string& path, FileSystemChoice choice,
                     std::string* problem) {
  std::vector<FileSystemKind> order;
  switch (choice) {
    case FileSystemChoice::kDefault:
      order = {FileSystemKind::kUdf, FileSystemKind::kJoliet, FileSystemKind::kIso9660};
      break;
    case FileSystemChoice::kUdf: order = {FileSystemKind::kUdf}; break;
    case FileSystemChoice::kJoliet: order = {FileSystemKind::kJoliet}; break;
    case FileSystemChoice::kRockRidge: order = {FileSystemKind::kRockRidge}; break;
    case FileSystemChoice::kIso9660: order = {FileSystemKind::kIso9660}; break;
  }
  std::string damaged;  // the first file system found damaged, and why
  bool opened = false;
  // The first file system that opens but of whose root folder nothing can
  // be read: read after all where none after it can be.
  bool root_damaged = false;
  FileSystemKind first_opened = order[0];
  for (size_t i = 0; i < order.size(); ++i) {
    const FileSystemKind k = order[i];
    ImageProblem p;
    if (open_kind(t.get(), k, &p)) {
      // A root folder of which nothing can be read is a damaged file
      // system, where another may be read. (One read in part is read, as
      // far as it goes, as Windows would.) Its listing is kept for the walk.
      if (i + 1 == order.size()) {
        opened = true;
        break;
      }
      const std::shared_ptr<const Listing> root_listing = listing_of(t.get(), "", t->root);
      if (root_listing->error == 0 || !root_listing->entries.empty()) {
        opened = true;
        break;
      }
      p.text = root_listing->detail;
      if (!root_damaged) first_opened = k;
      root_damaged = true;
      close_volume(t.get());
    }
    if (!p.text.empty() && damaged.empty()) damaged = std::string("its ") + describe_kind(k) + " cannot be read: " + p.text;
  }
  if (!opened && root_damaged) {
    // None better: the walk meets the damage there, as it would on the disc.
    ImageProblem p;
    opened = open_kind(t.get(), first_opened, &p);
    damaged.clear();
  }
  if (!opened) {
    if (!damaged.empty()) {
      *problem = path + ": " + damaged;
    } else if (choice == FileSystemChoice::kDefault) {
      *problem = path + ": the image holds no file system read here";
    } else {
      *problem = path + ": the image has no " + describe_kind(order[0]);
    }
    close_image_file(&t->image);
    return RootImage::kUnusable;
  }
  if (!damaged.empty()) *problem = path + ": " + damaged + "; read through its " + describe_kind(t->kind);

  FileIdentity identity;
  if (t->image.file != nullptr && identity_at(path, &identity)) t->read_from.push_back(identity);
  if (t->image.file != nullptr && orv_identity(t->image.file, &identity)) t->read_from.push_back(identity);
  for (const SectorPart& part : t->image.parts) {
    if (part.file != nullptr && orv_identity(part.file, &identity)) t->read_from.push_back(identity);
  }
  mounted = t.release();
  this_mount = ++mounts;
  VirtualTree tree;
  tree.context = mounted;
  tree.list = tree_list;
  tree.open = tree_open;
  tree.read = tree_read;
  tree.close = tree_close;
  tree.kind = tree_kind;
  mount_virtual_tree(path, tree);
  return RootImage::kMounted;
}

}  // namespace

RootImage mount_image_root(const std::string& root, FileSystemChoice choice, std::string* problem) {
  problem->clear();
  std::string path = root;
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  const PathKind kind = orv_path_kind(path.c_str());
  if (kind != PathKind::kFile && kind != PathKind::kOther) return RootImage::kNoFile;

  std::unique_ptr<ImageTree> t(new ImageTree());
  std::string why;
  map_refused = false;
  const ImageLook look = open_image_file(path, &t->image, &why, asked_session);
  if (look != ImageLook::kImage) {
    *problem = why;
    return look == ImageLook::kNoImage ? RootImage::kNoImage : RootImage::kUnusable;
  }
  // A rescued image is read with its map: named, or found beside it.
  std::string map_path = named_rescue_map;
  if (!map_path.empty() || find_rescue_map(path, &map_path)) {
    for (const SectorPart& part : t->image.parts) {
      if (part.file != t->image.file) {
        // A map tells the bytes of one file.
        *problem = path + ": its sessions are in several files, and the rescue map " + map_path +
                   " can tell the bytes of one";
        map_refused = true;
        close_image_file(&t->image);
        return RootImage::kUnusable;
      }
    }
    t->rescued.reset(new RescueMap());
    if (!load_rescue_map(map_path, t->rescued.get(), problem)) {
      map_refused = true;
      close_image_file(&t->image);
      return RootImage::kUnusable;
    }
    t->image.rescued = t->rescued.get();
  }
  return mount_tree(std::move(t), path, choice, problem);
}

RootImage mount_image_bytes(const std::string& path, const unsigned char* bytes, size_t size,
                            FileSystemChoice choice, std::string* problem) {
  problem->clear();
  std::unique_ptr<ImageTree> t(new ImageTree());
  t->image.bytes = bytes;
  t->image.bytes_size = size;
  t->image.sectors = size / kSectorSize;
  t->image.tail = static_cast<uint32_t>(size % kSectorSize);
  return mount_tree(std::move(t), path, choice, problem);
}

bool root_reads_file(const std::string& root, const std::string& path) {
  FileIdentity written;
  if (!identity_at(path, &written)) return false;
  // While an image is mounted at the root, its path names a folder of the
  // image: what it names on the system was noted at mounting.
  if (mounted != nullptr)
    return std::find(mounted->read_from.begin(), mounted->read_from.end(), written) != mounted->read_from.end();
  std::string typed = root;
  while (typed.size() > 1 && (typed.back() == '/' || typed.back() == '\\')) typed.pop_back();
  FileIdentity read;
  return identity_at(typed, &read) && read == written;
}

FileSystemChoice mounted_file_system() {
  if (mounted == nullptr) return FileSystemChoice::kDefault;
  switch (mounted->kind) {
    case FileSystemKind::kUdf: return FileSystemChoice::kUdf;
    case FileSystemKind::kJoliet: return FileSystemChoice::kJoliet;
    case FileSystemKind::kRockRidge: return FileSystemChoice::kRockRidge;
    case FileSystemKind::kIso9660: return FileSystemChoice::kIso9660;
  }
  return FileSystemChoice::kDefault;
}

const char* file_system_word(FileSystemChoice choice) {
  switch (choice) {
    case FileSystemChoice::kUdf: return "udf";
    case FileSystemChoice::kJoliet: return "joliet";
    case FileSystemChoice::kRockRidge: return "rock-ridge";
    case FileSystemChoice::kIso9660: return "iso9660";
    case FileSystemChoice::kDefault: break;
  }
  return "";
}

void unmount_image_root() {
  if (mounted == nullptr) return;
  window = Window();
  unmount_virtual_tree();
  close_tree(mounted);
  mounted = nullptr;
}

void use_rescue_map(const std::string& path) { named_rescue_map = path; }

void use_session(uint32_t session) { asked_session = session; }

bool rescue_map_refused() { return map_refused; }

std::string mounted_rescue_map() {
  return mounted != nullptr && mounted->rescued != nullptr ? mounted->rescued->path : std::string();
}

bool unrescued_sectors(const std::string& path, std::string* line) {
  std::string inside;
  if (mounted == nullptr || mounted->rescued == nullptr || !in_virtual_tree(path.c_str(), &inside)) return false;
  FolderEntry entry;
  uint32_t error = 0;
  std::string detail;
  if (!resolve(mounted, inside, &entry, &error, &detail) || entry.kind != FolderEntry::kFile) return false;
  std::vector<DataExtent> runs;
  uint64_t length = 0;
  ImageProblem problem;
  if (!data_of(*mounted, entry.node, &runs, &length, &problem)) return false;
  // The data's sectors a rescue did not read, in runs, the first few said.
  const SectorImage& image = mounted->image;
  const size_t kMostSaid = 8;
  std::vector<std::pair<uint64_t, uint64_t>> lost;  // first and last sector
  bool more = false;
  for (const DataExtent& run : runs) {
    if (run.zeros || run.length == 0) continue;
    // Piece by piece of the parts of the disc it lies in.
    uint64_t offset = run.offset;
    const uint64_t run_end = run.offset + run.length;
    SectorPart part;
    while (!more && offset < run_end && part_of(image, offset / kSectorSize, &part)) {
      const uint64_t part_end = (part.first + part.sectors) * kSectorSize;
      const uint64_t piece_end = std::min(run_end, part_end);
      const uint64_t last = piece_end - 1;
      const uint64_t begin = part.start + (offset / kSectorSize - part.first) * part.stride + part.data_offset +
                             offset % kSectorSize;
      const uint64_t end =
          part.start + (last / kSectorSize - part.first) * part.stride + part.data_offset + last % kSectorSize + 1;
      uint64_t at = begin, from = 0, to = 0;
      while (!more && first_unrescued(*mounted->rescued, at, end, &from, &to)) {
        const uint64_t first_sector = part.first + (from - part.start) / part.stride;
        const uint64_t last_sector = part.first + (to - 1 - part.start) / part.stride;
        if (!lost.empty() && lost.back().second + 1 >= first_sector) {
          lost.back().second = std::max(lost.back().second, last_sector);
        } else if (lost.size() == kMostSaid) {
          more = true;
        } else {
          lost.push_back({first_sector, last_sector});
        }
        at = to;
      }
      offset = piece_end;
    }
  }
  if (lost.empty()) return false;
  std::string sectors;
  for (const auto& l : lost) {
    if (!sectors.empty()) sectors += ", ";
    sectors += std::to_string(l.first);
    if (l.second != l.first) sectors += "-" + std::to_string(l.second);
  }
  if (more) sectors += " and more";
  *line = native_path(path) + ": not rescued: its data at sector" +
          (lost.size() > 1 || lost[0].first != lost[0].second ? "s " : " ") + sectors + " is unknown to " +
          mounted->rescued->path;
  return true;
}
