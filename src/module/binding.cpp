#include "module/binding.h"

#include <string>
#include <vector>

#include "module/error.h"
#include "module/failure.h"

namespace kelvar::py {
namespace {

// Everything below the success path of bind() builds texts; none of it runs
// for a call whose arguments fit.

std::string full_name(const Signature& signature) {
  std::string name;
  if (!signature.class_name.empty()) {
    name.append(signature.class_name);
    name.push_back('.');
  }
  name.append(signature.function_name);
  name.append("()");
  return name;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c': the interpreter's own wording.
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out.push_back(',');
      out.append(i + 1 == names.size() ? " and " : " ");
    }
    out.push_back('\'');
    out.append(names[i]);
    out.push_back('\'');
  }
  return out;
}

PendingError binding_error(std::string message) {
  return PendingError::with_message(PyExc_TypeError, std::move(message));
}

PendingError too_many_positional(const Signature& signature, Py_ssize_t given) {
  std::string message = full_name(signature);
  const std::size_t declared = signature.positional.size();
  if (signature.required_positional == declared) {
    message += " takes " + std::to_string(declared);
  } else {
    message += " takes from " + std::to_string(signature.required_positional) + " to " +
               std::to_string(declared);
  }
  message += " positional arguments but " + std::to_string(given);
  message += given == 1 ? " was given" : " were given";
  return binding_error(std::move(message));
}

PendingError unexpected_keyword(const Signature& signature, PyObject* key) {
  // The key is borrowed from a dictionary that its own __str__ may empty.
  const Ref held = Ref::borrow(key);
  return binding_error(full_name(signature) + " got an unexpected keyword argument '" +
                       display_text(held.get()) + "'");
}

PendingError multiple_values(const Signature& signature, std::string_view keyword) {
  std::string message = full_name(signature) + " got multiple values for argument '";
  message.append(keyword);
  message.push_back('\'');
  return binding_error(std::move(message));
}

PendingError positional_only_as_keyword(const Signature& signature,
                                        const std::vector<std::string_view>& keywords) {
  return binding_error(
      full_name(signature) +
      " got some positional-only arguments passed as keyword arguments: " + quoted_list(keywords));
}

PendingError missing(const Signature& signature, std::string_view kind,
                     const std::vector<std::string_view>& names) {
  std::string message =
      full_name(signature) + " missing " + std::to_string(names.size()) + " required ";
  message.append(kind);
  message.append(names.size() == 1 ? " argument: " : " arguments: ");
  message += quoted_list(names);
  return binding_error(std::move(message));
}

// Linear: a signature has a handful of names, and comparing the byte lengths
// first rejects almost every mismatch without touching the bytes.
template <class Names, class NameOf>
std::size_t find_name(const Names& names, std::string_view key, NameOf name_of) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string_view name = name_of(names[i]);
    if (name.size() == key.size() && name == key) return i;
  }
  return names.size();
}

// Places each keyword argument in its slot. Positional-only parameters named
// by keyword are all reported together, after every other keyword had its
// chance to fail first.
Result<Unit> bind_keywords(const Signature& signature, PyObject* kwargs, std::span<Ref> slots) {
  const std::size_t declared = signature.positional.size();
  // Filled only on the way to that error.
  std::vector<std::string_view> positional_only_keywords;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) return unexpected_keyword(signature, key);
    Py_ssize_t size = 0;
    const char* utf8 = into_python([&] { return PyUnicode_AsUTF8AndSize(key, &size); });
    if (utf8 == nullptr) {
      // A key with a lone surrogate cannot name any parameter; what the
      // encoder had to say about it is of no interest to the caller.
      PendingError::discard();
      return unexpected_keyword(signature, key);
    }
    const std::string_view text(utf8, static_cast<std::size_t>(size));

    const std::size_t keyword_index = find_name(
        signature.keyword_only, text, [](const KeywordOnlyParameter& p) { return p.name; });
    if (keyword_index < signature.keyword_only.size()) {
      Ref& slot = slots[declared + keyword_index];
      if (slot) return multiple_values(signature, text);
      slot = Ref::borrow(value);
      continue;
    }

    const std::size_t index =
        find_name(signature.positional, text, [](std::string_view name) { return name; });
    if (index == declared) return unexpected_keyword(signature, key);
    if (index < signature.positional_only) {
      positional_only_keywords.push_back(text);
      continue;
    }
    if (slots[index]) return multiple_values(signature, text);
    slots[index] = Ref::borrow(value);
  }
  if (!positional_only_keywords.empty()) {
    return positional_only_as_keyword(signature, positional_only_keywords);
  }
  return Unit{};
}

// Names every required parameter that neither a position nor a keyword filled.
Result<Unit> check_required(const Signature& signature, std::size_t given_count,
                            std::span<Ref> slots) {
  const std::size_t declared = signature.positional.size();
  const std::size_t required = signature.required_positional;
  bool missing_positional = false;
  for (std::size_t i = given_count; i < required; ++i) missing_positional |= !slots[i];
  if (missing_positional) {
    std::vector<std::string_view> names;
    for (std::size_t i = 0; i < required; ++i) {
      if (!slots[i]) names.push_back(signature.positional[i]);
    }
    return missing(signature, "positional", names);
  }

  std::vector<std::string_view> missing_keywords;
  for (std::size_t j = 0; j < signature.keyword_only.size(); ++j) {
    const KeywordOnlyParameter& parameter = signature.keyword_only[j];
    if (parameter.required && !slots[declared + j]) {
      missing_keywords.push_back(parameter.name);
    }
  }
  if (!missing_keywords.empty()) return missing(signature, "keyword", missing_keywords);
  return Unit{};
}

}  // namespace

Result<Unit> bind(const Signature& signature, PyObject* args, PyObject* kwargs,
                  std::span<Ref> slots) {
  const std::size_t declared = signature.positional.size();
  if (slots.size() < signature.slot_count()) fail("argument slots do not fit the signature");

  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  if (given < 0) return PendingError::fetch();
  const std::size_t given_count = static_cast<std::size_t>(given);
  for (std::size_t i = 0; i < given_count && i < declared; ++i) {
    slots[i] = Ref::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
  }
  if (given_count > declared) return too_many_positional(signature, given);

  if (kwargs != nullptr) {
    Result<Unit> bound = bind_keywords(signature, kwargs, slots);
    if (!bound) return bound;
  }
  return check_required(signature, given_count, slots);
}

}  // namespace kelvar::py
