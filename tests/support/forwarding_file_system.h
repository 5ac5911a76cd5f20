// A FileSystem that passes every call on to another one. Test doubles derive from it and override
// only the calls they watch or change, as leveldb's EnvWrapper does for its Env.
#pragma once

#include <string>
#include <vector>

#include "platform/file_system.h"

namespace oarepair::test_support {

class ForwardingFileSystem : public platform::FileSystem {
 public:
  explicit ForwardingFileSystem(platform::FileSystem& base) : m_base(base) {}

  int Open(const std::string& a, int b, mode_t c, int* d) override { return m_base.Open(a, b, c, d); }
  int Read(int a, void* b, size_t c, size_t* d) override { return m_base.Read(a, b, c, d); }
  int PRead(int a, void* b, size_t c, uint64_t d, size_t* e) override {
    return m_base.PRead(a, b, c, d, e);
  }
  int Write(int a, const void* b, size_t c) override { return m_base.Write(a, b, c); }
  int Fsync(int a) override { return m_base.Fsync(a); }
  int Close(int a) override { return m_base.Close(a); }
  int Rename(const std::string& a, const std::string& b) override { return m_base.Rename(a, b); }
  int Unlink(const std::string& a) override { return m_base.Unlink(a); }
  int Stat(const std::string& a, struct stat* b) override { return m_base.Stat(a, b); }
  int LStat(const std::string& a, struct stat* b) override { return m_base.LStat(a, b); }
  int FStat(int a, struct stat* b) override { return m_base.FStat(a, b); }
  int FChmod(int a, mode_t b) override { return m_base.FChmod(a, b); }
  int FChown(int a, uid_t b, gid_t c) override { return m_base.FChown(a, b, c); }
  int Ftruncate(int a, uint64_t b) override { return m_base.Ftruncate(a, b); }
  int RealPath(const std::string& a, std::string* b) override { return m_base.RealPath(a, b); }
  int Flock(int a, int b) override { return m_base.Flock(a, b); }
  int TestPosixLock(int a, bool* b, pid_t* c) override { return m_base.TestPosixLock(a, b, c); }
  int ListFolder(const std::string& a, std::vector<std::string>* b) override {
    return m_base.ListFolder(a, b);
  }

 protected:
  platform::FileSystem& m_base;
};

}  // namespace oarepair::test_support
