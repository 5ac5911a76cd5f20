// Reads a CLayeredRegKey's merged listing into plain values for comparisons in tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "regkey/LayeredRegKey.h"

namespace oarepair::test_support {

using Listing = std::vector<std::pair<std::string, bool>>;  // name, bReadOnly

// Lists the key afresh through EnumSubKeys and returns its entries in order.
inline Listing ListKey(CLayeredRegKey& key) {
  Listing aEntries;
  const int nCount = key.EnumSubKeys();
  for (int nIndex = 0; nIndex < nCount; ++nIndex) {
    const CSubKeyEntry& entry = *key.m_aSubKeys.at(static_cast<size_t>(nIndex));
    aEntries.emplace_back(entry.strName, entry.bReadOnly);
  }
  return aEntries;
}

// The names alone, fetched with GetSubKeyName after a fresh EnumSubKeys.
inline std::vector<std::string> ListNames(CLayeredRegKey& key) {
  std::vector<std::string> aNames;
  const int nCount = key.EnumSubKeys();
  for (int nIndex = 0; nIndex < nCount; ++nIndex) aNames.emplace_back(key.GetSubKeyName(nIndex));
  return aNames;
}

}  // namespace oarepair::test_support
