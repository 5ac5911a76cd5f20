// Controls of the Linux registry beyond the Win32 calls: which store it uses, when it saves, and
// the fault seam tests use. Not part of Win32; only Linux code and tests include it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace oarepair::platform {

// A fresh in-process registry that forgets everything (tests): HKEY_LOCAL_MACHINE holds
// Software\Classes, HKEY_CURRENT_USER holds Software.
void UseMemoryRegistry();
// The registry files of the prefix at `prefix` (system.reg and user.reg), loaded on first use.
void UsePrefixRegistry(const std::string& prefix);
// The prefix Wine would use: $WINEPREFIX, else ~/.wine. This is the start-up default.
void UseDefaultRegistry();

// Which Windows program the registry answers as. In a win64 prefix a 32-bit program sees Wine's
// 32-bit (WoW64) view: HKLM\Software is Software\Wow6432Node, HKEY_CLASSES_ROOT is
// Software\Classes\Wow6432Node with the keys Wine shares between the views, and links are
// followed. A win32 prefix has one view, the same for both. KEY_WOW64_32KEY and KEY_WOW64_64KEY
// on RegOpenKeyExA pick a view as they do under Wine. Selecting a registry resets it to 64-bit.
enum class RegistryView { k64Bit, k32Bit };
void SetRegistryView(RegistryView view);
RegistryView CurrentRegistryView();

// The views of the registry in use, in the order a whole-prefix repair serves them: a win64
// prefix has the 64-bit view, then the 32-bit one; a win32 prefix has its one 32-bit view. The
// in-memory registry, and a prefix whose system.reg cannot be read, answer with the 64-bit view.
std::vector<RegistryView> RegistryViews();
// "64-bit view" or "32-bit view".
const char* RegistryViewName(RegistryView view);

// The prefix the registry uses, or empty for the in-memory registry.
std::string RegistryPrefix();

// While held, the registry's session stays open between calls: the prefix stays locked and each
// changed file is saved once, when the hold ends (or a flush asks), rather than each time the
// last handle closes. Work on several views is one session that way.
void HoldRegistrySession(bool hold);

// Saves every changed file now, whether or not handles are open. Returns ERROR_SUCCESS or the
// error code of the first failure.
LONG FlushRegistry();

// Readies the prefix for a Wine program: saves every change, and checks that both registry
// files can be read. ERROR_SUCCESS, or why no Wine program may start now: a save failed, or a
// file is refused (Wine would load a malformed file its own way and write it back, losing what
// it misread). A running wineserver is no reason: the registry is then its own.
LONG PrepareRegistryForWine();

// Test seam: the nth registry call from now (1 = the next) fails with `code`; 0 disables.
void FailRegistryCallAt(uint64_t n, LONG code);
// Registry calls made since start, counting every Reg* function.
uint64_t RegistryCallCount();

}  // namespace oarepair::platform
