// Records the repair run's calls through the process-start and message-box seams, in order, and
// arranges the class key the run works on. Shared by the application tests.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace oarepair::test_support {

// One call that reached a seam.
struct SeamCall {
  enum class Kind { kWinExec, kMessageBox };
  Kind kind;
  std::string strText;     // the command line, or the message text
  std::string strCaption;  // the message box caption
  UINT nValue;             // the show state, or the message box type
  LONG nClassKeyOpen;      // RegOpenKeyExA's result for the class key at the time of the call
  unsigned long long nRegistryCalls;  // Linux: registry calls made before this one (0 elsewhere)
};

// HKEY_CLASSES_ROOT-relative path of the OLE Automation dispatch class key.
extern const char kClassKeyPath[];
// A neighbouring class key that the run must leave alone.
extern const char kNeighbourKeyPath[];

// RegOpenKeyExA(HKEY_CLASSES_ROOT, kClassKeyPath, KEY_READ): ERROR_SUCCESS or the error.
LONG OpenClassKeyResult();

// Fixture: installs recording hooks for WinExec and the message box (restored afterwards) and
// starts every test without the class key. On Windows the tests change HKEY_CLASSES_ROOT of the
// machine they run on, so they run only under Wine (in a throwaway prefix), or where
// OAREPAIR_ALLOW_REGISTRY_TESTS=1 says the registry may be changed.
class RepairRunTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The damaged registration: the class key with a bogus InprocServer32 and a junk subtree three
  // levels deep.
  void MakeDamagedClassKey();

  const std::vector<SeamCall>& Calls() const;
  // What the WinExec hook returns (33, "started", unless changed).
  void SetWinExecResult(UINT nResult);
  // Whether the WinExec hook passes the call on to the platform's WinExec.
  void SetWinExecPassThrough(bool bPassThrough);
  // Whether the WinExec hook registers the class again before it returns, as RegSvr32 does when
  // WinExec waits for the started program to settle (Windows and Wine wait up to 30 s).
  void SetWinExecRegistersClass(bool bRegisters);
  // What the platform's WinExec returned on the last passed-on call.
  UINT LastPlatformWinExecResult() const;
};

}  // namespace oarepair::test_support
