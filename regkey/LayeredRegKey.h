// CLayeredRegKey: a cursor over one logical registry key seen through a writable upper location
// and an optional read-only lower one, with a merged subkey listing and deletion markers.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/win32.h"

// One entry of the merged subkey listing.
class CSubKeyEntry {
 public:
  std::string strName;     // the subkey name
  bool bReadOnly = false;  // the name was found only in read-only locations
};

// Joins a registry path and a name with one backslash; the name is appended unchanged.
std::string JoinPath(const std::string& strBase, const std::string& strName);

class CLayeredRegKey {
 public:
  // Both locations share hRoot; a null pszLowerPath means no lower layer. Opens nothing.
  CLayeredRegKey(HKEY hRoot, LPCSTR pszPath, LPCSTR pszLowerPath);
  // Roots chosen between HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE; null paths fall back to the
  // class-wide default paths. Opens nothing.
  CLayeredRegKey(LPCSTR pszPath, bool bUserHive, LPCSTR pszLowerPath, bool bLowerUserHive);
  ~CLayeredRegKey();

  CLayeredRegKey(const CLayeredRegKey&) = delete;
  CLayeredRegKey& operator=(const CLayeredRegKey&) = delete;

  // Opening and navigation. Any change of position empties the listing.
  int Open();
  void Close();
  void ClearCache();
  bool SetPath(const std::string& strPath);
  bool OpenSubKey(LPCSTR pszName);

  // Creation; writes land in the upper location, whose path is built first where only the lower
  // location exists.
  bool CreateSubKey(LPCSTR pszName);
  bool CreateAndOpenSubKey(LPCSTR pszName);
  bool EnsureUpperPath();

  bool HasLowerLayer() const;
  void DetachLowerLayer();

  // Merged listing: lower names first, then the names found only in the upper location.
  int EnumSubKeys();
  int EnumLocation(HKEY hKey, bool bReadOnly);
  bool IsHiddenName(const std::string& strName, bool bReadOnly) const;
  // The name of entry nIndex, borrowed from the listing; nullptr when nIndex is outside it.
  LPCSTR GetSubKeyName(int nIndex);

  // Removes the named subtree from the upper location, or, on a layered key where the name is
  // absent there, records it under the upper location's "~Deleted" marker key. Refuses, touching
  // nothing, the empty name, names that begin with a backslash and names equal to the backslash
  // name.
  bool DeleteSubKey(LPCSTR pszName);

  std::vector<std::unique_ptr<CSubKeyEntry>> m_aSubKeys;  // merged listing
  std::vector<std::unique_ptr<std::string>> m_aAuxNames;  // second listing, never filled
  // Hashed: a listing looks up every name of a read-only location among the marked ones.
  std::unordered_map<std::string, void*> m_mapDeleted;   // names marked deleted (values null)
  std::unordered_map<std::string, void*> m_mapAuxNames;  // second name set, never filled
  std::string m_strPath;         // upper path, relative to m_hRoot
  std::string m_strMarkerNames;  // reserved marker names (second constructor only)
  HKEY m_hKey;                   // open upper handle, or null
  HKEY m_hRoot;
  bool m_bReadOnly;              // open the upper location with KEY_READ
  std::string m_strBasePath;     // upper path given at construction
  HKEY m_hLowerKey;              // open lower handle, or null
  HKEY m_hLowerRoot;             // null: no lower layer
  std::string m_strLowerPath;
  std::string m_strLowerBasePath;
  bool m_bLowerReadOnly;
  HKEY m_hDetachedLowerRoot;     // the lower root DetachLowerLayer took away

  // Class-wide defaults read by the constructors.
  static char s_szDefaultPath[MAX_PATH];
  static char s_szDefaultLowerPath[MAX_PATH];
  static bool s_bDefaultReadOnly;
  static bool s_bDefaultLowerReadOnly;
};
