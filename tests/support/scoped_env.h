// Sets (or, given a null value, removes) an environment variable for the life of the object and
// puts it back as it was afterwards.
#pragma once

#include <cstdlib>
#include <string>

namespace oarepair::test_support {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = std::getenv(name);
    m_had = old != nullptr;
    if (m_had) m_old = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv() {
    if (m_had) {
      ::setenv(m_name, m_old.c_str(), 1);
    } else {
      ::unsetenv(m_name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* m_name;
  bool m_had = false;
  std::string m_old;
};

}  // namespace oarepair::test_support
