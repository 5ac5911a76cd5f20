// The registry over a prefix's files: what is loaded when, what absent files mean, and that a
// session saves each changed file once, whole and readable again.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/hive_file.h"
#include "platform/registry_control.h"
#include "platform/win32.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/hive_image.h"
#include "tests/support/reg_fixture.h"
#include "tests/support/scratch_folder.h"

namespace {

namespace p = oarepair::platform;
namespace ts = oarepair::test_support;
using oarepair::test_support::FaultFileSystem;
using oarepair::test_support::FsOp;
using oarepair::test_support::RegFileHeader;
using oarepair::test_support::RegSection;
using oarepair::test_support::ScratchFolder;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Spit(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

LONG Exists(HKEY root, const char* path) {
  HKEY h = nullptr;
  LONG rc = RegOpenKeyExA(root, path, 0, KEY_READ, &h);
  if (rc == ERROR_SUCCESS) RegCloseKey(h);
  return rc;
}

class HiveStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_prefix.Valid());
    p::SetClock([] { return 133500000000000000ULL; });
    m_system = RegFileHeader("REGISTRY\\\\Machine") +
               RegSection("Software\\\\Classes\\\\CLSID\\\\{A}", 1700000000, "@=\"a\"\n") +
               RegSection("Software\\\\Classes\\\\CLSID\\\\{B}\\\\Inproc", 1700000001,
                          "@=\"b.dll\"\n\"ThreadingModel\"=\"Both\"\n") +
               RegSection("Software\\\\Wine", 1700000002, "\"v\"=dword:00000001\n");
    m_user = RegFileHeader() + RegSection("Software\\\\Wine", 1700000003);
    Spit(m_prefix / "system.reg", m_system);
    Spit(m_prefix / "user.reg", m_user);
    p::SetFileSystem(&m_fs);
    p::UsePrefixRegistry(m_prefix.Path());
  }
  void TearDown() override {
    p::UseMemoryRegistry();
    p::SetFileSystem(nullptr);
    p::SetClock(nullptr);
  }

  ScratchFolder m_prefix;
  FaultFileSystem m_fs;
  std::string m_system;
  std::string m_user;
};

TEST_F(HiveStoreTest, AbsentPrefixOrFileIsNotFoundAndNothingIsCreated) {
  p::UsePrefixRegistry(m_prefix / "nowhere");
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\X", &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Exists(HKEY_CLASSES_ROOT, "CLSID"), ERROR_FILE_NOT_FOUND);
  struct stat st {};
  EXPECT_NE(stat((m_prefix / "nowhere").c_str(), &st), 0);

  ASSERT_EQ(unlink((m_prefix / "user.reg").c_str()), 0);
  p::UsePrefixRegistry(m_prefix.Path());
  EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\X", &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Exists(HKEY_CLASSES_ROOT, "CLSID\\{A}"), ERROR_SUCCESS);  // the other file still works
  EXPECT_NE(stat((m_prefix / "user.reg").c_str(), &st), 0);
}

TEST_F(HiveStoreTest, ReadingOnlyNeverRewritesAFile) {
  HKEY clsid = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &clsid), ERROR_SUCCESS);
  char name[64];
  DWORD cap = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(clsid, 1, name, &cap, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "{B}");
  EXPECT_EQ(RegCloseKey(clsid), ERROR_SUCCESS);
  EXPECT_EQ(p::FlushRegistry(), ERROR_SUCCESS);
  EXPECT_EQ(m_fs.Count(FsOp::kRename), 0u);
  EXPECT_EQ(m_fs.Count(FsOp::kWrite), 0u);
  EXPECT_EQ(Slurp(m_prefix / "system.reg"), m_system);
}

TEST_F(HiveStoreTest, ASessionSavesItsChangesOnceWhenTheLastHandleCloses) {
  HKEY classes = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &classes),
            ERROR_SUCCESS);
  for (int i = 0; i < 2000; ++i) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyA(classes, ("{T}\\k" + std::to_string(i)).c_str(), &h), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  }
  for (int i = 0; i < 2000; ++i)
    ASSERT_EQ(RegDeleteKeyA(classes, ("{T}\\k" + std::to_string(i)).c_str()), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(classes, "{T}"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(classes, "{B}\\Inproc"), ERROR_SUCCESS);
  EXPECT_EQ(m_fs.Count(FsOp::kRename), 0u);  // nothing is written while a handle is open
  ASSERT_EQ(RegCloseKey(classes), ERROR_SUCCESS);
  EXPECT_EQ(m_fs.Count(FsOp::kRename), 1u);
  EXPECT_EQ(Slurp(m_prefix / "user.reg"), m_user);  // the untouched file stays as it was

  // {B} lost its only child and had no section of its own: it gets one, stamped with the time of
  // that change, or Wine would drop it.
  const std::string expected =
      RegFileHeader("REGISTRY\\\\Machine") +
      RegSection("Software\\\\Classes\\\\CLSID\\\\{A}", 1700000000, "@=\"a\"\n") +
      RegSection("Software\\\\Classes\\\\CLSID\\\\{B}", 1705526400) +
      RegSection("Software\\\\Wine", 1700000002, "\"v\"=dword:00000001\n");
  EXPECT_EQ(Slurp(m_prefix / "system.reg"), expected);
}

TEST_F(HiveStoreTest, ChangesSurviveIntoTheNextSessionAndProcess) {
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\New\\Deep", &h), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\{A}"), ERROR_SUCCESS);
  EXPECT_EQ(m_fs.Count(FsOp::kRename), 2u);  // one save per session, here one per call

  p::UsePrefixRegistry(m_prefix.Path());  // forget everything held in memory
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, "Software\\New\\Deep"), ERROR_SUCCESS);
  EXPECT_EQ(Exists(HKEY_CLASSES_ROOT, "CLSID\\{A}"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Exists(HKEY_CLASSES_ROOT, "CLSID\\{B}\\Inproc"), ERROR_SUCCESS);
  ts::HiveImage image;
  p::HiveParseError error;
  EXPECT_EQ(ts::ParseHiveText(Slurp(m_prefix / "system.reg"), &image, &error),
            p::HiveParseStatus::kOk)
      << error.message;
}

TEST_F(HiveStoreTest, AFlushWithHandlesOpenLeavesLaterSavesExact) {
  HKEY clsid = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &clsid), ERROR_SUCCESS);
  HKEY h = nullptr;
  ASSERT_EQ(RegCreateKeyA(clsid, "{C}", &h), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  ASSERT_EQ(p::FlushRegistry(), ERROR_SUCCESS);
  const std::string afterFirst = Slurp(m_prefix / "system.reg");
  EXPECT_NE(afterFirst.find("[Software\\\\Classes\\\\CLSID\\\\{C}]"), std::string::npos);
  // The second save copies sections out of the file the first one wrote.
  ASSERT_EQ(RegDeleteKeyA(clsid, "{A}"), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyA(clsid, "{C}"), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(clsid), ERROR_SUCCESS);
  const std::string expected =
      RegFileHeader("REGISTRY\\\\Machine") +
      RegSection("Software\\\\Classes\\\\CLSID\\\\{B}\\\\Inproc", 1700000001,
                 "@=\"b.dll\"\n\"ThreadingModel\"=\"Both\"\n") +
      RegSection("Software\\\\Wine", 1700000002, "\"v\"=dword:00000001\n");
  EXPECT_EQ(Slurp(m_prefix / "system.reg"), expected);
}

TEST_F(HiveStoreTest, AMalformedFileIsRefusedAndNeverWritten) {
  const std::string broken = m_system + "[Software\\\\Unclosed\n";
  Spit(m_prefix / "system.reg", broken);
  p::UsePrefixRegistry(m_prefix.Path());
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "CLSID\\{Z}", &h), ERROR_BADDB);
  EXPECT_EQ(Exists(HKEY_LOCAL_MACHINE, "Software"), ERROR_BADDB);
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, "Software\\Wine"), ERROR_SUCCESS);
  EXPECT_EQ(p::FlushRegistry(), ERROR_SUCCESS);
  EXPECT_EQ(m_fs.Count(FsOp::kRename), 0u);
  EXPECT_EQ(Slurp(m_prefix / "system.reg"), broken);
}

TEST_F(HiveStoreTest, AFileChangedOnDiskBetweenSessionsIsReadAgain) {
  EXPECT_EQ(Exists(HKEY_CLASSES_ROOT, "CLSID\\{A}"), ERROR_SUCCESS);
  Spit(m_prefix / "system.reg",
       RegFileHeader("REGISTRY\\\\Machine") + RegSection("Software\\\\Classes\\\\Other", 1));
  EXPECT_EQ(Exists(HKEY_CLASSES_ROOT, "CLSID\\{A}"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Exists(HKEY_CLASSES_ROOT, "Other"), ERROR_SUCCESS);
}

}  // namespace
