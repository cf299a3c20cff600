// The module: its eight functions, their method records in registration
// order, the definition record, its execution step and the initialiser.
#include <Python.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "facts/facts.h"
#include "facts/numeric.h"
#include "lookup/builtins.h"
#include "lookup/lookup.h"
#include "module/binding.h"
#include "module/convert.h"
#include "module/error.h"
#include "module/failure.h"
#include "module/ref.h"

namespace kelvar::py {
namespace {

// --- Signatures -------------------------------------------------------------

constexpr std::string_view fib_parameters[] = {"n"};
constexpr std::string_view sum_parameters[] = {"arr"};
constexpr std::string_view find_parameters[] = {"name", "fuzzy"};
constexpr std::string_view builtin_parameters[] = {"command"};

constexpr Signature fib_signature{"fib", {}, fib_parameters, 0, 1, {}};
constexpr Signature sum_signature{"sum_as_arr", {}, sum_parameters, 0, 1, {}};
constexpr Signature find_signature{"find_executable", {}, find_parameters, 0, 2, {}};
constexpr Signature builtin_signature{"is_windows_builtin", {}, builtin_parameters, 0, 1, {}};

// Converts the object bound to parameter `index` with `convert`, re-labelling
// a failure with the parameter's name.
template <class Convert>
auto convert_slot(const Signature& signature, const Ref* slots, std::size_t index, Convert convert)
    -> decltype(convert(nullptr)) {
  auto converted = convert(slots[index].get());
  if (!converted) return wrap_argument_error(signature.positional[index], converted.take_error());
  return converted;
}

// --- Bodies -----------------------------------------------------------------

Result<Ref> fib_body(PyObject* args, PyObject* kwargs) {
  std::array<Ref, 1> slots;
  if (auto bound = py::bind(fib_signature, args, kwargs, slots); !bound) return bound.take_error();
  auto n = convert_slot(fib_signature, slots.data(), 0, to_u32);
  if (!n) return n.take_error();
  return new_u32(facts::fib(n.value()));
}

Result<Ref> sum_as_arr_body(PyObject* args, PyObject* kwargs) {
  std::array<Ref, 1> slots;
  if (auto bound = py::bind(sum_signature, args, kwargs, slots); !bound) return bound.take_error();
  auto values = convert_slot(sum_signature, slots.data(), 0, to_i32_sequence);
  if (!values) return values.take_error();
  return new_i32(facts::sum_wrapping(values.value().data(), values.value().size()));
}

// Answers the lookup without the interpreter lock, so that a slow or hung
// `where` does not stop every other Python thread (on Windows reading the
// answer may also ask the file system about the path, which on an
// unreachable share can take as long). The lock is taken back for a moment
// whenever the runner asks whether to stop (see lookup/runner.h): after
// every wait that timed out (100 ms) or that a signal cut short, and at least
// every 100 ms while output keeps coming. Without a pidfd the wait for the
// exit of `where` is a series of short naps, and the lock is taken back after
// every one of them. There signal handlers run: a Ctrl+C must still end the
// lookup, as it would end any other blocking call.
Result<lookup::Answer> answer_unlocked(const lookup::Lookup& prepared) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  lookup::Answer answer;
  without_lock([&](Detached& detached) {
    answer = prepared.answer([&] {
      return detached.with_lock([&] {
        if (into_python(PyErr_CheckSignals) == 0) return false;
        // Kept raw until the runner has cleaned up: turning it into a
        // pending error may run code that must not unwind through the runner.
        PyErr_Fetch(&type, &value, &traceback);
        return true;
      });
    });
  });
  if (type != nullptr) {
    into_python([&] { PyErr_Restore(type, value, traceback); });
    return PendingError::fetch();
  }
  return answer;
}

// The path the interpreter records for itself as it was started
// (sys.executable), in the file system's bytes, for a lookup that looks beside
// it; empty when the host records none, an empty one, or something that is no
// str, and the lookup then asks the process instead. Read while preparing
// each run, under the lock, since Python code may change it.
std::string interpreter_path() {
  if (!lookup::looks_beside_interpreter()) return std::string();
  PyObject* const recorded = into_python([] { return PySys_GetObject("executable"); });
  if (recorded == nullptr || !PyUnicode_Check(recorded)) return std::string();
  Ref executable = Ref::borrow(recorded);
  Ref bytes = Ref::steal(into_python([&] { return PyUnicode_EncodeFSDefault(executable.get()); }));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
    // A path the file system cannot name is no directory to look in.
    into_python(PyErr_Clear);
    return std::string();
  }
  return std::string(data, static_cast<std::size_t>(size));
}

Result<Ref> find_executable_body(PyObject* args, PyObject* kwargs) {
  std::array<Ref, 2> slots;
  if (auto bound = py::bind(find_signature, args, kwargs, slots); !bound) return bound.take_error();
  auto name = convert_slot(find_signature, slots.data(), 0, to_text);
  if (!name) return name.take_error();
  auto fuzzy = convert_slot(find_signature, slots.data(), 1, to_bool);
  if (!fuzzy) return fuzzy.take_error();

  const std::string_view text = name.value();
  // Taken while the lock is held: the environment and the program search are
  // process-wide state that Python code may change.
  const lookup::Lookup prepared = lookup::Lookup::prepare(text, fuzzy.value(), interpreter_path());
  auto answer = answer_unlocked(prepared);
  if (!answer) return answer.take_error();
  using Kind = lookup::Answer::Kind;
  switch (answer.value().kind) {
    case Kind::found:
      return new_lookup_result(text, answer.value().path);
    case Kind::not_found:
      return new_lookup_result(text, std::nullopt);
    case Kind::stopped:
      break;
  }
  // A stop is asked for only with an exception, taken above.
  fail("the lookup was stopped without an exception to report");
}

Result<Ref> is_windows_builtin_body(PyObject* args, PyObject* kwargs) {
  std::array<Ref, 1> slots;
  if (auto bound = py::bind(builtin_signature, args, kwargs, slots); !bound) {
    return bound.take_error();
  }
  auto command = convert_slot(builtin_signature, slots.data(), 0, to_text);
  if (!command) return command.take_error();
  return new_bool(lookup::is_builtin_command(command.value()));
}

// --- Entry points -----------------------------------------------------------

template <Result<Ref> (*Body)(PyObject*, PyObject*)>
PyObject* with_arguments(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
  return guarded_call([=] { return Body(args, kwargs); });
}

// is_windows_builtin is called in loops, one name at a time, so the usual
// call is answered here at the cost of the calling convention itself: one
// argument by position, no keywords, a str with a UTF-8 form. The benchmark
// row "is_windows_builtin vs no-op C function" (bench/rows.py) is what pays
// for this second binder: through the general one and the call guard a call
// took about 1.4 times the no-op's time (x86-64 Linux, 3.12), against the
// row's goal of 1.15; this way about 1.05. That call binds
// its argument to `command` whatever else is true, so the general binder
// adds nothing to it; every other call (a keyword, a wrong count, an empty
// keyword dictionary or a tuple subclass, a non-str) goes the general way,
// which gives every message as before. The item is borrowed from the tuple,
// which the interpreter keeps alive for the call: no Python code of the
// caller's runs between reading it and answering (the UTF-8 form of a str is
// read, not computed by any method of a subclass), so nothing can drop it.
// The section's entry may release what an earlier call on this thread left
// waiting, running finalisers, and the thread may be ended there; this frame
// holds nothing that the unwind would drop. No internal failure can start
// here, and the answer lets go of nothing, so the section is all of the guard
// this needs.
PyObject* is_windows_builtin_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  // The size of an exact tuple is its object header's ob_size, which is part
  // of the stable ABI: no call needed to read it.
  if (kwargs == nullptr && PyTuple_CheckExact(args) && Py_SIZE(args) == 1) {
    PyObject* const command = PyTuple_GetItem(args, 0);
    // An exact str is told by its type pointer, without asking for flags.
    if (Py_IS_TYPE(command, &PyUnicode_Type) || PyUnicode_Check(command)) {
      Py_ssize_t size = 0;
      if (const char* const utf8 =
              into_python([&] { return PyUnicode_AsUTF8AndSize(command, &size); })) {
        const AttachedSection attached;
        const std::string_view text(utf8, static_cast<std::size_t>(size));
        // A new reference from the one call, as cheap as counting one by hand.
        return PyBool_FromLong(lookup::is_builtin_command(text) ? 1 : 0);
      }
      // A lone surrogate has no UTF-8 form: the encoder's UnicodeEncodeError,
      // raised by the guard as the general path raises it.
      return guarded_call([] {
        return Result<Ref>(wrap_argument_error(builtin_parameters[0], PendingError::fetch()));
      });
    }
  }
  return with_arguments<is_windows_builtin_body>(self, args, kwargs);
}

template <Result<Ref> (*Body)()>
PyObject* without_arguments(PyObject* /*self*/, PyObject* /*unused*/) {
  return guarded_call([] { return Body(); });
}

Result<Ref> cmd_exe_path_body() {
  return new_str(facts::cmd_exe_path);
}
Result<Ref> version_body() {
  return new_str(facts::version);
}
Result<Ref> is_windows_body() {
  return new_bool(facts::is_windows);
}
Result<Ref> executable_extension_body() {
  return new_str(facts::executable_extension);
}

// The interpreter stores every entry point as a two-argument PyCFunction and
// calls it by the signature its flags announce.
PyCFunction as_cfunction(PyObject* (*entry)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

constexpr int with_arguments_flags = METH_VARARGS | METH_KEYWORDS | METH_STATIC;
constexpr int without_arguments_flags = METH_NOARGS | METH_STATIC;

// --- Docstrings ---------------------------------------------------------------

constexpr char fib_doc[] =
    "fib(n)\n--\n\nCalculate fibonacci number using recursive approach\n\n# Arguments\n* `n` - "
    "The position in fibonacci sequence (u32)\n\n# Returns\nThe nth fibonacci number\n\n# "
    "Examples\n```\nlet result = fib(10);\nassert_eq!(result, 55);\n```";
constexpr char sum_as_arr_doc[] =
    "sum_as_arr(arr)\n--\n\nSum array elements\n\n# Arguments\n* `arr` - Vector of integers to "
    "sum\n\n# Returns\nSum of all elements in the array\n\n# Examples\n```\nlet result = "
    "sum_as_arr(vec![1, 2, 3, 4, 5]);\nassert_eq!(result, 15);\n```";
constexpr char find_executable_doc[] =
    "find_executable(name, fuzzy)\n--\n\nFind executable path for commands cross-platform\n\n# "
    "Arguments\n* `name` - Name of the command to find\n* `fuzzy` - Whether to use fuzzy "
    "matching\n\n# Returns\nTuple containing (command_name, Option<path>)";
constexpr char is_windows_builtin_doc[] =
    "is_windows_builtin(command)\n--\n\nCheck if a command is a Windows built-in command\n\n# "
    "Arguments\n* `command` - The command name to check\n\n# Returns\nTrue if the command is a "
    "Windows built-in, false otherwise";
constexpr char get_cmd_exe_path_doc[] =
    "get_cmd_exe_path()\n--\n\nGet Windows cmd.exe path for built-in commands\n\n# "
    "Returns\nStatic string representing the cmd.exe path for built-ins";
constexpr char get_version_doc[] = "get_version()\n--\n\nGet library version information";
constexpr char is_windows_doc[] = "is_windows()\n--\n\nCheck if running on Windows";
constexpr char get_executable_extension_doc[] =
    "get_executable_extension()\n--\n\nGet platform-specific executable extension";

// --- Method records -------------------------------------------------------------

// Static: every function object created from one keeps pointing at it.
PyMethodDef fib_record{"fib", as_cfunction(with_arguments<fib_body>), with_arguments_flags,
                       fib_doc};
PyMethodDef sum_as_arr_record{"sum_as_arr", as_cfunction(with_arguments<sum_as_arr_body>),
                              with_arguments_flags, sum_as_arr_doc};
PyMethodDef find_executable_record{"find_executable",
                                   as_cfunction(with_arguments<find_executable_body>),
                                   with_arguments_flags, find_executable_doc};
PyMethodDef is_windows_builtin_record{"is_windows_builtin", as_cfunction(is_windows_builtin_entry),
                                      with_arguments_flags, is_windows_builtin_doc};
PyMethodDef get_cmd_exe_path_record{"get_cmd_exe_path", without_arguments<cmd_exe_path_body>,
                                    without_arguments_flags, get_cmd_exe_path_doc};
PyMethodDef get_version_record{"get_version", without_arguments<version_body>,
                               without_arguments_flags, get_version_doc};
PyMethodDef is_windows_record{"is_windows", without_arguments<is_windows_body>,
                              without_arguments_flags, is_windows_doc};
PyMethodDef get_executable_extension_record{"get_executable_extension",
                                            without_arguments<executable_extension_body>,
                                            without_arguments_flags, get_executable_extension_doc};

// In registration order.
PyMethodDef* const records[] = {
    &fib_record,
    &sum_as_arr_record,
    &find_executable_record,
    &is_windows_builtin_record,
    &get_cmd_exe_path_record,
    &get_version_record,
    &is_windows_record,
    &get_executable_extension_record,
};

// --- The module -----------------------------------------------------------------

// The module's __all__ list, created for the first function registered.
Result<Ref> all_list(PyObject* module) {
  Ref all = Ref::steal(into_python([=] { return PyObject_GetAttr(module, interned(Attr::all)); }));
  if (all) {
    if (!PyList_Check(all.get()))
      return type_mismatch(all.get(), reinterpret_cast<PyObject*>(&PyList_Type));
    return all;
  }
  PendingError error = PendingError::fetch();
  if (!error.matches(PyExc_AttributeError)) return error;
  Ref list = Ref::steal(created(into_python([] { return PyList_New(0); })));
  if (into_python([&] { return PyObject_SetAttr(module, interned(Attr::all), list.get()); }) != 0) {
    return PendingError::fetch();
  }
  return list;
}

Result<Unit> register_function(PyObject* module, PyMethodDef* record) {
  // Each call below makes objects, and may start a collection that runs
  // finalisers.
  Ref module_name = Ref::steal(into_python([=] { return PyModule_GetNameObject(module); }));
  if (!module_name) return PendingError::fetch();
  Ref function =
      Ref::steal(into_python([&] { return PyCFunction_NewEx(record, module, module_name.get()); }));
  module_name.reset();
  if (!function) return PendingError::fetch();
  Ref name = Ref::steal(
      into_python([&] { return PyObject_GetAttr(function.get(), interned(Attr::name)); }));
  if (!name) return PendingError::fetch();

  auto all = all_list(module);
  if (!all) return all.take_error();
  if (into_python([&] { return PyList_Append(all.value().get(), name.get()); }) != 0) {
    fail("could not append __name__ to __all__: " + PendingError::fetch().debug());
  }
  // Replacing an attribute may run the old value's finaliser.
  if (into_python([&] { return PyObject_SetAttr(module, name.get(), function.get()); }) != 0) {
    return PendingError::fetch();
  }
  return Unit{};
}

Result<Unit> install_functions(PyObject* module) {
  for (PyMethodDef* record : records) {
    if (auto registered = register_function(module, record); !registered) return registered;
  }
  return Unit{};
}

int exec_module(PyObject* module) {
  return guarded_exec([module] { return install_functions(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kelvar",
    "Main Kelvar module",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kelvar::py

PyMODINIT_FUNC PyInit__kelvar(void) {
  return PyModuleDef_Init(&kelvar::py::module_def);
}
