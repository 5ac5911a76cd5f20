// The 64-bit and 32-bit views of the Linux registry over real Wine 8.0 prefixes: where each view
// finds and creates keys, the flags that pick a view, and the links Wine's files hold.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry_control.h"
#include "platform/win32.h"
#include "tests/support/scratch_folder.h"

namespace oarepair::test_support {
namespace {

namespace p = oarepair::platform;

const char kClass[] = "CLSID\\{00020420-0000-0000-C000-000000000046}";
// Section headers as system.reg writes them.
const char kClass64[] = "[Software\\\\Classes\\\\CLSID\\\\{00020420-0000-0000-C000-000000000046}";
const char kClass32[] =
    "[Software\\\\Classes\\\\Wow6432Node\\\\CLSID\\\\{00020420-0000-0000-C000-000000000046}";

class RegistryViewTest : public ::testing::Test {
 protected:
  // A copy of a prefix made by Wine 8.0's wineboot: "win64-wow64" (a win64 prefix with its
  // 32-bit half) or "win32".
  void UseFixture(const std::string& name) {
    ASSERT_TRUE(m_scratch.Valid());
    m_prefix = m_scratch / name;
    ASSERT_EQ(::mkdir(m_prefix.c_str(), 0700), 0);
    for (const char* file : {"system.reg", "user.reg", "userdef.reg"}) {
      const std::string text =
          ReadFile(std::string(OAREPAIR_FIXTURES_DIR) + "/wine-8.0/" + name + "/" + file);
      ASSERT_FALSE(text.empty()) << file;
      ASSERT_TRUE(WriteFile(m_prefix + "/" + file, text));
    }
    p::UsePrefixRegistry(m_prefix);
  }
  void TearDown() override { p::UseMemoryRegistry(); }

  // Creates `sub` under `root` in `view` and saves; the new file's text.
  std::string CreateIn(p::RegistryView view, HKEY root, const std::string& sub) {
    p::SetRegistryView(view);
    HKEY hKey = nullptr;
    EXPECT_EQ(RegCreateKeyA(root, sub.c_str(), &hKey), ERROR_SUCCESS) << sub;
    if (hKey != nullptr) RegCloseKey(hKey);
    return ReadFile(m_prefix + "/system.reg");
  }

  // The names of the subkeys of root\sub opened with `sam` in `view`; empty when it cannot be
  // opened.
  std::vector<std::string> List(p::RegistryView view, HKEY root, const std::string& sub,
                                REGSAM sam = KEY_READ, LONG* result = nullptr) {
    p::SetRegistryView(view);
    HKEY hKey = nullptr;
    const LONG rc = RegOpenKeyExA(root, sub.c_str(), 0, sam, &hKey);
    if (result != nullptr) *result = rc;
    std::vector<std::string> names;
    if (rc != ERROR_SUCCESS) return names;
    char name[300];
    for (DWORD i = 0;; ++i) {
      DWORD size = sizeof(name);
      if (RegEnumKeyExA(hKey, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        break;
      names.emplace_back(name, size);
    }
    RegCloseKey(hKey);
    return names;
  }

  ScratchFolder m_scratch;
  std::string m_prefix;
};

TEST_F(RegistryViewTest, APrefixHasTheViewsOfItsArchitecture) {
  UseFixture("win64-wow64");
  EXPECT_EQ(p::RegistryViews(),
            (std::vector<p::RegistryView>{p::RegistryView::k64Bit, p::RegistryView::k32Bit}));
  UseFixture("win32");
  EXPECT_EQ(p::RegistryViews(), std::vector<p::RegistryView>{p::RegistryView::k32Bit});
  p::UseMemoryRegistry();
  EXPECT_EQ(p::RegistryViews(), std::vector<p::RegistryView>{p::RegistryView::k64Bit});
}

TEST_F(RegistryViewTest, EachViewSeesAndChangesItsOwnClassKey) {
  UseFixture("win64-wow64");
  // The two class keys differ in the fixture: the 64-bit one names system32, the 32-bit one
  // syswow64 only through its own sections. Markers show which key each view reaches.
  std::string text = CreateIn(p::RegistryView::k64Bit, HKEY_CLASSES_ROOT,
                              std::string(kClass) + "\\Marker64");
  EXPECT_NE(text.find(std::string(kClass64) + "\\\\Marker64]"), std::string::npos);
  text = CreateIn(p::RegistryView::k32Bit, HKEY_CLASSES_ROOT, std::string(kClass) + "\\Marker32");
  EXPECT_NE(text.find(std::string(kClass32) + "\\\\Marker32]"), std::string::npos);
  EXPECT_EQ(text.find(std::string(kClass64) + "\\\\Marker32]"), std::string::npos);

  // The same keys through HKLM: Software\Classes of the 32-bit view goes through the link
  // [Software\\Wow6432Node\\Classes] to Classes\Wow6432Node.
  const std::string viaMachine = std::string("Software\\Classes\\") + kClass;
  auto names = List(p::RegistryView::k32Bit, HKEY_LOCAL_MACHINE, viaMachine);
  EXPECT_NE(std::find(names.begin(), names.end(), "Marker32"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "Marker64"), names.end());
  names = List(p::RegistryView::k64Bit, HKEY_LOCAL_MACHINE, viaMachine);
  EXPECT_NE(std::find(names.begin(), names.end(), "Marker64"), names.end());

  // Deleting in one view leaves the other alone.
  p::SetRegistryView(p::RegistryView::k32Bit);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, (std::string(kClass) + "\\Marker32").c_str()),
            ERROR_SUCCESS);
  ASSERT_EQ(p::FlushRegistry(), ERROR_SUCCESS);
  text = ReadFile(m_prefix + "/system.reg");
  EXPECT_EQ(text.find("Marker32"), std::string::npos);
  EXPECT_NE(text.find(std::string(kClass64) + "\\\\Marker64]"), std::string::npos);
}

TEST_F(RegistryViewTest, The32BitViewRedirectsAndSharesAsWineDoes) {
  UseFixture("win64-wow64");
  // HKLM\Software is Software\Wow6432Node; a path naming Wow6432Node is not redirected twice.
  std::string text = CreateIn(p::RegistryView::k32Bit, HKEY_LOCAL_MACHINE, "Software\\OarepairA");
  EXPECT_NE(text.find("\n[Software\\\\Wow6432Node\\\\OarepairA]"), std::string::npos);
  text = CreateIn(p::RegistryView::k32Bit, HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\OarepairB");
  EXPECT_NE(text.find("\n[Software\\\\Wow6432Node\\\\OarepairB]"), std::string::npos);
  // A new name under HKCR lands in the Classes both views share, unlike one under CLSID.
  text = CreateIn(p::RegistryView::k32Bit, HKEY_CLASSES_ROOT, ".oarepair-ext");
  EXPECT_NE(text.find("\n[Software\\\\Classes\\\\.oarepair-ext]"), std::string::npos);
  text = CreateIn(p::RegistryView::k32Bit, HKEY_CLASSES_ROOT, "CLSID\\{OAREPAIR-NEW}");
  EXPECT_NE(text.find("\n[Software\\\\Classes\\\\Wow6432Node\\\\CLSID\\\\{OAREPAIR-NEW}]"),
            std::string::npos);
  // A shared name is found from the 32-bit view; HKCU is never redirected.
  LONG rc = 0;
  List(p::RegistryView::k32Bit, HKEY_CLASSES_ROOT, ".oarepair-ext", KEY_READ, &rc);
  EXPECT_EQ(rc, ERROR_SUCCESS);
  EXPECT_EQ(List(p::RegistryView::k32Bit, HKEY_CURRENT_USER, "Software"),
            List(p::RegistryView::k64Bit, HKEY_CURRENT_USER, "Software"));
  // The 32-bit HKCR lists Classes\Wow6432Node's own subkeys.
  const auto names32 = List(p::RegistryView::k32Bit, HKEY_CLASSES_ROOT, "");
  EXPECT_EQ(names32, List(p::RegistryView::k64Bit, HKEY_LOCAL_MACHINE,
                          "Software\\Classes\\Wow6432Node"));
  EXPECT_NE(names32, List(p::RegistryView::k64Bit, HKEY_CLASSES_ROOT, ""));
}

TEST_F(RegistryViewTest, AccessFlagsPickAView) {
  UseFixture("win64-wow64");
  CreateIn(p::RegistryView::k64Bit, HKEY_CLASSES_ROOT, std::string(kClass) + "\\Marker64");
  CreateIn(p::RegistryView::k32Bit, HKEY_CLASSES_ROOT, std::string(kClass) + "\\Marker32");
  const auto in64 = List(p::RegistryView::k64Bit, HKEY_CLASSES_ROOT, kClass);
  const auto in32 = List(p::RegistryView::k32Bit, HKEY_CLASSES_ROOT, kClass);
  ASSERT_NE(in64, in32);
  EXPECT_EQ(List(p::RegistryView::k64Bit, HKEY_CLASSES_ROOT, kClass, KEY_READ | KEY_WOW64_32KEY),
            in32);
  EXPECT_EQ(List(p::RegistryView::k32Bit, HKEY_CLASSES_ROOT, kClass, KEY_READ | KEY_WOW64_64KEY),
            in64);
  const std::string viaMachine = std::string("Software\\Classes\\") + kClass;
  EXPECT_EQ(List(p::RegistryView::k64Bit, HKEY_LOCAL_MACHINE, viaMachine,
                 KEY_READ | KEY_WOW64_32KEY),
            in32);
  EXPECT_EQ(List(p::RegistryView::k32Bit, HKEY_LOCAL_MACHINE, viaMachine,
                 KEY_READ | KEY_WOW64_64KEY),
            in64);
}

TEST_F(RegistryViewTest, LinksAreFollowedInBothViews) {
  UseFixture("win64-wow64");
  // [Software\\Microsoft\\Windows\\CurrentVersion\\Time Zones] is a link to the Windows NT key.
  const auto zones = List(p::RegistryView::k64Bit, HKEY_LOCAL_MACHINE,
                          "Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones");
  ASSERT_GT(zones.size(), 10u);
  EXPECT_EQ(List(p::RegistryView::k64Bit, HKEY_LOCAL_MACHINE,
                 "Software\\Microsoft\\Windows\\CurrentVersion\\Time Zones"),
            zones);
  // A link inside a path, and one whose target Wine wrote in upper case.
  EXPECT_EQ(List(p::RegistryView::k64Bit, HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\Classes\\CLSID"),
            List(p::RegistryView::k32Bit, HKEY_CLASSES_ROOT, "CLSID"));
  LONG rc = 0;
  List(p::RegistryView::k64Bit, HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\Wine\\Ports",
       KEY_READ, &rc);
  EXPECT_EQ(rc, ERROR_SUCCESS);
  // Creating through a link creates in its target.
  const std::string text = CreateIn(p::RegistryView::k64Bit, HKEY_LOCAL_MACHINE,
                                    "Software\\Wow6432Node\\Classes\\OarepairViaLink");
  EXPECT_NE(text.find("\n[Software\\\\Classes\\\\Wow6432Node\\\\OarepairViaLink]"),
            std::string::npos);
}

TEST_F(RegistryViewTest, AWin32PrefixHasOneViewWithoutRedirection) {
  UseFixture("win32");
  std::string text = CreateIn(p::RegistryView::k32Bit, HKEY_CLASSES_ROOT,
                              std::string(kClass) + "\\Marker32");
  EXPECT_NE(text.find(std::string(kClass64) + "\\\\Marker32]"), std::string::npos);
  text = CreateIn(p::RegistryView::k32Bit, HKEY_LOCAL_MACHINE, "Software\\OarepairA");
  EXPECT_NE(text.find("\n[Software\\\\OarepairA]"), std::string::npos);
  EXPECT_EQ(text.find("Wow6432Node"), std::string::npos);
  EXPECT_EQ(List(p::RegistryView::k32Bit, HKEY_CLASSES_ROOT, kClass, KEY_READ | KEY_WOW64_32KEY),
            List(p::RegistryView::k32Bit, HKEY_CLASSES_ROOT, kClass, KEY_READ | KEY_WOW64_64KEY));
}

}  // namespace
}  // namespace oarepair::test_support
