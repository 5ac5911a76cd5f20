// CLayeredRegKey: opening, navigation, creation, merged listing and deletion over two locations.
#include "regkey/LayeredRegKey.h"

#include <cstdint>
#include <functional>
#include <string_view>

namespace {

const char kMarkerKeyName[] = "~Deleted";
const char kBackslashName[] = "\\";
const char kMarkerNames[] = "~__TEMP__~ ~SUBVERSION~ ~DELETE~ ~OVERWRITE~";

// Room for the longest key name the registry accepts (256 characters) even when a character
// takes several bytes in the 8-bit code page, plus the terminator.
const DWORD kcchNameBuffer = 4 * 256 + 1;

// A null text counts as the empty text, as the 8-bit string class of the framework treats it.
std::string TextOf(LPCSTR psz) { return psz != nullptr ? std::string(psz) : std::string(); }

bool IsBackslashName(LPCSTR pszName) {
  return pszName != nullptr && lstrcmpA(pszName, kBackslashName) == 0;
}

HKEY RootOf(bool bUserHive) { return bUserHive ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

// A name of printable ASCII characters only. lstrcmpA finds two such names equal only when they
// are the same bytes; a name with other characters may equal a different one (Wine's lstrcmpA
// ignores a soft hyphen and finds "\xdf" equal to "ss" and "\x88" equal to "^").
bool IsPlainName(LPCSTR pszName) {
  for (; *pszName != '\0'; ++pszName) {
    const auto ch = static_cast<unsigned char>(*pszName);
    if (ch < 0x20 || ch > 0x7E) {
      return false;
    }
  }
  return true;
}

// The first entry of each name among the entries of a listing, by bytes: an open-addressing
// table of entry numbers, so a lookup reads one slot (and a name only when its hash matches).
class CNameIndex {
 public:
  CNameIndex(const std::vector<std::unique_ptr<CSubKeyEntry>>& aEntries, size_t nExpected)
      : m_aEntries(aEntries) {
    size_t nSlots = 16;
    while (nSlots < 2 * nExpected) {
      nSlots *= 2;
    }
    m_aSlots.assign(nSlots, Slot());
    m_nMask = nSlots - 1;
  }

  // Adds entry nEntry unless an entry of the same name is there already.
  void Add(size_t nEntry) {
    const std::string& strName = m_aEntries[nEntry]->strName;
    const size_t nHash = std::hash<std::string_view>()(strName);
    size_t nSlot = nHash & m_nMask;
    for (; m_aSlots[nSlot].nEntry != kNone; nSlot = (nSlot + 1) & m_nMask) {
      if (Matches(m_aSlots[nSlot], nHash, strName)) {
        return;
      }
    }
    m_aSlots[nSlot].nHash = static_cast<uint32_t>(nHash);
    m_aSlots[nSlot].nEntry = static_cast<uint32_t>(nEntry);
  }

  // The entry with these bytes, or nNotFound.
  size_t Find(std::string_view strName, size_t nNotFound) const {
    const size_t nHash = std::hash<std::string_view>()(strName);
    for (size_t nSlot = nHash & m_nMask; m_aSlots[nSlot].nEntry != kNone;
         nSlot = (nSlot + 1) & m_nMask) {
      if (Matches(m_aSlots[nSlot], nHash, strName)) {
        return m_aSlots[nSlot].nEntry;
      }
    }
    return nNotFound;
  }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  struct Slot {
    uint32_t nHash = 0;
    uint32_t nEntry = kNone;
  };

  bool Matches(const Slot& slot, size_t nHash, std::string_view strName) const {
    return slot.nHash == static_cast<uint32_t>(nHash) &&
           m_aEntries[slot.nEntry]->strName == strName;
  }

  const std::vector<std::unique_ptr<CSubKeyEntry>>& m_aEntries;
  std::vector<Slot> m_aSlots;
  size_t m_nMask = 0;
};

}  // namespace

char CLayeredRegKey::s_szDefaultPath[MAX_PATH] = "";
char CLayeredRegKey::s_szDefaultLowerPath[MAX_PATH] = "";
bool CLayeredRegKey::s_bDefaultReadOnly = false;
bool CLayeredRegKey::s_bDefaultLowerReadOnly = true;

std::string JoinPath(const std::string& strBase, const std::string& strName) {
  std::string strResult = strBase;
  if (!strResult.empty() && strResult.back() != '\\') {
    strResult += '\\';
  }
  strResult += strName;
  return strResult;
}

CLayeredRegKey::CLayeredRegKey(HKEY hRoot, LPCSTR pszPath, LPCSTR pszLowerPath)
    : m_strPath(TextOf(pszPath)),
      m_hKey(nullptr),
      m_hRoot(hRoot),
      m_bReadOnly(s_bDefaultReadOnly),
      m_strBasePath(m_strPath),
      m_hLowerKey(nullptr),
      m_hLowerRoot(nullptr),
      m_bLowerReadOnly(s_bDefaultLowerReadOnly),
      m_hDetachedLowerRoot(nullptr) {
  if (pszLowerPath != nullptr) {
    m_hLowerRoot = hRoot;
    m_strLowerPath = pszLowerPath;
    m_strLowerBasePath = m_strLowerPath;
  }
}

CLayeredRegKey::CLayeredRegKey(LPCSTR pszPath, bool bUserHive, LPCSTR pszLowerPath,
                               bool bLowerUserHive)
    : m_strMarkerNames(kMarkerNames),
      m_hKey(nullptr),
      m_hRoot(RootOf(bUserHive)),
      m_bReadOnly(s_bDefaultReadOnly),
      m_hLowerKey(nullptr),
      m_hLowerRoot(nullptr),
      m_bLowerReadOnly(s_bDefaultLowerReadOnly),
      m_hDetachedLowerRoot(nullptr) {
  if (pszPath != nullptr) {
    m_strPath = pszPath;
    m_strBasePath = m_strPath;
  } else if (lstrlenA(s_szDefaultPath) != 0) {
    m_strPath = s_szDefaultPath;
    m_strBasePath = m_strPath;
  }

  LPCSTR pszLower = nullptr;
  if (pszLowerPath != nullptr) {
    pszLower = pszLowerPath;
  } else if (lstrlenA(s_szDefaultLowerPath) != 0) {
    pszLower = s_szDefaultLowerPath;
  }
  if (pszLower != nullptr) {
    m_strLowerPath = pszLower;
    m_strLowerBasePath = m_strLowerPath;
    m_hLowerRoot = RootOf(bLowerUserHive);
  }
}

CLayeredRegKey::~CLayeredRegKey() {
  ClearCache();
  Close();
}

int CLayeredRegKey::Open() {
  Close();
  ClearCache();

  // Wine leaves the out handle untouched on some failures, so only a success assigns it.
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(m_hRoot, m_strPath.c_str(), 0, m_bReadOnly ? KEY_READ : KEY_ALL_ACCESS,
                    &hKey) == ERROR_SUCCESS) {
    m_hKey = hKey;
  }
  if (m_hLowerRoot != nullptr) {
    HKEY hLowerKey = nullptr;
    if (RegOpenKeyExA(m_hLowerRoot, m_strLowerPath.c_str(), 0,
                      m_bLowerReadOnly ? KEY_READ : KEY_ALL_ACCESS,
                      &hLowerKey) == ERROR_SUCCESS) {
      m_hLowerKey = hLowerKey;
    }
  }
  return (m_hKey != nullptr || m_hLowerKey != nullptr) ? 1 : 0;
}

void CLayeredRegKey::Close() {
  if (m_hKey != nullptr) {
    RegCloseKey(m_hKey);
    m_hKey = nullptr;
  }
  if (m_hLowerKey != nullptr) {
    RegCloseKey(m_hLowerKey);
    m_hLowerKey = nullptr;
  }
}

void CLayeredRegKey::ClearCache() {
  // Swapping with empty vectors frees the entries and releases the storage itself.
  std::vector<std::unique_ptr<CSubKeyEntry>>().swap(m_aSubKeys);
  std::vector<std::unique_ptr<std::string>>().swap(m_aAuxNames);
  m_mapDeleted.clear();
  m_mapAuxNames.clear();
}

bool CLayeredRegKey::SetPath(const std::string& strPath) {
  const std::string strOldPath = m_strPath;
  m_strPath = strPath;
  if (Open() == 1) {
    return true;
  }
  m_strPath = strOldPath;
  return false;
}

bool CLayeredRegKey::OpenSubKey(LPCSTR pszName) {
  // The name may be borrowed from this key's own listing, which ClearCache frees.
  const bool bBackslashName = IsBackslashName(pszName);
  const std::string strName = TextOf(pszName);
  ClearCache();
  const std::string strOldPath = m_strPath;
  const std::string strOldLowerPath = m_strLowerPath;

  if (bBackslashName) {
    m_strPath = m_strBasePath;
    m_strLowerPath = m_strLowerBasePath;
  } else {
    m_strPath = JoinPath(m_strPath, strName);
    m_strLowerPath = JoinPath(m_strLowerPath, strName);
  }

  if (Open() == 1) {
    return true;
  }
  m_strPath = strOldPath;
  m_strLowerPath = strOldLowerPath;
  return false;
}

bool CLayeredRegKey::CreateSubKey(LPCSTR pszName) {
  // The name may be borrowed from this key's listing, which a re-open below frees: work on a copy.
  std::string strName;
  if (pszName != nullptr) {
    strName = pszName;
    pszName = strName.c_str();
  }
  if (m_hKey == nullptr) {
    Open();
  }
  if (!EnsureUpperPath()) {
    return false;
  }
  if (m_hKey == nullptr) {
    return false;
  }
  HKEY hNewKey = nullptr;
  if (RegCreateKeyA(m_hKey, pszName, &hNewKey) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(hNewKey);
  return true;
}

bool CLayeredRegKey::CreateAndOpenSubKey(LPCSTR pszName) {
  // Both steps may free this key's listing, from which the name may be borrowed.
  std::string strName;
  if (pszName != nullptr) {
    strName = pszName;
    pszName = strName.c_str();
  }
  return CreateSubKey(pszName) && OpenSubKey(pszName);
}

bool CLayeredRegKey::EnsureUpperPath() {
  if (m_hLowerRoot == nullptr) {
    return true;
  }
  if (m_hLowerKey != nullptr && m_hKey != nullptr) {
    return true;
  }

  if (m_hKey == nullptr) {
    // The position of the lower location relative to its base, e.g. "\B\C" for base "A" and
    // current path "A\B\C", is rebuilt below the upper base path one component at a time.
    std::string strRelative;
    if (m_strLowerPath.size() > m_strLowerBasePath.size()) {
      strRelative = m_strLowerPath.substr(m_strLowerBasePath.size());
    }

    CLayeredRegKey keyScratch(m_strBasePath.c_str(), true, nullptr, false);
    keyScratch.DetachLowerLayer();
    keyScratch.m_hRoot = m_hRoot;

    bool bOutcome = true;
    bool bWalkComplete = true;
    std::string strComponent;
    for (char ch : strRelative) {
      if (ch != '\\') {
        strComponent += ch;
        continue;
      }
      if (strComponent.empty()) {
        continue;
      }
      if (!keyScratch.CreateAndOpenSubKey(strComponent.c_str())) {
        bOutcome = false;
        bWalkComplete = false;
        break;
      }
      strComponent.clear();
    }
    if (bWalkComplete && !strComponent.empty()) {
      bOutcome = keyScratch.CreateAndOpenSubKey(strComponent.c_str());
    }
    if (!bOutcome) {
      return false;
    }
  }

  Open();
  return m_hKey != nullptr;
}

bool CLayeredRegKey::HasLowerLayer() const { return m_hLowerRoot != nullptr; }

void CLayeredRegKey::DetachLowerLayer() {
  if (m_hLowerRoot != nullptr) {
    m_hDetachedLowerRoot = m_hLowerRoot;
    m_hLowerRoot = nullptr;
  }
}

int CLayeredRegKey::EnumSubKeys() {
  if (m_hKey == nullptr || (m_hLowerRoot != nullptr && m_hLowerKey == nullptr)) {
    Open();
  }
  ClearCache();

  if (m_hKey != nullptr) {
    // The marker key lists its names like any key, so its own markers apply to it as well.
    CLayeredRegKey keyMarkers(m_strPath.c_str(), true, nullptr, false);
    keyMarkers.DetachLowerLayer();
    keyMarkers.m_hRoot = m_hRoot;
    keyMarkers.m_bReadOnly = m_bReadOnly;
    if (keyMarkers.OpenSubKey(kMarkerKeyName)) {
      const int nMarkers = keyMarkers.EnumSubKeys();
      for (int nIndex = 0; nIndex < nMarkers; ++nIndex) {
        LPCSTR pszMarker = keyMarkers.GetSubKeyName(nIndex);
        if (pszMarker != nullptr) {
          m_mapDeleted[pszMarker] = nullptr;
        }
      }
    }
  }

  const int nLower = EnumLocation(m_hLowerKey, m_bLowerReadOnly);
  const int nUpper = EnumLocation(m_hKey, m_bReadOnly);
  return nLower + nUpper;
}

int CLayeredRegKey::EnumLocation(HKEY hKey, bool bReadOnly) {
  if (hKey == nullptr) {
    return 0;
  }
  // Only entries of earlier locations take part in the duplicate check.
  const size_t nNoted = m_aSubKeys.size();
  int nAppended = 0;

  // The duplicate check finds the first noted entry that lstrcmpA calls equal to the name. Plain
  // names are looked up by their bytes, which finds the first entry with the same bytes; the
  // entries with other characters that stand before it are still compared one by one, as any of
  // them might compare equal. Other names are compared with every noted entry in order. Either
  // way the entry found is the one a scan of all noted entries in order would find.
  CNameIndex indexPlain(m_aSubKeys, nNoted);
  std::vector<size_t> aOtherEntries;
  for (size_t nEntry = 0; nEntry < nNoted; ++nEntry) {
    const CSubKeyEntry* pEntry = m_aSubKeys[nEntry].get();
    if (pEntry == nullptr) {
      continue;
    }
    if (IsPlainName(pEntry->strName.c_str())) {
      indexPlain.Add(nEntry);  // keeps the first of equal names
    } else {
      aOtherEntries.push_back(nEntry);
    }
  }

  char szName[kcchNameBuffer];
  for (DWORD dwIndex = 0;; ++dwIndex) {
    DWORD cchName = kcchNameBuffer;
    FILETIME ftLastWrite;
    if (RegEnumKeyExA(hKey, dwIndex, szName, &cchName, nullptr, nullptr, nullptr,
                      &ftLastWrite) != ERROR_SUCCESS) {
      break;
    }
    const std::string strName(szName);
    if (IsHiddenName(strName, bReadOnly)) {
      continue;
    }

    CSubKeyEntry* pFound = nullptr;
    if (IsPlainName(szName)) {
      const size_t nSame = indexPlain.Find(strName, nNoted);
      for (size_t nEntry : aOtherEntries) {
        if (nEntry >= nSame) {
          break;
        }
        if (lstrcmpA(m_aSubKeys[nEntry]->strName.c_str(), szName) == 0) {
          pFound = m_aSubKeys[nEntry].get();
          break;
        }
      }
      if (pFound == nullptr && nSame < nNoted) {
        pFound = m_aSubKeys[nSame].get();
      }
    } else {
      for (size_t nEntry = 0; nEntry < nNoted; ++nEntry) {
        CSubKeyEntry* pEntry = m_aSubKeys[nEntry].get();
        if (pEntry != nullptr && lstrcmpA(pEntry->strName.c_str(), szName) == 0) {
          pFound = pEntry;
          break;
        }
      }
    }

    if (pFound != nullptr) {
      if (!bReadOnly && pFound->bReadOnly) {
        pFound->bReadOnly = false;
      }
    } else {
      auto pEntry = std::make_unique<CSubKeyEntry>();
      pEntry->strName = strName;
      pEntry->bReadOnly = bReadOnly;
      m_aSubKeys.push_back(std::move(pEntry));
      ++nAppended;
    }
  }
  return nAppended;
}

bool CLayeredRegKey::IsHiddenName(const std::string& strName, bool bReadOnly) const {
  if (lstrcmpA(strName.c_str(), kMarkerKeyName) == 0) {
    return true;
  }
  return bReadOnly && m_mapDeleted.find(strName) != m_mapDeleted.end();
}

LPCSTR CLayeredRegKey::GetSubKeyName(int nIndex) {
  if (m_aSubKeys.empty()) {
    EnumSubKeys();
  }
  if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_aSubKeys.size() ||
      m_aSubKeys[static_cast<size_t>(nIndex)] == nullptr) {
    return nullptr;
  }
  return m_aSubKeys[static_cast<size_t>(nIndex)]->strName.c_str();
}

bool CLayeredRegKey::DeleteSubKey(LPCSTR pszName) {
  // The empty name, every name that begins with a backslash (names made only of backslashes, a
  // name such as \X) and every name lstrcmpA finds equal to the backslash name (such as a soft
  // hyphen and a backslash) are no subkey names. The walk below would open this key, the base
  // path or X in their place and remove all their children, and the registry then refuses to
  // delete the name itself or finds no such key. Empty components after the first character
  // (A\\B, A\) collapse in the walk and in the registry's delete alike, so those names do remove
  // the key they name.
  if (pszName == nullptr || pszName[0] == '\0' || pszName[0] == '\\' || IsBackslashName(pszName)) {
    return false;
  }
  // A re-open below frees this key's listing, from which the name may be borrowed.
  const std::string strName(pszName);
  pszName = strName.c_str();

  if (m_hKey == nullptr) {
    Open();
  }
  EnsureUpperPath();
  if (m_hKey == nullptr) {
    return false;
  }

  CLayeredRegKey keyScratch(m_strBasePath.c_str(), true, nullptr, false);
  keyScratch.DetachLowerLayer();
  keyScratch.m_hRoot = m_hRoot;
  // A scratch key left at the base path would look for the name in the wrong key.
  if (!keyScratch.SetPath(m_strPath)) {
    return false;
  }

  if (keyScratch.OpenSubKey(pszName)) {
    // Depth first: the scratch key keeps its handle and listing while its children go.
    const int nCount = keyScratch.EnumSubKeys();
    for (int nIndex = 0; nIndex < nCount; ++nIndex) {
      keyScratch.DeleteSubKey(keyScratch.GetSubKeyName(nIndex));
    }
    return RegDeleteKeyA(m_hKey, pszName) == ERROR_SUCCESS;
  }

  if (m_hLowerRoot == nullptr) {
    return false;
  }
  // A marker is one key level; a name with a backslash would create a nested key whose first
  // component hides an unrelated name.
  if (strName.find('\\') != std::string::npos) {
    return false;
  }
  return keyScratch.CreateAndOpenSubKey(kMarkerKeyName) && keyScratch.CreateSubKey(pszName);
}
