// Controls of the Linux registry beyond the Win32 calls: which store it uses, when it saves, and
// the fault seam tests use. Not part of Win32; only Linux code and tests include it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32.h"

namespace oarepair::platform {

// A fresh in-process registry that forgets everything (tests): HKEY_LOCAL_MACHINE holds
// Software\Classes, HKEY_CURRENT_USER holds Software.
void UseMemoryRegistry();
// The registry files of the prefix at `prefix` (system.reg and user.reg), loaded on first use.
void UsePrefixRegistry(const std::string& prefix);
// The prefix Wine would use: $WINEPREFIX, else ~/.wine. This is the start-up default.
void UseDefaultRegistry();

// The prefix the registry uses, or empty for the in-memory registry.
std::string RegistryPrefix();

// Saves every changed file now, whether or not handles are open. Returns ERROR_SUCCESS or the
// error code of the first failure.
LONG FlushRegistry();

// Test seam: the nth registry call from now (1 = the next) fails with `code`; 0 disables.
void FailRegistryCallAt(uint64_t n, LONG code);
// Registry calls made since start, counting every Reg* function.
uint64_t RegistryCallCount();

}  // namespace oarepair::platform
