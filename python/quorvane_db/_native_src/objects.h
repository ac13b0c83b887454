// The Python objects of `_native` and the glue that turns a short method body
// into a method-table entry.
//
// Each class keeps its C++ state in a `State` struct placed inside a
// PyObjectWith<State>; the state is constructed after tp_alloc and destroyed
// in tp_dealloc, so the object header is never touched by C++ constructors.
// A State provides:
//   static constexpr const char* kTypeName;   // for "is not an instance of"
//   static PyTypeObject* type();              // the class, once created
// and, when the object can be borrowed exclusively, a `BorrowFlag borrow`;
// when it may only be used in the process that made it, a
// `bool check_process() const` that raises and returns false elsewhere.
#pragma once

#include "args.h"
#include "frame.h"
#include "py_ref.h"

#include <atomic>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

namespace qvn::py {

template <class State>
struct PyObjectWith {
  PyObject_HEAD
  State state;
};

template <class State>
State& state_of(PyObject* obj) {
  return reinterpret_cast<PyObjectWith<State>*>(obj)->state;
}

// A checked, possibly borrowed, reference to an object's state, valid while
// the caller's reference to the object lives.
template <class State>
class ObjRef {
 public:
  ObjRef() = default;
  State& operator*() const { return *state_; }
  State* operator->() const { return state_; }
  PyObject* object() const { return object_; }

 private:
  template <class S>
  friend std::optional<ObjRef<S>> extract_ref(PyObject* obj, Borrow kind);
  PyObject* object_ = nullptr;
  State* state_ = nullptr;
  std::optional<BorrowGuard> borrow_;
};

// Checks that `obj` is an instance of the State's class (or a subclass),
// else TypeError "'{}' object is not an instance of '{kTypeName}'"; then takes
// the borrow. Objects without a borrow flag never change after creation, so
// every borrow of them would succeed and none is recorded.
template <class State>
std::optional<ObjRef<State>> extract_ref(PyObject* obj, Borrow kind) {
  PyTypeObject* type = State::type();
  if (!type || !PyObject_TypeCheck(obj, type)) {
    raise_not_instance(obj, State::kTypeName);
    return std::nullopt;
  }
  ObjRef<State> ref;
  ref.object_ = obj;
  ref.state_ = &state_of<State>(obj);
  // Before the borrow: a copy made by fork() may carry borrows of threads
  // that exist only in the parent.
  if constexpr (requires(const State& s) { s.check_process(); }) {
    if (!ref.state_->check_process()) return std::nullopt;
  }
  if constexpr (requires(State& s) { s.borrow; }) {
    ref.borrow_ = BorrowGuard::acquire(ref.state_->borrow, kind);
    if (!ref.borrow_) return std::nullopt;
  }
  return ref;
}

// A new instance of the State's class around `state_args` (moved in; their
// moves must not throw, so a failure can only happen in tp_alloc).
template <class State, class... A>
PyRef new_object(A&&... state_args) {
  static_assert(std::is_nothrow_constructible_v<State, A&&...>);
  PyTypeObject* type = State::type();
  if (!type) {
    PyErr_SetString(PyExc_SystemError, "class used before the module was initialised");
    return PyRef();
  }
  PyRef obj = PyRef::steal(type->tp_alloc(type, 0));
  if (obj) new (&state_of<State>(obj.get())) State(std::forward<A>(state_args)...);
  return obj;
}

template <class State>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  guard_void([&] { state_of<State>(self).~State(); });
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Creates a class from `spec` once per process; later calls (a second
// import, another thread racing the first) get the same object.
PyTypeObject* type_once(std::atomic<PyObject*>& slot, PyType_Spec* spec);

// --- method entries --------------------------------------------------------------
//
// A method is a body `PyObject* body(State& self, BoundArgs& args)` plus its
// doc string (text signature first), e.g.
//
//   constexpr Signature kStatus{"Engine", "status($self)\n--\n\nSnapshot of ..."};
//   PyObject* status(EngineState& self, BoundArgs&) { ... }
//   ... method_def<EngineState, kStatus, status>() ...
//
// The entry binds the arguments, checks self and takes the borrow, then runs
// the body inside the exception guard.

template <class State>
using MethodBody = PyObject* (*)(State& self, BoundArgs& args);
using StaticBody = PyObject* (*)(BoundArgs& args);

template <class State, const Signature& Sig, MethodBody<State> Body, Borrow Kind>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound(Sig);
    if (!bound.bind(args, static_cast<size_t>(nargsf), kwnames)) return nullptr;
    auto ref = extract_ref<State>(self, Kind);
    if (!ref) return nullptr;
    return Body(**ref, bound);
  }, Sig.name());
}

template <const Signature& Sig, StaticBody Body>
PyObject* static_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound(Sig);
    if (!bound.bind(args, static_cast<size_t>(nargsf), kwnames)) return nullptr;
    return Body(bound);
  }, Sig.name());
}

template <class State, const Signature& Sig, MethodBody<State> Body, Borrow Kind = Borrow::Shared>
PyMethodDef method_def() {
  return {Sig.name(),
          reinterpret_cast<PyCFunction>(
              reinterpret_cast<void (*)()>(&method_entry<State, Sig, Body, Kind>)),
          METH_FASTCALL | METH_KEYWORDS, Sig.doc()};
}

template <const Signature& Sig, StaticBody Body>
PyMethodDef static_method_def() {
  return {Sig.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_entry<Sig, Body>)),
          METH_FASTCALL | METH_KEYWORDS | METH_STATIC, Sig.doc()};
}

// tp_new of a class whose constructor takes arguments: `Body(type, args)`
// returns the new object.
using NewBody = PyObject* (*)(PyTypeObject* type, BoundArgs& args);
template <const Signature& Sig, NewBody Body>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    BoundArgs bound(Sig);
    if (!bound.bind(args, kwargs)) return nullptr;
    return Body(type, bound);
  }, Sig.name());
}

// A read-only attribute computed from the state.
template <class State, PyRef (*Get)(const State&)>
PyObject* getter_entry(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    auto ref = extract_ref<State>(self, Borrow::Shared);
    if (!ref) return nullptr;
    return Get(**ref).release();
  });
}

}  // namespace qvn::py
