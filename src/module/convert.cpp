#include "module/convert.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>

#include "module/error.h"
#include "module/failure.h"
#include "module/ref.h"

namespace kelvar::py {
namespace {

constexpr std::string_view out_of_range = "out of range integral type conversion attempted";

PyObject* as_object(PyTypeObject* type) noexcept {
  return reinterpret_cast<PyObject*>(type);
}

PendingError out_of_range_error() {
  return PendingError::with_message(PyExc_OverflowError, std::string(out_of_range));
}

// collections.abc.Sequence, looked up the first time a non-sequence is
// refused; it only names the expected type in that message.
OnceObject sequence_class_cell;

PyObject* sequence_class() {
  return sequence_class_cell.get([] {
    Ref module = Ref::steal(into_python([] { return PyImport_ImportModule("collections.abc"); }));
    if (!module) fail("cannot import collections.abc: " + PendingError::fetch().debug());
    Ref sequence =
        Ref::steal(into_python([&] { return PyObject_GetAttrString(module.get(), "Sequence"); }));
    if (!sequence) {
      fail("collections.abc has no Sequence: " + PendingError::fetch().debug());
    }
    if (!PyType_Check(sequence.get())) fail("collections.abc.Sequence is not a type");
    // Kept, like every once-only value, for the life of the process.
    return sequence;
  });
}

// Whether attribute `name` of `type` is a str whose text is one of `texts`.
// Any failure to tell counts as no, and what went wrong is dropped.
bool attribute_is(PyObject* type, PyObject* name, std::initializer_list<const char*> texts) {
  Ref attribute = Ref::steal(into_python([=] { return PyObject_GetAttr(type, name); }));
  if (!attribute) {
    PendingError::discard();
    return false;
  }
  if (!PyUnicode_Check(attribute.get())) return false;
  // Compares the whole text, embedded NULs included, and cannot fail.
  return std::any_of(texts.begin(), texts.end(), [&](const char* text) {
    return PyUnicode_CompareWithASCIIString(attribute.get(), text) == 0;
  });
}

bool is_numpy_bool_type(PyObject* type) {
  return attribute_is(type, interned(Attr::module), {"numpy"}) &&
         attribute_is(type, interned(Attr::name), {"bool_", "bool"});
}

// NumPy's boolean scalars are not bool instances; they convert through their
// type's own __bool__, looked up on the type as the interpreter would.
Result<bool> numpy_bool(PyObject* object, PyObject* type) {
  Ref found =
      Ref::steal(into_python([=] { return PyObject_GetAttr(type, interned(Attr::bool_)); }));
  if (!found) {
    PendingError::discard();
    return PendingError::with_message(PyExc_TypeError, "object of type '" + display_text(type) +
                                                           "' does not define a '__bool__' "
                                                           "conversion");
  }
  // Static types answer PyType_GetSlot from 3.10 on, the oldest interpreter
  // this module is built for.
  auto* const get =
      reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(found.get()), Py_tp_descr_get));
  Ref method;
  if (get != nullptr) {
    method = Ref::steal(into_python([&] { return get(found.get(), object, type); }));
    if (!method) return PendingError::fetch();
  } else {
    method = std::move(found);
  }
  Ref result = Ref::steal(into_python([&] { return PyObject_CallObject(method.get(), nullptr); }));
  if (!result) return PendingError::fetch();
  if (Py_TYPE(result.get()) != &PyBool_Type) {
    return type_mismatch(result.get(), as_object(&PyBool_Type));
  }
  return result.get() == Py_True;
}

// The value of an item that is not an int, and the only part of an element's
// conversion that may run Python code.
Result<long> index_as_long(PyObject* object) {
  Ref index = Ref::steal(into_python([=] { return PyNumber_Index(object); }));
  if (!index) return PendingError::fetch();
  // An overflow raises, and making the error may start a collection.
  const long value = into_python([&] { return PyLong_AsLong(index.get()); });
  if (value == -1 && PyErr_Occurred() != nullptr) return PendingError::fetch();
  return value;
}

Result<std::int32_t> narrow_i32(long value) {
  // Where C long is 32 bits wide PyLong_AsLong has refused everything out of
  // range already; elsewhere the range is ours to enforce.
  const long long wide = value;
  if (wide < INT32_MIN || wide > INT32_MAX) return out_of_range_error();
  return static_cast<std::int32_t>(wide);
}

// An int (of any subclass) converts without running Python code.
Result<std::int32_t> int_to_i32(PyObject* object) {
  const long value = into_python([=] { return PyLong_AsLong(object); });
  if (value == -1 && PyErr_Occurred() != nullptr) return PendingError::fetch();
  return narrow_i32(value);
}

// Appends the item's value, or gives the item's conversion failure.
std::optional<PendingError> append_i32(std::vector<std::int32_t>& values, PyObject* item) {
  Result<std::int32_t> value = to_i32(item);
  if (!value) return value.take_error();
  values.push_back(value.value());
  return std::nullopt;
}

// A lying __len__ must not decide how much memory is taken before a single
// element has been seen, so a larger hint only sizes the first reservation up
// to this many elements and the array grows as elements arrive.
constexpr std::size_t max_reserved_elements = std::size_t{1} << 16;
// 4-byte elements past this count could not be addressed in a byte size.
constexpr std::uint64_t capacity_limit = std::uint64_t{1} << 61;

std::size_t length_hint(PyObject* object) {
  const Py_ssize_t size = into_python([=] { return PyObject_Size(object); });
  if (size < 0) {
    // A sequence that cannot tell its length is still converted in full.
    PendingError::discard();
    return 0;
  }
  if (static_cast<std::uint64_t>(size) >= capacity_limit) fail("capacity overflow");
  return static_cast<std::size_t>(size);
}

// The common element is an int. Unlike an element in general it runs no
// Python code, and it is kept free of Result and its variant, whose
// construction per element cost more than the rest of the loop: sums of long
// lists spend their time here.
enum class IntElement { converted, failed, too_wide };

class IntElements {
 public:
  // Whether the item is an int (of any subclass). Elements mostly share one
  // type, and a type that passed once passes again: its flags never change.
  bool holds(PyObject* item) noexcept {
    PyTypeObject* const type = Py_TYPE(item);
    if (type == last_int_type_) return true;
    if (!PyLong_Check(item)) return false;
    last_int_type_ = type;
    return true;
  }

  // Not noexcept: the error of an element beyond C long is made by a call
  // that may start a collection, and so run finalisers.
  static IntElement convert(PyObject* item, std::int32_t& out) {
    // One call fewer per element than PyLong_AsLong, which wraps this one;
    // for an int it raises nothing.
    int overflow = 0;
    const long long value = PyLong_AsLongAndOverflow(item, &overflow);
    if (overflow != 0) {
      // Beyond C long: the interpreter's own OverflowError, as PyLong_AsLong
      // raises it.
      (void)into_python([=] { return PyLong_AsLong(item); });
      return IntElement::failed;
    }
    if (value == -1 && PyErr_Occurred() != nullptr) return IntElement::failed;
    // Where C long is 32 bits wide PyLong_AsLong has refused these already.
    if (value < INT32_MIN || value > INT32_MAX) return IntElement::too_wide;
    out = static_cast<std::int32_t>(value);
    return IntElement::converted;
  }

  // The error for an int element that was not converted.
  static PendingError error(IntElement outcome) {
    if (outcome == IntElement::too_wide) return out_of_range_error();
    return PendingError::fetch();
  }

 private:
  PyTypeObject* last_int_type_ = nullptr;
};

// Exact lists and tuples give the same elements as their iterators, in the
// same order, without an iterator object. Converting an item through
// __index__ may run Python code that shrinks or grows the list, so the size
// is read again after every such item, as the list's own iterator would.
struct ListItems {
  static Py_ssize_t size(PyObject* list) { return PyList_Size(list); }
  static PyObject* item(PyObject* list, Py_ssize_t i) { return PyList_GetItem(list, i); }
};
struct TupleItems {
  static Py_ssize_t size(PyObject* tuple) { return PyTuple_Size(tuple); }
  static PyObject* item(PyObject* tuple, Py_ssize_t i) { return PyTuple_GetItem(tuple, i); }
};

template <class Items>
Result<std::vector<std::int32_t>> convert_items(PyObject* object, std::size_t hint) {
  std::vector<std::int32_t> values;
  // The hint of an exact list or tuple is its true size.
  values.reserve(hint);
  IntElements ints;
  Py_ssize_t size = Items::size(object);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = Items::item(object, i);  // borrowed
    if (item == nullptr) return PendingError::fetch();
    if (ints.holds(item)) {
      std::int32_t value = 0;
      const IntElement outcome = IntElements::convert(item, value);
      if (outcome != IntElement::converted) return IntElements::error(outcome);
      values.push_back(value);
      continue;
    }
    // __index__ may drop the container's own reference to the item.
    const Ref held = Ref::borrow(item);
    if (auto error = append_i32(values, held.get())) return std::move(*error);
    size = Items::size(object);
  }
  return values;
}

Result<std::vector<std::int32_t>> convert_iterated(PyObject* object, std::size_t hint) {
  std::vector<std::int32_t> values;
  values.reserve(std::min(hint, max_reserved_elements));
  Ref iterator = Ref::steal(into_python([=] { return PyObject_GetIter(object); }));
  if (!iterator) return PendingError::fetch();
  IntElements ints;
  while (true) {
    Ref item = Ref::steal(into_python([&] { return PyIter_Next(iterator.get()); }));
    if (!item) {
      if (PyErr_Occurred() != nullptr) return PendingError::fetch();
      break;
    }
    if (ints.holds(item.get())) {
      std::int32_t value = 0;
      const IntElement outcome = IntElements::convert(item.get(), value);
      if (outcome != IntElement::converted) return IntElements::error(outcome);
      values.push_back(value);
      continue;
    }
    if (auto error = append_i32(values, item.get())) return std::move(*error);
  }
  return values;
}

}  // namespace

Result<std::string_view> to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) return type_mismatch(object, as_object(&PyUnicode_Type));
  Py_ssize_t size = 0;
  const char* utf8 = into_python([&] { return PyUnicode_AsUTF8AndSize(object, &size); });
  // A lone surrogate has no UTF-8 form: the encoder's UnicodeEncodeError.
  if (utf8 == nullptr) return PendingError::fetch();
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

Result<bool> to_bool(PyObject* object) {
  PyTypeObject* const type = Py_TYPE(object);
  if (type == &PyBool_Type) return object == Py_True;
  if (is_numpy_bool_type(as_object(type))) return numpy_bool(object, as_object(type));
  return type_mismatch(object, as_object(&PyBool_Type));
}

Result<std::uint32_t> to_u32(PyObject* object) {
  unsigned long long value = 0;
  if (PyLong_Check(object)) {
    value = into_python([=] { return PyLong_AsUnsignedLongLong(object); });
  } else {
    Ref index = Ref::steal(into_python([=] { return PyNumber_Index(object); }));
    if (!index) return PendingError::fetch();
    value = into_python([&] { return PyLong_AsUnsignedLongLong(index.get()); });
  }
  // Negative values and those of 2^64 or more: the interpreter's OverflowError.
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return PendingError::fetch();
  }
  if (value > UINT32_MAX) return out_of_range_error();
  return static_cast<std::uint32_t>(value);
}

Result<std::int32_t> to_i32(PyObject* object) {
  if (PyLong_Check(object)) return int_to_i32(object);
  Result<long> value = index_as_long(object);
  if (!value) return value.take_error();
  return narrow_i32(value.value());
}

Result<std::vector<std::int32_t>> to_i32_sequence(PyObject* object) {
  // A str is a sequence, but of characters: refused before anything else.
  if (PyUnicode_Check(object)) {
    return PendingError::with_message(PyExc_TypeError, "Can't extract `str` to `Vec`");
  }
  if (!PySequence_Check(object)) return type_mismatch(object, sequence_class());
  const std::size_t hint = length_hint(object);
  if (PyList_CheckExact(object)) return convert_items<ListItems>(object, hint);
  if (PyTuple_CheckExact(object)) {
    return convert_items<TupleItems>(object, hint);
  }
  return convert_iterated(object, hint);
}

PendingError wrap_argument_error(std::string_view name, PendingError error) {
  // Subclasses of TypeError carry meaning of their own and pass unchanged.
  if (error.type() != PyExc_TypeError) return error;
  std::string message = "argument '";
  message.append(name);
  message.append("': ");
  message += display_text(error.value());
  Ref cause = Ref::steal(PyException_GetCause(error.value()));
  Ref relabelled = PendingError::with_message(PyExc_TypeError, std::move(message)).into_value();
  // The replaced error is not chained; only its own cause carries over.
  into_python([&] { PyException_SetCause(relabelled.get(), cause.release()); });
  return PendingError::from_value(std::move(relabelled));
}

// --- Results -----------------------------------------------------------------

Ref new_bool(bool value) {
  return Ref::borrow(value ? Py_True : Py_False);
}

Ref new_u32(std::uint32_t value) {
  return Ref::steal(created(into_python([=] { return PyLong_FromUnsignedLongLong(value); })));
}

Ref new_i32(std::int32_t value) {
  return Ref::steal(created(into_python([=] { return PyLong_FromLong(value); })));
}

Ref new_lookup_result(std::string_view name, std::optional<std::string_view> path) {
  Ref first = new_str(name);
  Ref second = path ? new_str(*path) : Ref::borrow(Py_None);
  Ref pair = Ref::steal(created(into_python([] { return PyTuple_New(2); })));
  PyTuple_SetItem(pair.get(), 0, first.release());
  PyTuple_SetItem(pair.get(), 1, second.release());
  return pair;
}

}  // namespace kelvar::py
