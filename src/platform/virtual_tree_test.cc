#include "platform/virtual_tree.h"

#include <errno.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../tests/temp_tree.h"
#include "platform/search.h"

namespace {

// A tree held in maps: folders by path, files' contents by path.
struct FakeTree {
  std::map<std::string, std::vector<TreeEntry>> folders;
  std::map<std::string, uint64_t> identities;
  std::map<std::string, std::string> files;
  std::map<std::string, std::pair<uint32_t, std::string>> failures;  // a folder's, after its entries
  std::vector<std::string> listed;
  std::set<std::string> linked;  // folders whose path ends in a link
};

uint32_t fake_list(void* context, const std::string& path, std::vector<TreeEntry>* entries, uint64_t* identity,
                   bool* linked, std::string* detail) {
  FakeTree* t = static_cast<FakeTree*>(context);
  t->listed.push_back(path);
  auto failure = t->failures.find(path);
  auto folder = t->folders.find(path);
  if (folder == t->folders.end()) {
    if (failure == t->failures.end()) return kTreePathNotFound;
    *detail = failure->second.second;
    return failure->second.first;
  }
  *entries = folder->second;
  *identity = t->identities[path];
  *linked = t->linked.count(path) != 0;
  if (failure == t->failures.end()) return 0;
  *detail = failure->second.second;
  return failure->second.first;
}

void* fake_open(void* context, const std::string& path, uint64_t token, uint64_t* length) {
  FakeTree* t = static_cast<FakeTree*>(context);
  // An entry that shares its path: its file is "PATH#TOKEN".
  auto file = t->files.find(token == 0 ? path : path + "#" + std::to_string(token));
  if (file == t->files.end()) {
    errno = t->folders.count(path) ? EISDIR : ENOENT;
    return nullptr;
  }
  *length = file->second.size();
  return &file->second;
}

bool fake_read(void*, void* file, uint64_t offset, void* data, uint32_t size, uint32_t* count) {
  const std::string& content = *static_cast<std::string*>(file);
  if (content == "unreadable") {
    errno = EIO;
    return false;
  }
  *count = 0;
  if (offset >= content.size()) return true;
  *count = static_cast<uint32_t>(std::min<uint64_t>(size, content.size() - offset));
  memcpy(data, content.data() + offset, *count);
  return true;
}

void fake_close(void*, void*) {}

PathKind fake_kind(void* context, const std::string& path, uint64_t* length) {
  FakeTree* t = static_cast<FakeTree*>(context);
  if (t->folders.count(path)) return PathKind::kFolder;
  auto file = t->files.find(path);
  if (file == t->files.end()) {
    errno = ENOENT;
    return PathKind::kMissing;
  }
  *length = file->second.size();
  return PathKind::kFile;
}

TreeEntry entry(const std::string& name, PathKind kind, uint64_t length = 0) {
  TreeEntry e;
  e.name = name;
  e.kind = kind;
  e.length = length;
  return e;
}

// The fake tree mounted at "/img/disc.iso" for one test.
struct Mounted {
  FakeTree tree;
  Mounted() {
    tree.folders[""] = {entry("b", PathKind::kFile, 5), entry("A", PathKind::kFolder), entry("dev", PathKind::kOther)};
    tree.identities[""] = 1;
    tree.folders["A"] = {entry("up", PathKind::kFolder), entry("x.txt", PathKind::kFile, 3)};
    tree.identities["A"] = 2;
    tree.folders["A\\up"] = tree.folders[""];
    tree.identities["A\\up"] = 1;  // the root again
    tree.files["b"] = "hello";
    tree.files["A\\x.txt"] = "unreadable";
    VirtualTree functions = {&tree, fake_list, fake_open, fake_read, fake_close, fake_kind};
    mount_virtual_tree("/img/disc.iso/", functions);
  }
  ~Mounted() { unmount_virtual_tree(); }
};

// The names a search of |pattern| gives, and how it ends.
std::string search(const std::string& pattern) {
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(pattern.c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return "failed " + std::to_string(GetLastError());
  std::string names = data.cFileName;
  while (FindNextFileA(h, &data)) names += std::string(" ") + data.cFileName;
  names += " | " + std::to_string(GetLastError());
  FindClose(h);
  return names;
}

TEST(VirtualTreeTest, SearchesBelowTheMountAreTheTrees) {
  Mounted m;
  // Dots first, then the tree's own order; either separator; "*" and "?".
  EXPECT_EQ(". .. b A dev | 18", search("/img/disc.iso\\*"));
  EXPECT_EQ(". .. b A dev | 18", search("/img/disc.iso//*"));
  EXPECT_EQ(". .. up x.txt | 18", search("/img/disc.iso/A\\*"));
  EXPECT_EQ("x.txt | 18", search("/img/disc.iso/A\\?.*t"));
  EXPECT_EQ("failed 2", search("/img/disc.iso\\nothing*"));
  EXPECT_EQ("failed 3", search("/img/disc.iso\\missing\\*"));
  // The file itself, and what only starts like it, are the system's.
  EXPECT_EQ("failed 3", search("/img/disc.iso*"));
  EXPECT_EQ("failed 3", search("/img/disc.isox\\*"));

  WIN32_FIND_DATAA data;
  HANDLE h = find_first_file_with_lengths("/img/disc.iso\\*", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  uint64_t length = 0;
  std::string kinds;
  do {
    kinds += std::string(data.cFileName) + "=" + std::to_string(data.dwFileAttributes) + ":" +
             (entry_length(&data, &length) ? std::to_string(length) : "-") + " ";
  } while (FindNextFileA(h, &data));
  FindClose(h);
  EXPECT_EQ(".=16:- ..=16:- b=128:5 A=16:- dev=64:- ", kinds);
}

TEST(VirtualTreeTest, AFolderWhoseSearchIsOpenFailsAsALoop) {
  Mounted m;
  WIN32_FIND_DATAA data;
  HANDLE root = FindFirstFileA("/img/disc.iso/*", &data);
  HANDLE a = FindFirstFileA("/img/disc.iso/A\\*", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, a);
  // A\up is the root, whose search is open.
  EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileA("/img/disc.iso/A\\up\\*", &data));
  EXPECT_EQ(1921u, GetLastError());
  FindClose(a);
  FindClose(root);
  EXPECT_EQ(". .. b A dev | 18", search("/img/disc.iso/A\\up\\*"));
}

TEST(VirtualTreeTest, AFolderMetAgainInTheWalkIsDamageOrALinkBack) {
  Mounted m;
  // "B" and "C" in the root both lead to the folder of A: a second parent.
  m.tree.folders[""] = {entry("A", PathKind::kFolder), entry("B", PathKind::kFolder), entry("C", PathKind::kFolder)};
  m.tree.folders["B"] = m.tree.folders["A"];
  m.tree.identities["B"] = 2;
  m.tree.folders["C"] = m.tree.folders["A"];
  m.tree.identities["C"] = 2;
  m.tree.linked.insert("C");  // through a symbolic link
  WIN32_FIND_DATAA data;
  HANDLE root = FindFirstFileA("/img/disc.iso/*", &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, root);
  EXPECT_EQ(". .. up x.txt | 18", search("/img/disc.iso/A\\*"));
  EXPECT_EQ("failed 1392", search("/img/disc.iso/B\\*"));
  EXPECT_EQ("the folder was met before in the walk: a folder has one parent; not walked again",
            describe_search_error(1392));
  EXPECT_EQ("failed 1921", search("/img/disc.iso/C\\*"));
  FindClose(root);
  // A walk that starts again (no search open) meets each folder afresh.
  EXPECT_EQ(". .. up x.txt | 18", search("/img/disc.iso/B\\*"));
}

TEST(VirtualTreeTest, FailuresCarryTheTreesOwnReason) {
  Mounted m;
  m.tree.failures[""] = {kTreeDamaged, "directory record at byte 40 is damaged"};
  m.tree.failures["bad"] = {kTreeUnreadable, "sector 99 cannot be read"};
  // A listing cut short: its entries, then the error.
  EXPECT_EQ(". .. b A dev | 1392", search("/img/disc.iso/*"));
  EXPECT_EQ("directory record at byte 40 is damaged", describe_search_error(1392));
  EXPECT_EQ("failed 23", search("/img/disc.iso/bad\\*"));
  EXPECT_EQ("sector 99 cannot be read", describe_search_error(23));
  // Without a reason of the tree's, the number's own text.
  EXPECT_EQ("failed 3", search("/img/disc.iso/gone\\*"));
  EXPECT_EQ(strerror(ENOENT), describe_search_error(3));
}

TEST(VirtualTreeTest, FilesOfTheTreeOpenAndReadAsAnyOther) {
  Mounted m;
  orv_io* io = orv_open("/img/disc.iso\\b", 0);
  ASSERT_NE(nullptr, io);
  char buffer[16];
  uint32_t count = 0;
  ASSERT_TRUE(orv_read(buffer, 3, &count, io));
  EXPECT_EQ("hel", std::string(buffer, count));
  ASSERT_TRUE(orv_read(buffer, 16, &count, io));
  EXPECT_EQ("lo", std::string(buffer, count));
  EXPECT_NE(0, reinterpret_cast<unsigned char*>(io)[16]);  // at its end
  ASSERT_TRUE(orv_read_at(io, 1, buffer, 2, &count));
  EXPECT_EQ("el", std::string(buffer, count));
  FileIdentity identity;
  EXPECT_FALSE(orv_identity(io, &identity));
  EXPECT_EQ(0, orv_close(io));

  io = orv_open("/img/disc.iso/A/x.txt", 1);
  ASSERT_NE(nullptr, io);
  errno = 0;
  EXPECT_FALSE(orv_read(buffer, 16, &count, io));
  EXPECT_EQ(EIO, errno);
  EXPECT_EQ(EIO, orv_close(io));

  EXPECT_EQ(nullptr, orv_open("/img/disc.iso/A", 0));
  EXPECT_EQ(EISDIR, errno);
  EXPECT_EQ(nullptr, orv_open("/img/disc.iso/none", 0));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(PathKind::kFolder, orv_path_kind("/img/disc.iso\\A"));
  EXPECT_EQ(PathKind::kFile, orv_path_kind("/img/disc.iso\\b"));
  uint64_t length = 0;
  EXPECT_TRUE(orv_file_length("/img/disc.iso\\b", &length));
  EXPECT_EQ(5u, length);
  // Other modes, and other paths, are the system's.
  TempDir tmp;
  write_file(tmp.path + "/real", "real");
  io = orv_open((tmp.path + "/real").c_str(), 0);
  ASSERT_NE(nullptr, io);
  EXPECT_TRUE(orv_identity(io, &identity));
  orv_close(io);
  EXPECT_EQ(nullptr, orv_open("/img/disc.iso\\b", 3));
}

TEST(VirtualTreeTest, EachOpenOfASharedPathIsTheEntryASearchGaveInTurn) {
  Mounted m;
  TreeEntry first = entry("same", PathKind::kFile, 3), second = entry("same", PathKind::kFile, 6);
  first.token = 7;
  second.token = 9;
  m.tree.folders["A"] = {first, entry("x.txt", PathKind::kFile, 3), second};
  m.tree.files["A\\same#7"] = "one";
  m.tree.files["A\\same#9"] = "second";
  m.tree.files["A\\same"] = "by name";
  // Two searches (two walks) give each entry twice; the opens, after the
  // searches have ended, take them in that order, then the name's own.
  EXPECT_EQ(". .. same x.txt same | 18", search("/img/disc.iso/A\\*"));
  EXPECT_EQ(". .. same x.txt same | 18", search("/img/disc.iso/A/*"));
  std::string read;
  for (int i = 0; i < 5; ++i) {
    orv_io* io = orv_open("/img/disc.iso/A\\same", 1);
    ASSERT_NE(nullptr, io);
    char buffer[16];
    uint32_t count = 0;
    ASSERT_TRUE(orv_read(buffer, sizeof buffer, &count, io));
    read += std::string(buffer, count) + " ";
    orv_close(io);
  }
  EXPECT_EQ("one second one second by name ", read);
}

TEST(VirtualTreeTest, WildcardsMatchAsWindowsMatches) {
  EXPECT_TRUE(wildcard_match("*", ""));
  EXPECT_TRUE(wildcard_match("*.*", "noext"));
  EXPECT_TRUE(wildcard_match("a*c", "abbbc"));
  EXPECT_FALSE(wildcard_match("a*c", "abbbd"));
  EXPECT_TRUE(wildcard_match("?b*", "ab"));
  EXPECT_FALSE(wildcard_match("?b", "b"));
}

}  // namespace
