// Single facts read out of the raw text of a Wine registry file: the prefix's architecture from
// the file's header, and the target of a "#link" key from its section.
#pragma once

#include <string>
#include <string_view>

namespace oarepair::platform {

// Whether the header (the bytes before the first section) says "#arch=win64". Wine takes a
// system.reg without that line for a 32-bit prefix.
bool HeaderSaysWin64(std::string_view header);

// The target of a link key: its "SymbolicLinkValue"=hex(6): value (the name compared as Wine
// compares value names, without case), decoded from UTF-16LE, continuation lines included.
// False when the section holds no such value or its bytes are not hex pairs.
bool ParseLinkTarget(std::string_view section, std::u16string* target);

}  // namespace oarepair::platform
