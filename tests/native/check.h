// A minimal test harness for the native tests: no dependency, so the same
// sources build natively and with the Windows cross-compiler.
//
//   TEST_CASE(name) { CHECK(expr); CHECK_EQ(a, b); }
//   TEST_CASE(other) { if (!possible) return SKIP("why"); ... }
//   int main(int argc, char** argv) { return kelvar_test::run_all(argc, argv); }
//
// Arguments to the test binary select the cases whose names contain one of
// them; with none, every case runs.
#pragma once

#include <cstdio>
#include <cstring>
#include <optional>
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

inline const char*& skip_reason() {
  static const char* reason = nullptr;
  return reason;
}

struct Registrar {
  Registrar(const char* name, void (*fn)()) { registry().push_back({name, fn}); }
};

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class T>
std::string show(const T& v) {
  std::ostringstream s;
  if constexpr (is_optional<T>::value) {
    if (!v) return "nullopt";
    return show(*v);
  } else if constexpr (std::is_enum_v<T>) {
    s << "enum " << static_cast<long long>(v);
  } else if constexpr (std::is_same_v<T, char> || std::is_same_v<T, unsigned char>) {
    s << static_cast<int>(v);
  } else if constexpr (std::is_convertible_v<T, std::string_view>) {
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

inline bool selected(const char* name, int argc, char** argv) {
  if (argc <= 1) return true;
  for (int i = 1; i < argc; ++i) {
    if (std::strstr(name, argv[i]) != nullptr) return true;
  }
  return false;
}

inline int run_all(int argc = 0, char** argv = nullptr) {
  int passed = 0, failed = 0, skipped = 0;
  for (const Case& c : registry()) {
    if (!selected(c.name, argc, argv)) continue;
    failures_in_case() = 0;
    skip_reason() = nullptr;
    c.fn();
    if (failures_in_case() != 0) {
      ++failed;
      std::fprintf(stderr, "FAILED %s\n", c.name);
    } else if (skip_reason() != nullptr) {
      ++skipped;
      std::printf("skipped %s: %s\n", c.name, skip_reason());
    } else {
      ++passed;
    }
  }
  std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
  std::fflush(stdout);
  return failed == 0 ? 0 : 1;
}

}  // namespace kelvar_test

#define TEST_CASE(name)                                                   \
  static void name();                                                     \
  static const ::kelvar_test::Registrar name##_registrar(#name, &(name)); \
  static void name()

// Marks the running case as skipped; use as `return SKIP("reason");`.
#define SKIP(reason) (void)(::kelvar_test::skip_reason() = (reason))

#define CHECK(expr) \
  ((expr) ? (void)0 : ::kelvar_test::fail(__FILE__, __LINE__, "CHECK(" #expr ") failed"))

#define CHECK_EQ(a, b)                                                                     \
  do {                                                                                     \
    const auto& check_a_ = (a);                                                            \
    const auto& check_b_ = (b);                                                            \
    if (!(check_a_ == check_b_))                                                           \
      ::kelvar_test::fail(__FILE__, __LINE__,                                              \
                          std::string(#a " == " #b ": ") + ::kelvar_test::show(check_a_) + \
                              " vs " + ::kelvar_test::show(check_b_));                     \
  } while (0)
