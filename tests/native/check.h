// A minimal test harness for the native tests: no dependency, so the same
// sources build natively and with the Windows cross-compiler.
//
//   TEST_CASE(name) { CHECK(expr); CHECK_EQ(a, b); }
//   int main() { return kelvar_test::run_all(); }
#pragma once

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kelvar_test {

struct Case {
  const char* name;
  void (*fn)();
};

inline std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

inline int& failures_in_case() {
  static int n = 0;
  return n;
}

struct Registrar {
  Registrar(const char* name, void (*fn)()) { registry().push_back({name, fn}); }
};

template <class T>
std::string show(const T& v) {
  std::ostringstream s;
  if constexpr (std::is_convertible_v<T, std::string_view>) {
    s << '"';
    for (unsigned char c : std::string_view(v)) {
      if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
        s << c;
      } else {
        static const char* hex = "0123456789abcdef";
        s << "\\x" << hex[c >> 4] << hex[c & 15];
      }
    }
    s << '"';
  } else {
    s << v;
  }
  return s.str();
}

inline void fail(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "  %s:%d: %s\n", file, line, what.c_str());
  ++failures_in_case();
}

inline int run_all() {
  int passed = 0, failed = 0;
  for (const Case& c : registry()) {
    failures_in_case() = 0;
    c.fn();
    if (failures_in_case() == 0) {
      ++passed;
    } else {
      ++failed;
      std::fprintf(stderr, "FAILED %s\n", c.name);
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  std::fflush(stdout);
  return failed == 0 ? 0 : 1;
}

}  // namespace kelvar_test

#define TEST_CASE(name)                                                   \
  static void name();                                                     \
  static const ::kelvar_test::Registrar name##_registrar(#name, &(name)); \
  static void name()

#define CHECK(expr) \
  ((expr) ? (void)0 : ::kelvar_test::fail(__FILE__, __LINE__, "CHECK(" #expr ") failed"))

#define CHECK_EQ(a, b)                                                                    \
  do {                                                                                    \
    const auto& check_a_ = (a);                                                           \
    const auto& check_b_ = (b);                                                           \
    if (!(check_a_ == check_b_))                                                          \
      ::kelvar_test::fail(__FILE__, __LINE__,                                             \
                          std::string(#a " == " #b ": ") + ::kelvar_test::show(check_a_) + \
                              " vs " + ::kelvar_test::show(check_b_));                    \
  } while (0)
