#include "platform/orvlib.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../../tests/temp_tree.h"
#include "platform/byte_order.h"

namespace {

uint64_t size_field(const orv_io* io) {
  return load_le64(reinterpret_cast<const unsigned char*>(io) + 8);
}

bool end_flag(const orv_io* io) { return reinterpret_cast<const unsigned char*>(io)[16] != 0; }

// Reads |path| to its end in pieces of |chunk|; the number of reads it took.
int reads_to_end(const std::string& path, uint32_t chunk, uint64_t* total) {
  orv_io* io = orv_open(path.c_str(), 0);
  EXPECT_NE(nullptr, io) << path;
  if (io == nullptr) return -1;
  std::string buffer(chunk, '\0');
  int reads = 0;
  *total = 0;
  uint32_t count = 0;
  while (!end_flag(io) && reads < 1000) {
    EXPECT_TRUE(orv_read(&buffer[0], chunk, &count, io));
    *total += count;
    ++reads;
  }
  EXPECT_EQ(*total, size_field(io));
  EXPECT_EQ(0, orv_close(io));
  return reads;
}

TEST(OrvFileTest, EndFlagComesWithTheLastByte) {
  TempDir tmp;
  uint64_t total = 0;
  write_file(tmp.path + "/empty", "");
  EXPECT_EQ(1, reads_to_end(tmp.path + "/empty", 16384, &total));
  EXPECT_EQ(0u, total);

  // An exact multiple cannot be told from a longer file until a read
  // returns nothing.
  write_file(tmp.path + "/exact", std::string(32768, 'x'));
  EXPECT_EQ(3, reads_to_end(tmp.path + "/exact", 16384, &total));
  EXPECT_EQ(32768u, total);

  write_file(tmp.path + "/odd", std::string(16385, 'x'));
  EXPECT_EQ(2, reads_to_end(tmp.path + "/odd", 16384, &total));
  EXPECT_EQ(16385u, total);
}

TEST(OrvFileTest, SizeFieldHoldsSizesOver4GiB) {
  TempDir tmp;
  const std::string path = tmp.path + "/big";
  write_file(path, "");
  ASSERT_EQ(0, truncate(path.c_str(), 5000000000ll));
  orv_io* io = orv_open(path.c_str(), 0);
  ASSERT_NE(nullptr, io);
  EXPECT_EQ(5000000000u, size_field(io));
  EXPECT_FALSE(end_flag(io));
  orv_close(io);
}

TEST(OrvFileTest, OnlyRegularFilesOpenForReading) {
  TempDir tmp;
  const std::string fifo = tmp.path + "/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  EXPECT_EQ(nullptr, orv_open(fifo.c_str(), 0));  // and does not wait for a writer
  EXPECT_EQ(nullptr, orv_open(tmp.path.c_str(), 0));
  EXPECT_EQ(nullptr, orv_open("/dev/null", 0));
  EXPECT_EQ(nullptr, orv_open((tmp.path + "/missing").c_str(), 0));
  EXPECT_EQ(ENOENT, errno);

  const int fd = make_socket(tmp.path + "/sock");
  EXPECT_EQ(nullptr, orv_open((tmp.path + "/sock").c_str(), 0));
  close(fd);
}

// Reads |io| to its end and closes it.
std::string read_all(orv_io* io) {
  std::string all;
  char buffer[7];
  uint32_t count = 0;
  while (!end_flag(io)) {
    if (!orv_read(buffer, sizeof buffer, &count, io)) {
      ADD_FAILURE() << "read failed: " << strerror(errno);
      break;
    }
    all.append(buffer, count);
  }
  EXPECT_EQ(0, orv_close(io));
  return all;
}

TEST(OrvFileTest, StreamsOpenForReading) {
  TempDir tmp;
  const std::string file = tmp.path + "/file";
  write_file(file, "a regular file");
  orv_io* io = orv_open(file.c_str(), 3);
  ASSERT_NE(nullptr, io);
  EXPECT_EQ(14u, size_field(io));
  FileIdentity identity, again;
  EXPECT_TRUE(orv_identity(io, &identity));
  orv_io* other = orv_open(file.c_str(), 0);
  ASSERT_TRUE(orv_identity(other, &again));
  EXPECT_TRUE(identity == again);
  orv_close(other);
  EXPECT_EQ("a regular file", read_all(io));

  // A FIFO waits for its writer, and has no size and no identity.
  const std::string fifo = tmp.path + "/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  std::thread writer([&fifo] {
    usleep(50000);
    const int fd = open(fifo.c_str(), O_WRONLY);
    EXPECT_EQ(5, write(fd, "piped", 5));
    usleep(50000);
    EXPECT_EQ(5, write(fd, " more", 5));
    close(fd);
  });
  io = orv_open(fifo.c_str(), 3);
  ASSERT_NE(nullptr, io);
  EXPECT_EQ(0u, size_field(io));
  EXPECT_FALSE(orv_identity(io, &identity));
  EXPECT_EQ("piped more", read_all(io));
  writer.join();

  EXPECT_EQ(nullptr, orv_open(tmp.path.c_str(), 3));
  EXPECT_EQ(EISDIR, errno);
  EXPECT_EQ(nullptr, orv_open((tmp.path + "/missing").c_str(), 3));
  EXPECT_EQ(ENOENT, errno);
}

// Runs |test| with descriptor 0 on |fd|, and puts standard input back.
template <typename Test>
void with_standard_input(int fd, Test test) {
  const int saved = dup(0);
  ASSERT_EQ(0, dup2(fd, 0));
  close(fd);
  test();
  dup2(saved, 0);
  close(saved);
}

TEST(OrvFileTest, StandardInputOpensFromWhereItStands) {
  TempDir tmp;
  const std::string file = tmp.path + "/file";
  write_file(file, "skipped, then read");
  const int fd = open(file.c_str(), O_RDONLY);
  ASSERT_EQ(9, lseek(fd, 9, SEEK_SET));
  with_standard_input(fd, [] {
    orv_io* io = orv_open_standard_input();
    ASSERT_NE(nullptr, io);
    EXPECT_EQ(9u, size_field(io));
    FileIdentity identity;
    EXPECT_TRUE(orv_identity(io, &identity));
    EXPECT_EQ("then read", read_all(io));
    // Closing the handle leaves descriptor 0 open.
    EXPECT_NE(-1, fcntl(0, F_GETFD));
  });

  // A pipe left non-blocking is waited for.
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  fcntl(ends[0], F_SETFL, O_NONBLOCK);
  std::thread writer([&ends] {
    usleep(50000);
    EXPECT_EQ(4, write(ends[1], "late", 4));
    close(ends[1]);
  });
  with_standard_input(ends[0], [] {
    orv_io* io = orv_open_standard_input();
    ASSERT_NE(nullptr, io);
    EXPECT_EQ(0u, size_field(io));
    EXPECT_EQ("late", read_all(io));
  });
  writer.join();
}

TEST(OrvFileTest, BackslashesSeparateFolders) {
  TempDir tmp;
  make_dir(tmp.path + "/d");
  write_file(tmp.path + "/d/f", "abc");
  orv_io* io = orv_open((tmp.path + "\\d\\f").c_str(), 0);
  ASSERT_NE(nullptr, io);
  EXPECT_EQ(3u, size_field(io));
  orv_close(io);
}

TEST(OrvFileTest, WritingTruncatesAndKeepsBytesUnchanged) {
  TempDir tmp;
  const std::string path = tmp.path + "/out";
  write_file(path, std::string(100, 'x'));
  orv_io* io = orv_open(path.c_str(), 2);
  ASSERT_NE(nullptr, io);
  uint32_t written = 0;
  EXPECT_TRUE(orv_write("a\r\nb\n", 5, &written, io));
  EXPECT_EQ(5u, written);
  EXPECT_TRUE(orv_write("\r\n", 2, nullptr, io));
  EXPECT_EQ(0, orv_close(io));
  EXPECT_EQ("a\r\nb\n\r\n", read_file(path));
}

TEST(OrvFileTest, IdentityIsTheFilesWhateverTheMode) {
  TempDir tmp;
  const std::string path = tmp.path + "/m";
  orv_io* written = orv_open(path.c_str(), 2);
  ASSERT_NE(nullptr, written);
  write_file(tmp.path + "/other", "");
  ASSERT_EQ(0, link(path.c_str(), (tmp.path + "/same").c_str()));
  FileIdentity of_written;
  ASSERT_TRUE(orv_identity(written, &of_written));
  for (const char* name : {"/m", "/same", "/other"}) {
    orv_io* read = orv_open((tmp.path + name).c_str(), 0);
    ASSERT_NE(nullptr, read);
    FileIdentity of_read;
    EXPECT_TRUE(orv_identity(read, &of_read));
    EXPECT_EQ(std::string(name) != "/other", of_read == of_written) << name;
    orv_close(read);
  }
  orv_close(written);
}

TEST(OrvFileTest, FailedWriteIsRememberedUntilClose) {
  orv_io* io = orv_open("/dev/full", 2);
  ASSERT_NE(nullptr, io);
  uint32_t written = 7;
  EXPECT_FALSE(orv_write("abc", 3, &written, io));
  EXPECT_EQ(0u, written);
  EXPECT_EQ(ENOSPC, orv_close(io));

  TempDir tmp;
  EXPECT_EQ(nullptr, orv_open((tmp.path + "/missing/out").c_str(), 2));
  EXPECT_EQ(ENOENT, errno);
}

}  // namespace

TEST(OrvFileTest, ImagesAreReadAtOffsetsByManyThreadsAtOnce) {
  TempDir tmp;
  std::string content(1 << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 4096);
  write_file(tmp.path + "/disc.iso", content);
  orv_io* io = orv_open((tmp.path + "/disc.iso").c_str(), 4);
  ASSERT_NE(nullptr, io);
  EXPECT_EQ(content.size(), size_field(io));

  // Each thread reads other places; none may see another's position.
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t]() {
      char buffer[5000];
      for (uint64_t at = static_cast<uint64_t>(t) * 997; at + sizeof buffer <= content.size(); at += 40009) {
        uint32_t got = 0;
        if (!orv_read_at(io, at, buffer, sizeof buffer, &got) || got != sizeof buffer ||
            memcmp(buffer, content.data() + at, got) != 0)
          ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());

  // At the end: what is there, then nothing; never an error.
  char tail[100];
  uint32_t got = 0;
  EXPECT_TRUE(orv_read_at(io, content.size() - 10, tail, sizeof tail, &got));
  EXPECT_EQ(10u, got);
  EXPECT_TRUE(orv_read_at(io, content.size() + 4096, tail, sizeof tail, &got));
  EXPECT_EQ(0u, got);
  EXPECT_EQ(0, orv_close(io));

  // Only files and block devices are images.
  EXPECT_EQ(nullptr, orv_open(tmp.path.c_str(), 4));
  EXPECT_EQ(EISDIR, errno);
  EXPECT_EQ(nullptr, orv_open("/dev/null", 4));
  EXPECT_EQ(ENXIO, errno);
}
