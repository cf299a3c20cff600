// Conversions between Python objects and the native values of the bodies.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "module/error.h"
#include "module/ref.h"

namespace kelvar::py {

// A str's UTF-8 text, borrowed from the object's own cached form: valid for
// as long as the object is (arguments live for the whole call).
Result<std::string_view> to_text(PyObject* object);
Result<bool> to_bool(PyObject* object);
Result<std::uint32_t> to_u32(PyObject* object);
Result<std::int32_t> to_i32(PyObject* object);
Result<std::vector<std::int32_t>> to_i32_sequence(PyObject* object);

// A conversion failure of parameter `name`, re-labelled when it is exactly a
// TypeError.
PendingError wrap_argument_error(std::string_view name, PendingError error);

// Results: new references; a failure to create one is an internal failure.
Ref new_bool(bool value);
Ref new_u32(std::uint32_t value);
Ref new_i32(std::int32_t value);
Ref new_lookup_result(std::string_view name, std::optional<std::string_view> path);

}  // namespace kelvar::py
