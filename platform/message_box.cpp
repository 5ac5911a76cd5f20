// MessageBoxA on Linux: the caption and the text on standard output. It waits for Enter only
// when someone can press it (standard input is a terminal); otherwise it returns at once.

#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/win32.h"

namespace oarepair::platform {
namespace {

constexpr UINT kIconMask = 0xF0;

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads standard input up to the end of a line or of the input.
void WaitForEnter() {
  char c = 0;
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n' || c == '\r') return;
  }
}

}  // namespace
}  // namespace oarepair::platform

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  namespace p = oarepair::platform;
  (void)hWnd;
  // Windows captions a box without a caption "Error".
  std::string text = std::string(lpCaption != nullptr ? lpCaption : "Error") + ": ";
  if ((uType & p::kIconMask) == MB_ICONERROR) text += "error: ";
  text += lpText != nullptr ? lpText : "";
  text += "\n";
  if (!p::WriteAll(STDOUT_FILENO, text)) return 0;

  if (::isatty(STDIN_FILENO) == 1) {
    // The prompt goes where the person sees it, not into a file that holds our output.
    p::WriteAll(::isatty(STDOUT_FILENO) == 1 ? STDOUT_FILENO : STDERR_FILENO, "[Press Enter] ");
    p::WaitForEnter();
  }
  return IDOK;
}
