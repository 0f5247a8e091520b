// Temporary folder trees for the tests.
#ifndef DISC_MANIFEST_TESTS_TEMP_TREE_H_
#define DISC_MANIFEST_TESTS_TEMP_TREE_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

/// A fresh folder below $TMPDIR (or /tmp), removed with all it holds.
struct TempDir {
  std::string path;
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr ? base : "/tmp") + "/dm-test-XXXXXX";
    path = mkdtemp(&tmpl[0]);
  }
  ~TempDir() {
    // Copes with trees deeper than PATH_MAX; tests that take permissions
    // away give them back.
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) ADD_FAILURE() << "cannot remove " << path << ": " << error.message();
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

inline void make_dir(const std::string& path) { ASSERT_EQ(0, mkdir(path.c_str(), 0777)) << path; }

inline void make_link(const std::string& target, const std::string& path) {
  ASSERT_EQ(0, symlink(target.c_str(), path.c_str())) << path;
}

/// A listening-less Unix socket bound at |path|; the caller closes it.
inline int make_socket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address)) << path;
  return fd;
}

/// Names in several scripts, in UTF-8: "cafe" with an acute e; "Japanese"
/// in three kanji; "Greek" and "file" in Greek.
const char kCafe[] = "caf\u00e9";
const char kJapanese[] = "\u65e5\u672c\u8a9e";
const char kGreek[] = "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac";
const char kGreekFile[] = "\u03b1\u03c1\u03c7\u03b5\u03af\u03bf";

/// Files |root| + "cafe.txt", "Japanese.txt", "plain.txt" and
/// "Greek/file.txt" in those scripts, each holding its name without the
/// extension (5, 9, 5 and 12 bytes).
inline void make_scripts_tree(const std::string& root) {
  write_file(root + kCafe + ".txt", kCafe);
  write_file(root + kJapanese + ".txt", kJapanese);
  write_file(root + "plain.txt", "plain");
  make_dir(root + kGreek);
  write_file(root + kGreek + "/" + kGreekFile + ".txt", kGreekFile);
}

#endif  // DISC_MANIFEST_TESTS_TEMP_TREE_H_
