#include "proof/integrity.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <system_error>

#include "support/scoped_temp_home.h"
#include "support/reference_digest.h"

namespace installer {
namespace {

std::string referenceMD5(const std::string& data) {
  return testing::referenceHexDigest(data, EVP_md5());
}

std::string patterned(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
  return data;
}

class IntegrityTest : public ::testing::Test {
 protected:
  std::filesystem::path write(const std::string& name, const std::string& data) {
    auto path = home_.tmp() / name;
    std::ofstream(path, std::ios::binary) << data;
    return path;
  }
  testing::ScopedTempHome home_;
};

TEST_F(IntegrityTest, DigestMatchesReferenceAcrossChunkBoundaries) {
  EXPECT_EQ(md5Hex(write("empty", "")), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5Hex(write("abc", "abc")), "900150983cd24fb0d6963f7d28e17f72");
  for (std::size_t size : {std::size_t{1} << 20, (std::size_t{1} << 20) + 1,
                           (std::size_t{3} << 20) - 5}) {
    std::string data = patterned(size);
    EXPECT_EQ(md5Hex(write("file", data)), referenceMD5(data)) << size;
  }
}

TEST_F(IntegrityTest, UnreadableFilesFailWithTheFileSystemError) {
  // A directory opens but cannot be read, even for root.
  auto directory = home_.tmp() / "dir.dmg";
  std::filesystem::create_directories(directory);
  EXPECT_THROW(md5Hex(directory), std::system_error);
  EXPECT_THROW(md5Hex(home_.tmp() / "missing"), std::system_error);
  EXPECT_THROW(verifyChecksum(directory, std::string("abc")), std::system_error);
  EXPECT_EQ(fileSize(directory), 0);
  EXPECT_EQ(fileSize(home_.tmp() / "missing"), 0);
}

TEST_F(IntegrityTest, ChecksumIgnoresCaseAndSkipsWhenNothingIsExpected) {
  auto file = write("abc", "abc");
  EXPECT_NO_THROW(verifyChecksum(file, std::string("900150983CD24FB0D6963F7D28E17F72")));
  // Nothing expected: the file is not even read (a directory would throw).
  auto directory = home_.tmp() / "dir";
  std::filesystem::create_directories(directory);
  EXPECT_NO_THROW(verifyChecksum(directory, std::nullopt));
  EXPECT_NO_THROW(verifyChecksum(directory, std::string()));

  try {
    verifyChecksum(file, std::string("ABCDEF"));
    FAIL() << "no mismatch";
  } catch (const IntegrityError& e) {
    EXPECT_STREQ(e.what(), "md5 mismatch: expected ABCDEF, got 900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(e.value(), IntegrityError::Case(integrity::checksumMismatch{
                             "ABCDEF", "900150983cd24fb0d6963f7d28e17f72"}));
  }
}

TEST_F(IntegrityTest, SizeIsCheckedBeforeTheDigest) {
  auto file = write("p", std::string(99, 'x'));
  EXPECT_NO_THROW(verifyPackage(file, 0, std::nullopt));
  EXPECT_NO_THROW(verifyPackage(file, -5, std::nullopt));
  EXPECT_NO_THROW(verifyPackage(file, 99, referenceMD5(std::string(99, 'x'))));
  try {
    verifyPackage(file, 100, std::string("wrong"));
    FAIL() << "no mismatch";
  } catch (const IntegrityError& e) {
    EXPECT_STREQ(e.what(), "size mismatch: expected 100, got 99");
  }
  EXPECT_THROW(verifyPackage(file, std::nullopt, std::string("wrong")), IntegrityError);
  // A file whose size cannot be read has size 0.
  try {
    verifyPackage(home_.tmp() / "missing", 1, std::nullopt);
    FAIL() << "no mismatch";
  } catch (const IntegrityError& e) {
    EXPECT_STREQ(e.what(), "size mismatch: expected 1, got 0");
  }
}

TEST_F(IntegrityTest, DiskSpaceNeedsMoreThanTwoAndAHalfTimesThePackage) {
  try {
    checkDiskSpace(400'000'000, std::optional<std::int64_t>(1'000'000'000));
    FAIL() << "enough space at the boundary";
  } catch (const IntegrityError& e) {
    EXPECT_EQ(e.value(),
              IntegrityError::Case(integrity::insufficientSpace{1'000'000'000, 1'000'000'000}));
    EXPECT_EQ(std::string(e.what()).rfind("not enough disk space: need ", 0), 0u) << e.what();
  }
  EXPECT_NO_THROW(checkDiskSpace(400'000'000, std::optional<std::int64_t>(1'000'000'001)));
  // 2.5 times an odd size is truncated: 3 bytes need 7.
  EXPECT_THROW(checkDiskSpace(3, std::optional<std::int64_t>(7)), IntegrityError);
  EXPECT_NO_THROW(checkDiskSpace(3, std::optional<std::int64_t>(8)));
  // Nothing to check, or nothing known about the volume.
  EXPECT_NO_THROW(checkDiskSpace(0, std::optional<std::int64_t>(1)));
  EXPECT_NO_THROW(checkDiskSpace(400'000'000, std::nullopt));
  EXPECT_NO_THROW(checkDiskSpace(400'000'000, std::optional<std::int64_t>(0)));
}

TEST_F(IntegrityTest, CapacityOfADirectoryNotYetCreatedIsItsVolumes) {
  auto existing = availableCapacity(home_.tmp());
  ASSERT_TRUE(existing);
  EXPECT_GT(*existing, 0);
  EXPECT_TRUE(availableCapacity(home_.tmp() / "not" / "yet" / "Applications"));
  EXPECT_NO_THROW(checkDiskSpace(home_.tmp() / "nowhere", 1));
}

}  // namespace
}  // namespace installer
