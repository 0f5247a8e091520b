#include "platform/search.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "../../tests/temp_tree.h"

namespace {

// An entry's name, and whether it is a folder.
using Found = std::pair<std::string, bool>;

// Every entry of the search |pattern|; where FindFirstFileA fails, none,
// and its error in |*error|.
std::vector<Found> list(const std::string& pattern, long* error = nullptr) {
  std::vector<Found> found;
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = static_cast<long>(GetLastError());
    return found;
  }
  do {
    found.push_back({data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileA(search, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
  EXPECT_TRUE(FindClose(search));
  if (error != nullptr) *error = 0;
  return found;
}

long first_error(const std::string& pattern) {
  long error = -1;
  list(pattern, &error);
  return error;
}

int open_descriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

TEST(SearchTest, DotEntriesFirstThenByteOrder) {
  TempDir tmp;
  for (const char* name : {"b", "B", "a", "-x", "\xe9t\xe9", "a b"}) write_file(tmp.path + "/" + name, "");
  make_dir(tmp.path + "/.hidden");
  const std::vector<Found> expected = {{".", true},   {"..", true},  {"-x", false},
                                       {".hidden", true}, {"B", false}, {"a", false},
                                       {"a b", false}, {"b", false},  {"\xe9t\xe9", false}};
  EXPECT_EQ(expected, list(tmp.path + "/*"));
}

TEST(SearchTest, BackslashesSeparateFolders) {
  TempDir tmp;
  make_dir(tmp.path + "/sub");
  write_file(tmp.path + "/sub/f", "");
  EXPECT_EQ(3u, list(tmp.path + "\\sub\\*").size());
}

TEST(SearchTest, WildcardsMatchTheLastComponent) {
  TempDir tmp;
  for (const char* name : {"disc", "disc1", "disco", "dis", "other"}) write_file(tmp.path + "/" + name, "");
  const std::vector<Found> prefix = {{"disc", false}, {"disc1", false}, {"disco", false}};
  EXPECT_EQ(prefix, list(tmp.path + "/disc*"));
  const std::vector<Found> one = {{"disc1", false}, {"disco", false}};
  EXPECT_EQ(one, list(tmp.path + "/disc?"));
  const std::vector<Found> inner = {{"disco", false}, {"other", false}};
  EXPECT_EQ(inner, list(tmp.path + "/*o*"));
  EXPECT_EQ(7u, list(tmp.path + "/*.*").size());
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, first_error(tmp.path + "/x*"));
}

TEST(SearchTest, ErrorNumbersAsWindowsReportsThem) {
  TempDir tmp;
  write_file(tmp.path + "/file", "");
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, first_error(tmp.path + "/missing/*"));
  EXPECT_EQ(ERROR_DIRECTORY, first_error(tmp.path + "/file/*"));
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, first_error(tmp.path + "/" + std::string(5000, 'x') + "/*"));
  make_link("loop", tmp.path + "/loop");
  EXPECT_EQ(ERROR_CANT_RESOLVE_FILENAME, first_error(tmp.path + "/loop/*"));
}

TEST(SearchTest, AccessRefusedIsFive) {
  TempDir tmp;
  make_dir(tmp.path + "/closed");
  chmod(tmp.path.c_str(), 0755);
  chmod((tmp.path + "/closed").c_str(), 0);
  // Root may read anything, so the check runs as an unprivileged user.
  const pid_t child = fork();
  if (child == 0) {
    if (getuid() == 0 && setuid(65534) != 0) _exit(100);
    _exit(static_cast<int>(first_error(tmp.path + "/closed/*") & 0xff));
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  chmod((tmp.path + "/closed").c_str(), 0755);
  EXPECT_EQ(ERROR_ACCESS_DENIED, WEXITSTATUS(status));
}

TEST(SearchTest, DirectoryBitFollowsLinks) {
  TempDir tmp;
  make_dir(tmp.path + "/d");
  make_link("d", tmp.path + "/to_dir");
  make_link("nowhere", tmp.path + "/dangling");
  mkfifo((tmp.path + "/fifo").c_str(), 0600);
  const std::vector<Found> expected = {{".", true},       {"..", true},     {"d", true},
                                       {"dangling", false}, {"fifo", false}, {"to_dir", true}};
  EXPECT_EQ(expected, list(tmp.path + "/*"));
}

// A search with lengths gives each regular file's, links followed, and
// none for what is no regular file; a plain search gives none.
TEST(SearchTest, LengthsOfRegularFilesOnly) {
  TempDir tmp;
  make_dir(tmp.path + "/d");
  write_file(tmp.path + "/five", "hello");
  write_file(tmp.path + "/empty", "");
  make_link("five", tmp.path + "/to_five");
  make_link("nowhere", tmp.path + "/dangling");
  mkfifo((tmp.path + "/fifo").c_str(), 0600);
  const auto lengths = [&](bool with) {
    std::vector<std::pair<std::string, long long>> found;
    WIN32_FIND_DATAA data;
    HANDLE search = with ? find_first_file_with_lengths((tmp.path + "/*").c_str(), &data)
                         : FindFirstFileA((tmp.path + "/*").c_str(), &data);
    EXPECT_NE(INVALID_HANDLE_VALUE, search);
    do {
      uint64_t length = 0;
      found.push_back({data.cFileName, entry_length(&data, &length) ? static_cast<long long>(length) : -1});
    } while (FindNextFileA(search, &data));
    FindClose(search);
    return found;
  };
  const std::vector<std::pair<std::string, long long>> expected = {
      {".", -1}, {"..", -1}, {"d", -1}, {"dangling", -1}, {"empty", 0}, {"fifo", -1}, {"five", 5}, {"to_five", 5}};
  EXPECT_EQ(expected, lengths(true));
  for (const auto& entry : lengths(false)) EXPECT_EQ(-1, entry.second) << entry.first;
}

TEST(SearchTest, FolderWhoseSearchIsOpenCannotBeSearchedAgain) {
  TempDir tmp;
  make_dir(tmp.path + "/a");
  make_dir(tmp.path + "/b");
  make_link("..", tmp.path + "/a/up");
  make_link("../b", tmp.path + "/a/to_b");
  make_link(".", tmp.path + "/a/self");
  WIN32_FIND_DATAA data;
  HANDLE root = FindFirstFileA((tmp.path + "/*").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, root);
  HANDLE a = FindFirstFileA((tmp.path + "/a/*").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, a);
  EXPECT_EQ(ERROR_CANT_RESOLVE_FILENAME, first_error(tmp.path + "/a/up/*"));
  EXPECT_EQ(ERROR_CANT_RESOLVE_FILENAME, first_error(tmp.path + "/a/self/*"));
  EXPECT_EQ(2u, list(tmp.path + "/a/to_b/*").size());  // outside the open path
  FindClose(a);
  EXPECT_EQ(5u, list(tmp.path + "/a/*").size());  // closed searches do not count
  FindClose(root);
  EXPECT_EQ(4u, list(tmp.path + "/a/up/*").size());
}

TEST(SearchTest, OpenSearchesHoldNoDescriptor) {
  TempDir tmp;
  const int before = open_descriptors();
  std::vector<HANDLE> open;
  std::string folder = tmp.path;
  for (int level = 0; level < 50; ++level) {
    folder += "/d";
    make_dir(folder);
    WIN32_FIND_DATAA data;
    open.push_back(FindFirstFileA((folder + "/*").c_str(), &data));
    ASSERT_NE(INVALID_HANDLE_VALUE, open.back());
  }
  EXPECT_EQ(before, open_descriptors());
  for (HANDLE search : open) FindClose(search);
}

TEST(SearchTest, ManyEntries) {
  TempDir tmp;
  for (int i = 0; i < 5000; ++i) {
    char name[16];
    snprintf(name, sizeof name, "f%05d", 4999 - i);
    write_file(tmp.path + "/" + name, "");
  }
  const std::vector<Found> found = list(tmp.path + "/*");
  ASSERT_EQ(5002u, found.size());
  EXPECT_EQ("f00000", found[2].first);
  EXPECT_EQ("f04999", found.back().first);
}

TEST(SearchTest, InvalidHandles) {
  WIN32_FIND_DATAA data;
  EXPECT_FALSE(FindNextFileA(INVALID_HANDLE_VALUE, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
}

}  // namespace
