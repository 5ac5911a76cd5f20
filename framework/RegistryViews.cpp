#include "framework/RegistryViews.h"

#include <cstdio>
#include <vector>

#ifndef _WIN32
#include "platform/registry_control.h"
#endif

#ifdef _WIN32

void AfxBeginRegistryWork() {}
void AfxEndRegistryWork() {}

int AfxGetRegistryViewCount() { return 1; }

void AfxSelectRegistryView(int nView) { (void)nView; }

LPCSTR AfxGetRegistryViewName(int nView) {
  (void)nView;
  return sizeof(void*) == 8 ? "64-bit view" : "32-bit view";
}

void AfxReportProblem(LPCSTR pszLine) {
  // Only for a debugger that listens: without one, OutputDebugString raises an exception to find
  // out, and 32-bit Wine run under qemu-i386 has crashed in that (the emulated x86 tests).
  if (!IsDebuggerPresent()) return;
  OutputDebugStringA(pszLine);
  OutputDebugStringA("\n");
}

#else

namespace {

namespace p = oarepair::platform;

std::vector<p::RegistryView>& Views() {
  static std::vector<p::RegistryView> s_vecViews{p::RegistryView::k64Bit};
  return s_vecViews;
}

p::RegistryView ViewAt(int nView) {
  const auto& views = Views();
  return nView >= 0 && static_cast<size_t>(nView) < views.size() ? views[nView]
                                                                 : p::RegistryView::k64Bit;
}

}  // namespace

void AfxBeginRegistryWork() { p::HoldRegistrySession(true); }
void AfxEndRegistryWork() { p::HoldRegistrySession(false); }

int AfxGetRegistryViewCount() {
  Views() = p::RegistryViews();
  return static_cast<int>(Views().size());
}

void AfxSelectRegistryView(int nView) { p::SetRegistryView(ViewAt(nView)); }

LPCSTR AfxGetRegistryViewName(int nView) { return p::RegistryViewName(ViewAt(nView)); }

void AfxReportProblem(LPCSTR pszLine) { std::fprintf(stderr, "oarepair: %s\n", pszLine); }

#endif
