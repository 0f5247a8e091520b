#include "manifest/manifest.h"

#include <errno.h>
#include <sys/mman.h>

#include <string>

#include <gtest/gtest.h>

#include "../../tests/temp_tree.h"

namespace {

TEST(WritePieceTest, PiecesOf4GiBAndMoreAreWrittenWhole) {
  // An untouched anonymous mapping costs no memory, and /dev/null reads
  // none of it.
  const uint64_t size = (uint64_t{1} << 32) + 5;
  void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(MAP_FAILED, data);
  orv_io* io = orv_open("/dev/null", 2);
  ASSERT_NE(nullptr, io);
  EXPECT_EQ(size, write_piece(io, data, size));
  EXPECT_EQ(0, orv_close(io));
  munmap(data, size);
}

TEST(WritePieceTest, BytesGoOutUnchangedAndAFailureIsKept) {
  TempDir tmp;
  orv_io* io = orv_open((tmp.path + "/m").c_str(), 2);
  ASSERT_NE(nullptr, io);
  EXPECT_EQ(28u, write_piece(io, manifest_header("")));
  EXPECT_EQ(0u, write_piece(io, ""));
  EXPECT_EQ(0, orv_close(io));
  EXPECT_EQ("<root>\r\n<key_disc name=\"\">\r\n", read_file(tmp.path + "/m"));

  io = orv_open("/dev/full", 2);
  ASSERT_NE(nullptr, io);
  EXPECT_EQ(0u, write_piece(io, manifest_footer()));
  EXPECT_EQ(ENOSPC, orv_close(io));
}

}  // namespace
