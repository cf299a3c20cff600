// Binding of the argument tuple and keyword dictionary to named parameters.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "module/error.h"
#include "module/ref.h"

namespace kelvar::py {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

// The static description of one function's parameters.
struct Signature {
  std::string_view function_name;
  std::string_view class_name;  // empty for module functions
  std::span<const std::string_view> positional;
  std::size_t positional_only;
  std::size_t required_positional;
  std::span<const KeywordOnlyParameter> keyword_only;

  std::size_t slot_count() const noexcept { return positional.size() + keyword_only.size(); }
};

// Fills `slots` (one per parameter: the positional ones, then the
// keyword-only ones; all empty on entry) with strong references to the bound
// objects, or gives the binding error. Strong, because the caller of a
// function may keep using the keyword dictionary it passed (a call from C
// can), and Python code run later in the call, or another thread while the
// lock is let go, may then empty it and free the values.
Result<Unit> bind(const Signature& signature, PyObject* args, PyObject* kwargs,
                  std::span<Ref> slots);

}  // namespace kelvar::py
