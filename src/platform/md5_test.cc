#include "platform/md5.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/orvlib.h"

namespace {

std::string md5_of_parts(const std::vector<std::string>& parts) {
  MD5_CTX context;
  MD5Init(&context);
  for (const std::string& part : parts) {
    MD5Update(&context, reinterpret_cast<const unsigned char*>(part.data()),
              static_cast<unsigned int>(part.size()));
  }
  unsigned char digest[16];
  MD5Final(digest, &context);
  return orvm::bin2hex(digest, 16);
}

std::string md5_of(const std::string& text) { return md5_of_parts({text}); }

TEST(Md5Test, ReferenceSuite) {
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", md5_of(""));
  EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", md5_of("a"));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", md5_of("abc"));
  EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", md5_of("message digest"));
  EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", md5_of("abcdefghijklmnopqrstuvwxyz"));
  EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f",
            md5_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
  std::string digits;
  for (int i = 0; i < 8; ++i) digits += "1234567890";
  EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a", md5_of(digits));
}

TEST(Md5Test, OneMillionA) {
  EXPECT_EQ("7707d6ae4e027c70eea2a935c2296f21", md5_of(std::string(1000000, 'a')));
  // The same in 1000 updates of 1000, each crossing block boundaries.
  EXPECT_EQ("7707d6ae4e027c70eea2a935c2296f21",
            md5_of_parts(std::vector<std::string>(1000, std::string(1000, 'a'))));
}

TEST(Md5Test, LengthsAroundThePaddingBoundary) {
  // 55 bytes pad into one block, 56 to 63 need a second, 64 a whole one.
  EXPECT_EQ("ef1772b6dff9a122358552954ad0df65", md5_of(std::string(55, 'a')));
  EXPECT_EQ("3b0c8ac703f828b04c6c197006d17218", md5_of(std::string(56, 'a')));
  EXPECT_EQ("014842d480b571495a4a0363793f7367", md5_of(std::string(64, 'a')));
}

TEST(Md5Test, EverySplitIntoThreeUpdatesAgrees) {
  std::string data(200, '\0');
  uint32_t x = 12345;
  for (char& c : data) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  const std::string whole = md5_of(data);
  for (size_t i = 0; i <= data.size(); ++i) {
    for (size_t j = i; j <= data.size(); ++j) {
      ASSERT_EQ(whole, md5_of_parts({data.substr(0, i), data.substr(i, j - i), data.substr(j)}))
          << "split at " << i << " and " << j;
    }
  }
}

TEST(ConvertTest, DigestIsLowerCaseHexTwoDigitsAByte) {
  const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ("000fa0ff", orvm::bin2hex(bytes, 4));
  EXPECT_EQ("", orvm::bin2hex(bytes, 0));
}

TEST(ConvertTest, SizeIsPlainDecimal) {
  EXPECT_EQ("0", numstr::ToStr(0, 10, 0));
  EXPECT_EQ("16384", numstr::ToStr(16384, 10, 0));
  EXPECT_EQ("4294967296", numstr::ToStr(4294967296ull, 10, 0));
  EXPECT_EQ("18446744073709551615", numstr::ToStr(UINT64_MAX, 10, 0));
  EXPECT_EQ("ff", numstr::ToStr(255, 16, 0));
}

}  // namespace
