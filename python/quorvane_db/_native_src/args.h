// Argument binding and conversion for every method of `_native`.
//
// A method's parameters come from its doc string: the text-signature line
// ("name($self, a, b=None)") is parsed at compile time into a Signature, so
// the names the interpreter shows and the names the binder matches are one
// and the same text. BoundArgs then maps a vectorcall (or a tp_new tuple and
// dict) onto those names by Python's rules for positional-or-keyword
// parameters and converts each argument with `from_py`.
//
// Converters (`from_py(PyObject*, T&)`) raise the bare conversion error;
// BoundArgs::convert re-raises a TypeError as "argument '{name}': {message}"
// with the original as its cause, and lets every other error through.
#pragma once

#include "py_ref.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvn::py {

class Signature {
 public:
  static constexpr size_t kMaxParams = 12;
  static constexpr size_t kMaxName = 64;

  // `owner` is the class the callable belongs to ("Engine"); `doc` is the
  // whole doc string, text-signature line first.
  consteval Signature(const char* owner, const char* doc) : owner_(owner), doc_(doc) {
    std::string_view d(doc);
    size_t open = d.find('(');
    size_t close = d.find(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
        open + 1 > kMaxName) {
      throw std::logic_error("doc string does not start with a text signature");
    }
    for (size_t i = 0; i < open; ++i) name_[i] = d[i];
    std::string_view list = d.substr(open + 1, close - open - 1);
    bool seen_default = false;
    while (!list.empty()) {
      size_t comma = list.find(", ");
      std::string_view item = list.substr(0, comma);
      list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 2);
      if (item == "$self") continue;
      size_t eq = item.find('=');
      bool has_default = eq != std::string_view::npos;
      if (n_params_ == kMaxParams) throw std::logic_error("too many parameters");
      if (!has_default && seen_default) throw std::logic_error("required after optional");
      params_[n_params_++] = item.substr(0, eq);
      if (has_default) {
        seen_default = true;
      } else {
        ++n_required_;
      }
    }
  }

  const char* name() const { return name_; }
  const char* doc() const { return doc_; }
  const char* owner() const { return owner_; }
  size_t n_params() const { return n_params_; }
  size_t n_required() const { return n_required_; }
  std::string_view param(size_t i) const { return params_[i]; }
  // "Engine.mem_write()", or "Engine.__new__()" for a class's own signature.
  std::string display_name() const;

 private:
  const char* owner_;
  const char* doc_;
  char name_[kMaxName] = {};
  std::array<std::string_view, kMaxParams> params_{};
  size_t n_params_ = 0;
  size_t n_required_ = 0;
};

// --- converters ---------------------------------------------------------------
// Each returns false with the conversion's own Python error set. The
// templates are declared first so that they find each other when nested
// (a list of pairs of ints, for example), whatever their element types.

template <class T>
bool from_py(PyObject* obj, std::optional<T>& out);
template <class T>
bool from_py(PyObject* obj, std::vector<T>& out);
template <class A, class B>
bool from_py(PyObject* obj, std::pair<A, B>& out);

// u64: int or anything with __index__, through the unsigned conversion
// (OverflowError for negative or too large values).
bool from_py(PyObject* obj, uint64_t& out);
// u32/u16/u8: the signed conversion, then a range check raising OverflowError
// "out of range integral type conversion attempted".
bool from_py(PyObject* obj, uint32_t& out);
bool from_py(PyObject* obj, uint16_t& out);
bool from_py(PyObject* obj, uint8_t& out);
// Anything the interpreter's float conversion accepts.
bool from_py(PyObject* obj, double& out);
// As double, then rounded to the nearest float32 (no range check).
bool from_py(PyObject* obj, float& out);
// True/False, or NumPy's boolean scalar by its truth value; not int.
bool from_py(PyObject* obj, bool& out);
// str or a subclass, as UTF-8 bytes (embedded NULs kept, so a path holding
// one reaches the platform layer, which refuses it).
bool from_py(PyObject* obj, std::string& out);
// Any object, kept as a new reference (for arguments converted later).
bool from_py(PyObject* obj, PyRef& out);

// A one-dimensional float32 ndarray (or subclass), only read. Its memory is
// checked and copied by copy_vector once every argument is converted.
struct F32Array {
  PyRef array;
  size_t size() const;
};
bool from_py(PyObject* obj, F32Array& out);

// A two-dimensional float32 ndarray, any strides.
struct F32Matrix {
  PyRef array;
};
bool from_py(PyObject* obj, F32Matrix& out);

// None gives nullopt; anything else converts as T.
template <class T>
bool from_py(PyObject* obj, std::optional<T>& out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  T value{};
  if (!from_py(obj, value)) return false;
  out = std::move(value);
  return true;
}

// A sequence other than str, its items taken by iteration and converted in
// order. A str raises "Can't extract `str` to `Vec`".
bool for_each_sequence_item(PyObject* obj, bool (*fn)(PyObject* item, void* ctx), void* ctx);
template <class T>
bool from_py(PyObject* obj, std::vector<T>& out) {
  out.clear();
  return for_each_sequence_item(
      obj,
      [](PyObject* item, void* ctx) {
        auto& vec = *static_cast<std::vector<T>*>(ctx);
        T value{};
        if (!from_py(item, value)) return false;
        vec.push_back(std::move(value));
        return true;
      },
      &out);
}

// A tuple of exactly two members; another length raises ValueError
// "expected tuple of length 2, but got tuple of length {n}".
bool check_pair(PyObject* obj);
template <class A, class B>
bool from_py(PyObject* obj, std::pair<A, B>& out) {
  return check_pair(obj) && from_py(PyTuple_GET_ITEM(obj, 0), out.first) &&
         from_py(PyTuple_GET_ITEM(obj, 1), out.second);
}

// Member `index` of a tuple, or the interpreter's IndexError when it is
// shorter. Borrowed.
PyObject* tuple_member(PyObject* tuple, Py_ssize_t index);

// --- array copies ---------------------------------------------------------------

inline constexpr const char* kNotContiguous = "The given array is not contiguous or is misaligned.";

// Copies a 1-D array into `out`. A non-empty array must be aligned and
// contiguous, else `error_type` (RuntimeError for most methods) is raised
// with kNotContiguous; an empty array gives an empty vector.
bool copy_vector(const F32Array& in, std::vector<float>& out, PyObject* error_type = PyExc_RuntimeError);

// Copies a 2-D array row by row in logical order (negative strides read in
// their logical direction) into rows*cols floats.
bool copy_matrix(const F32Matrix& in, std::vector<float>& out, uint64_t& rows, uint64_t& cols);

// --- binding ---------------------------------------------------------------------

// Re-raises a pending TypeError (exactly that type) as "argument '{name}':
// {message}" with the original as __cause__; other errors stay as they are.
void prefix_type_error(std::string_view name);

class BoundArgs {
 public:
  explicit BoundArgs(const Signature& sig) : sig_(sig) {}

  // Vectorcall form (METH_FASTCALL | METH_KEYWORDS).
  bool bind(PyObject* const* args, size_t nargsf, PyObject* kwnames);
  // tp_new form: a tuple and an optional dict.
  bool bind(PyObject* args, PyObject* kwargs);

  // The bound argument, or nullptr when it was left out. Borrowed: the
  // caller's references keep it alive for the call.
  PyObject* operator[](size_t i) const { return slots_[i]; }

  // Converts every parameter, in signature order, into `outs`. A left-out
  // parameter leaves its output as initialised (so the caller's initial
  // value is the default). Stops at the first failure.
  template <class... T>
  bool convert(T&... outs) {
    if (sizeof...(T) != sig_.n_params()) throw std::logic_error("convert() arity differs from signature");
    size_t i = 0;
    return (convert_one(i++, outs) && ...);
  }

  // Converts parameter `i` alone, with the same error wrapping.
  template <class T>
  bool convert_one(size_t i, T& out) {
    if (!slots_[i]) return true;
    if (from_py(slots_[i], out)) return true;
    prefix_type_error(sig_.param(i));
    return false;
  }

 private:
  bool bind_positional(PyObject* const* args, size_t nargs);
  bool bind_keyword(PyObject* name, PyObject* value);
  bool check_missing();

  const Signature& sig_;
  PyObject* slots_[Signature::kMaxParams] = {};
};


}  // namespace qvn::py
