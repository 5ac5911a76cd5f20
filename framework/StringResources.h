// The program's string table where the platform has no resource section (Linux): an array that
// the build generates from the same source as the Windows string table.
#pragma once

#include <cstddef>

#include "platform/win32.h"

struct AFX_STRING_RESOURCE {
  UINT nID;
  LPCSTR pszText;
};

// Defined by the application's generated string table.
extern const AFX_STRING_RESOURCE afxStringResources[];
extern const size_t afxStringResourceCount;
