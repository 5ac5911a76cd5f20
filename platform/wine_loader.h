// Finding the Wine loader that runs Windows programs of one bitness in a prefix: Debian's, an
// upstream package's, one on PATH, or the one WINE or WINELOADER names.
#pragma once

#include <string>
#include <vector>

#include "platform/registry_control.h"

namespace oarepair::platform {

// The folders searched when neither WINE nor WINELOADER is set, before and after those of PATH.
struct LoaderPlaces {
  std::vector<std::string> beforePath;
  std::vector<std::string> afterPath;
};
// Debian's /usr/lib/wine first, then PATH, then /opt/wine-{stable,devel,staging}/bin.
LoaderPlaces DefaultLoaderPlaces();

// The loader whose programs see `view`: "wine64" for the 64-bit view, "wine" for the 32-bit
// one. A found loader that is an ELF program must be one of that bitness (Debian's "wine" on
// PATH is a script that falls back to the 64-bit loader, so searched places accept only ELF
// programs). WINE, else WINELOADER, names one loader: when it is not of the view's bitness, the
// other is looked for beside it, and nowhere else. Empty when none is found; `looked` then says
// where it was looked for.
std::string FindWineLoader(RegistryView view, const LoaderPlaces& places, std::string* looked);

// Whether an ELF loader starts here: runs "LOADER --version" and waits for it (a few ms; Wine
// starts no server for it). 0, or an errno value: ENOEXEC where the kernel cannot run 32-bit
// programs although the 32-bit loader is installed, ETIMEDOUT after 10 s, EIO when it fails,
// ENOENT when it is no executable file. A script is not run: 0.
int CheckLoaderRuns(const std::string& loader);

}  // namespace oarepair::platform
