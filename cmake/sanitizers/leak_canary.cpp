// A deliberately leaking extension module, built by .ci/sanitize with the same
// flags as _kelvar and run under the same leak-checker settings, so that the
// sanitizer run proves that a native leak of extension code called from the
// interpreter is still reported after the interpreter's own leaks are
// suppressed. Never installed, never shipped.

#define Py_LIMITED_API 0x030A0000
#include <Python.h>

#include <cstdlib>
#include <cstring>

namespace {

// Shapes of a leak in the module: a C++ allocation and a C allocation, each
// made directly in the entry point, the shallowest place possible (a deeper
// one has even more frames of extension code above the interpreter's).
PyObject* leak_new(PyObject*, PyObject*) {
  char* volatile block = new char[48];
  std::memset(block, 1, 48);
  block = nullptr;
  Py_RETURN_NONE;
}

PyObject* leak_malloc(PyObject*, PyObject*) {
  void* volatile block = std::malloc(40);
  std::memset(block, 2, 40);
  block = nullptr;
  Py_RETURN_NONE;
}

// The same allocations, released: must stay silent.
PyObject* no_leak(PyObject*, PyObject*) {
  char* block = new char[48];
  std::memset(block, 3, 48);
  delete[] block;
  std::free(std::malloc(40));
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"leak_new", leak_new, METH_NOARGS, nullptr},
    {"leak_malloc", leak_malloc, METH_NOARGS, nullptr},
    {"no_leak", no_leak, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_leak_canary", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit__leak_canary() {
  return PyModuleDef_Init(&definition);
}
