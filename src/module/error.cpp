#include "module/error.h"

#include <cstdio>
#include <string>

#include "common/utf8.h"
#include "module/failure.h"

namespace kelvar::py {

// --- Texts of objects ------------------------------------------------------

namespace {

// The text of `render(object)`; a failure is reported as unraisable and the
// object is named by its type instead.
std::string rendered(PyObject* object, PyObject* (*render)(PyObject*)) {
  std::string text;
  Ref rendering = Ref::steal(into_python([=] { return render(object); }));
  if (rendering && str_to_utf8_lenient(rendering.get(), text)) return text;
  PendingError::fetch().write_unraisable(object);

  Ref type_name = Ref::steal(into_python([=] {
    return PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), interned(Attr::name));
  }));
  Ref name_text =
      type_name ? Ref::steal(into_python([&] { return PyObject_Str(type_name.get()); })) : Ref();
  std::string name;
  if (name_text && str_to_utf8_lenient(name_text.get(), name)) {
    return "<unprintable " + name + " object>";
  }
  into_python(PyErr_Clear);
  return "<unprintable object>";
}

}  // namespace

bool str_to_utf8_lenient(PyObject* str, std::string& out) {
  // "surrogatepass" keeps lone surrogates as bytes, which the lenient decoding
  // then shows as replacement characters instead of failing.
  Ref bytes = Ref::steal(
      into_python([=] { return PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"); }));
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
  out = common::decode_utf8_lenient(std::string_view(data, static_cast<std::size_t>(size)));
  return true;
}

std::string display_text(PyObject* object) {
  return rendered(object, PyObject_Str);
}

std::string repr_text(PyObject* object) {
  return rendered(object, PyObject_Repr);
}

// --- Pending errors ----------------------------------------------------------

namespace {

class MessageProducer final : public PendingError::Producer {
 public:
  MessageProducer(PyObject* type, std::string message)
      : type_(type), message_(std::move(message)) {}
  std::pair<Ref, Ref> produce() override { return {Ref::borrow(type_), new_str(message_)}; }

 private:
  PyObject* type_;  // a static exception type of the interpreter: never released
  std::string message_;
};

class PanicProducer final : public PendingError::Producer {
 public:
  explicit PanicProducer(std::string message) : message_(std::move(message)) {}
  std::pair<Ref, Ref> produce() override {
    PyObject* type = panic_exception_type();
    Ref message = new_str(message_);
    Ref args = Ref::steal(created(into_python([] { return PyTuple_New(1); })));
    PyTuple_SetItem(args.get(), 0, message.release());
    return {Ref::borrow(type), std::move(args)};
  }

 private:
  std::string message_;
};

// Runs the producer and leaves its exception set in the interpreter.
void set_produced(PendingError::Producer& producer) {
  // Named, not a structured binding: the lambda below could not capture one
  // before Clang 16.
  std::pair<Ref, Ref> produced = producer.produce();
  Ref& type = produced.first;
  Ref& argument = produced.second;
  if (PyExceptionClass_Check(type.get())) {
    into_python([&] { PyErr_SetObject(type.get(), argument.get()); });
  } else {
    into_python(
        [] { PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException"); });
  }
}

struct Triple {
  Ref type, value, traceback;
};

// Takes the interpreter's current exception, normalised so that its instance
// exists.
Triple fetch_normalized() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != nullptr) into_python([&] { PyErr_NormalizeException(&type, &value, &traceback); });
  return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

// The traceback as the interpreter's own printer writes it.
std::string traceback_text(PyObject* traceback) {
  Ref io = Ref::steal(into_python([] { return PyImport_ImportModule("io"); }));
  Ref buffer = io ? Ref::steal(into_python(
                        [&] { return PyObject_CallMethod(io.get(), "StringIO", nullptr); }))
                  : Ref();
  std::string text;
  if (buffer && into_python([&] { return PyTraceBack_Print(traceback, buffer.get()); }) == 0) {
    Ref value = Ref::steal(
        into_python([&] { return PyObject_CallMethod(buffer.get(), "getvalue", nullptr); }));
    if (value && str_to_utf8_lenient(value.get(), text)) return text;
  }
  into_python(PyErr_Clear);
  return "<traceback could not be printed>";
}

// A PanicException raised by Python code: the failure it stands for goes on
// in the module, after the interpreter has shown where it came from.
[[noreturn]] void resume_panic(Triple panic) {
  std::string message;
  Ref text = Ref::steal(into_python([&] { return PyObject_Str(panic.value.get()); }));
  if (!text || !str_to_utf8_lenient(text.get(), message)) {
    message = "Unwrapped panic from Python code";
    fetch_normalized();  // the failure of str() is dropped
  }
  std::fputs(
      "--- kelvar is resuming an internal failure after taking over a PanicException from "
      "Python ---\nPython stack trace below:\n",
      stderr);
  std::fflush(stderr);
  into_python([&] {
    PyErr_Restore(panic.type.release(), panic.value.release(), panic.traceback.release());
    PyErr_PrintEx(0);
  });
  resume_failure(std::move(message));
}

}  // namespace

PendingError PendingError::lazy(std::unique_ptr<Producer> producer) noexcept {
  PendingError error;
  error.producer_ = std::move(producer);
  return error;
}

PendingError PendingError::with_message(PyObject* type, std::string message) {
  return lazy(std::make_unique<MessageProducer>(type, std::move(message)));
}

PendingError PendingError::panic(std::string message) {
  return lazy(std::make_unique<PanicProducer>(std::move(message)));
}

PendingError PendingError::from_value(Ref value) {
  PendingError error;
  error.type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
  error.traceback_ = Ref::steal(PyException_GetTraceback(value.get()));
  error.value_ = std::move(value);
  return error;
}

std::optional<PendingError> PendingError::take() {
  Triple taken = fetch_normalized();
  if (!taken.type) return std::nullopt;
  // Before the type exists no instance of it can: asking for it here would
  // create it for nothing, and inside its own creation wait on itself.
  PyObject* const panic_type = panic_exception_type_if_created();
  if (panic_type != nullptr &&
      reinterpret_cast<PyObject*>(Py_TYPE(taken.value.get())) == panic_type) {
    resume_panic(std::move(taken));
  }
  PendingError error;
  error.type_ = std::move(taken.type);
  error.value_ = std::move(taken.value);
  error.traceback_ = std::move(taken.traceback);
  return error;
}

PendingError PendingError::fetch() {
  if (std::optional<PendingError> taken = take()) return std::move(*taken);
  return with_message(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void PendingError::discard() {
  take();
}

void PendingError::restore() && {
  if (producer_) {
    set_produced(*producer_);
    producer_.reset();
    // Hand the interpreter an instance rather than a type and an argument, so
    // that it exists before control returns to Python code.
    Triple set = fetch_normalized();
    into_python(
        [&] { PyErr_Restore(set.type.release(), set.value.release(), set.traceback.release()); });
    return;
  }
  into_python([&] { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); });
}

void PendingError::normalize() {
  if (!producer_) return;
  // Confined to its thread, so there is nobody to race with: the error is
  // produced and normalised in place while this thread is attached.
  set_produced(*producer_);
  producer_.reset();
  Triple set = fetch_normalized();
  type_ = std::move(set.type);
  value_ = std::move(set.value);
  traceback_ = std::move(set.traceback);
}

PyObject* PendingError::type() {
  normalize();
  return type_.get();
}

PyObject* PendingError::value() {
  normalize();
  return value_.get();
}

PyObject* PendingError::traceback() {
  normalize();
  return traceback_.get();
}

Ref PendingError::into_value() && {
  normalize();
  if (traceback_) into_python([&] { PyException_SetTraceback(value_.get(), traceback_.get()); });
  return std::move(value_);
}

void PendingError::write_unraisable(PyObject* context) && {
  std::move(*this).restore();
  into_python([context] { PyErr_WriteUnraisable(context); });
}

std::string PendingError::debug() {
  normalize();
  std::string text = "PyErr { type: " + repr_text(type_.get()) +
                     ", value: " + repr_text(value_.get()) + ", traceback: ";
  text += traceback_ ? "Some(" + quoted(traceback_text(traceback_.get())) + ")" : "None";
  return text + " }";
}

// --- The type-mismatch error -------------------------------------------------

namespace {

std::string qualified_name(PyObject* type) {
  Ref name =
      Ref::steal(into_python([=] { return PyObject_GetAttr(type, interned(Attr::qualname)); }));
  if (name && PyUnicode_Check(name.get())) {
    return display_text(name.get());
  }
  into_python(PyErr_Clear);
  return "<failed to extract type name>";
}

std::string target_text(PyObject* target) {
  if (PyType_Check(target)) {
    if (target == reinterpret_cast<PyObject*>(Py_TYPE(Py_None))) return "None";
    return qualified_name(target);
  }
  if (PyTuple_Check(target)) {
    std::string text;
    const Py_ssize_t count = PyTuple_Size(target);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (i > 0) text += " | ";
      text += target_text(PyTuple_GetItem(target, i));
    }
    return text;
  }
  return display_text(target);
}

class TypeMismatch final : public PendingError::Producer {
 public:
  TypeMismatch(PyObject* object, PyObject* target)
      : object_(Ref::borrow(object)), target_(Ref::borrow(target)) {}

  std::pair<Ref, Ref> produce() override {
    std::string text;
    if (object_.get() == Py_None) {
      text = "'None' is not an instance of '";
    } else {
      text = "'";
      text += qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(object_.get())));
      text += "' object is not an instance of '";
    }
    text += target_text(target_.get());
    text += "'";
    return {Ref::borrow(PyExc_TypeError), new_str(text)};
  }

 private:
  Ref object_;
  Ref target_;
};

}  // namespace

PendingError type_mismatch(PyObject* object, PyObject* target) {
  return PendingError::lazy(std::make_unique<TypeMismatch>(object, target));
}

}  // namespace kelvar::py
