// Linked into oarepair_save_fault, the repair program for end-to-end tests of a failing save: from
// the start, every write and rename through the registry's file-system seam fails, as on a full
// or failing disk. (Tests run as root, which file modes cannot stop.)
#include <cerrno>

#include "platform/file_system.h"
#include "tests/support/fault_file_system.h"

namespace {

struct CInstallSaveFault {
  CInstallSaveFault() {
    using oarepair::test_support::FaultFileSystem;
    using oarepair::test_support::FsOp;
    static FaultFileSystem s_faults;
    s_faults.FailNth(FsOp::kWrite, 1, ENOSPC, /*andAfter=*/true);
    s_faults.FailNth(FsOp::kRename, 1, EIO, /*andAfter=*/true);
    oarepair::platform::SetFileSystem(&s_faults);
  }
} s_installSaveFault;

}  // namespace
