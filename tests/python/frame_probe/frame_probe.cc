// Test-only extension `_frame_probe`: exposes the binding frame's binder,
// converters, array copies and ReadResult factory to pytest, so they are
// checked before any engine method uses them. Never shipped: built only with
// -DQVN_BUILD_FRAME_PROBE=ON.
#include "args.h"
#include "engine_object.h"
#include "frame.h"
#include "maintenance_registry.h"
#include "objects.h"
#include "read_result.h"
#include "results.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/engine.h"

namespace {

using namespace qvn::py;

// convert(kind, value): the value after the named conversion, rebuilt as a
// Python object, so a test sees exactly what a method would receive.
constexpr Signature kConvert{"_frame_probe", "convert(kind, value)\n--\n\n"};
PyObject* convert(BoundArgs& args) {
  std::string kind;
  if (!args.convert_one(0, kind)) return nullptr;
  auto one = [&](auto out, auto&& back) -> PyObject* {
    if (!args.convert_one(1, out)) return nullptr;
    return back(out).release();
  };
  if (kind == "u64") return one(uint64_t{}, [](uint64_t v) { return to_py(v); });
  if (kind == "u32") return one(uint32_t{}, [](uint32_t v) { return to_py(v); });
  if (kind == "u16") return one(uint16_t{}, [](uint16_t v) { return to_py(v); });
  if (kind == "u8") return one(uint8_t{}, [](uint8_t v) { return to_py(v); });
  if (kind == "f64") return one(double{}, [](double v) { return to_py_f64(v); });
  if (kind == "f32") return one(float{}, [](float v) { return to_py_f32(v); });
  if (kind == "bool") return one(bool{}, [](bool v) { return to_py_bool(v); });
  if (kind == "str") {
    return one(std::string{}, [](const std::string& v) {
      return PyRef::steal(PyBytes_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
    });
  }
  if (kind == "opt_u64") {
    return one(std::optional<uint64_t>{}, [](const std::optional<uint64_t>& v) { return to_py_opt_u64(v); });
  }
  if (kind == "array") {
    F32Array a;
    std::vector<float> copy;
    if (!args.convert_one(1, a) || !copy_vector(a, copy)) return nullptr;
    return to_py_array(copy).release();
  }
  if (kind == "view_keys") {
    std::vector<F32Array> arrays;
    if (!args.convert_one(1, arrays)) return nullptr;
    std::vector<std::vector<float>> copies(arrays.size());
    for (size_t i = 0; i < arrays.size(); ++i) {
      if (!copy_vector(arrays[i], copies[i], PyExc_TypeError)) return nullptr;
    }
    return list_of(copies, [](const std::vector<float>& v) { return to_py_array(v); }).release();
  }
  if (kind == "matrix") {
    F32Matrix m;
    std::vector<float> copy;
    uint64_t rows = 0, cols = 0;
    if (!args.convert_one(1, m) || !copy_matrix(m, copy, rows, cols)) return nullptr;
    PyRef r = to_py(rows), c = to_py(cols), data = to_py_array(copy);
    if (!r || !c || !data) return nullptr;
    return PyTuple_Pack(3, r.get(), c.get(), data.get());
  }
  if (kind == "pairs") {
    std::vector<std::pair<uint16_t, std::string>> pairs;
    if (!args.convert_one(1, pairs)) return nullptr;
    return list_of(pairs, [](const auto& p) {
             PyRef a = to_py(p.first), b = to_py_str(p.second);
             return a && b ? PyRef::steal(PyTuple_Pack(2, a.get(), b.get())) : PyRef();
           }).release();
  }
  PyErr_SetString(PyExc_ValueError, "unknown kind");
  return nullptr;
}

// bind(owner, layer, key=None, salience=1.5): the bound values as a dict,
// with the defaults the caller's initial values supply.
constexpr Signature kBind{"_frame_probe", "bind(owner, layer, key=None, salience=1.5)\n--\n\n"};
PyObject* bind(BoundArgs& args) {
  uint64_t owner = 0;
  uint16_t layer = 0;
  std::optional<F32Array> key;
  float salience = 1.5f;
  if (!args.convert(owner, layer, key, salience)) return nullptr;
  std::vector<float> copy;
  if (key && !copy_vector(*key, copy)) return nullptr;
  return DictBuilder()
      .u64("owner", owner)
      .u64("layer", layer)
      .set("key", key ? to_py_array(copy) : none())
      .f32("salience", salience)
      .finish();
}

// read_result(cell_id, owner, layer, score, importance, tier, key, value)
constexpr Signature kReadResult{
    "_frame_probe", "read_result(cell_id, owner, layer, score, importance, tier, key, value)\n--\n\n"};
PyObject* read_result(BoundArgs& args) {
  qvn::Cell cell;
  float score = 0, importance = 0;
  uint8_t tier = 0;
  F32Array key, value;
  if (!args.convert(cell.cell_id, cell.owner, cell.layer, score, importance, tier, key, value) ||
      !copy_vector(key, cell.key) || !copy_vector(value, cell.value)) {
    return nullptr;
  }
  auto t = qvn::tier_from_byte(tier);
  if (!t) return raise_runtime("bad tier");
  std::vector<ReadResultState> records;
  records.push_back(ReadResultState::from_cell(std::move(cell), score, importance, *t));
  return read_result_list(std::move(records)).release();
}

constexpr Signature kPanic{"_frame_probe", "panic(message)\n--\n\n"};
PyObject* panic(BoundArgs& args) {
  std::string message;
  if (!args.convert(message)) return nullptr;
  if (message == "bad_alloc") throw std::bad_alloc();
  throw std::runtime_error(message);
}

constexpr Signature kEngineError{"_frame_probe", "engine_error(pack_id)\n--\n\n"};
PyObject* engine_error(BoundArgs& args) {
  uint64_t id = 0;
  if (!args.convert(id)) return nullptr;
  qvn::Result<int> r = qvn::make_unexpected(qvn::EngineError::pack_not_found(id));
  return finish(r, [](int) { Py_RETURN_NONE; });
}

// Leaves the engine mutex by an exception, as an internal failure inside an
// engine operation would; every later use of the engine must refuse.
constexpr Signature kPoison{"_frame_probe", "poison(engine)\n--\n\n"};
PyObject* poison(BoundArgs& args) {
  EngineRef engine;
  if (!args.convert(engine)) return nullptr;
  [[maybe_unused]] auto held = engine->inner->lock();
  throw std::runtime_error("failure while holding the engine mutex");
}

// hold(engine) / release(): a native thread takes the engine mutex and keeps
// it until release(), so a test can see which methods wait for the mutex
// without the interpreter lock. The holder gives up after ten seconds, so a
// method that waits with the interpreter lock held fails the test instead of
// hanging it; release() reports whether that happened.
struct Holder {
  std::mutex m;
  std::condition_variable cv;
  bool locked = false;
  bool release = false;
  bool timed_out = false;
  std::thread thread;
};
Holder g_holder;

constexpr Signature kHold{"_frame_probe", "hold(engine)\n--\n\n"};
PyObject* hold(BoundArgs& args) {
  EngineRef engine;
  if (!args.convert(engine)) return nullptr;
  EngineHandle handle = engine->inner;
  GilRelease released;
  std::unique_lock lk(g_holder.m);
  g_holder.locked = g_holder.release = g_holder.timed_out = false;
  g_holder.thread = std::thread([handle] {
    auto held = handle->lock();
    std::unique_lock inner(g_holder.m);
    g_holder.locked = true;
    g_holder.cv.notify_all();
    g_holder.timed_out =
        !g_holder.cv.wait_for(inner, std::chrono::seconds(10), [] { return g_holder.release; });
  });
  g_holder.cv.wait(lk, [] { return g_holder.locked; });
  return Py_NewRef(Py_None);
}

constexpr Signature kRelease{"_frame_probe", "release()\n--\n\n"};
PyObject* release(BoundArgs&) {
  bool timed_out = false;
  {
    GilRelease released;
    {
      std::lock_guard lk(g_holder.m);
      g_holder.release = true;
    }
    g_holder.cv.notify_all();
    g_holder.thread.join();
    timed_out = g_holder.timed_out;
  }
  return to_py_bool(timed_out).release();
}

// Whether a method of `engine` is in progress: its exclusive borrow fails.
constexpr Signature kInUse{"_frame_probe", "in_use(engine)\n--\n\n"};
PyObject* in_use(BoundArgs& args) {
  PyRef obj;
  if (!args.convert(obj)) return nullptr;
  if (extract_engine_ref(obj.get(), Borrow::Exclusive)) return to_py_bool(false).release();
  if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return nullptr;
  PyErr_Clear();
  return to_py_bool(true).release();
}

// stop_maintenance_released(engine): stops the object's maintenance thread
// as stop_maintenance does, but without the interpreter lock, so a test can
// call other methods while the join waits (as a build without the lock would).
constexpr Signature kStopReleased{"_frame_probe", "stop_maintenance_released(engine)\n--\n\n"};
PyObject* stop_maintenance_released(BoundArgs& args) {
  EngineRef engine;
  if (!args.convert(engine)) return nullptr;
  std::shared_ptr<qvn::MaintenanceHandle> handle = engine->maintenance;
  if (handle) {
    GilRelease released;
    qvn::py::maintenance::stop(*handle);
    released.reacquire();
  }
  return Py_NewRef(Py_None);
}

PyMethodDef g_functions[] = {
    static_method_def<kConvert, convert>(),
    static_method_def<kBind, bind>(),
    static_method_def<kReadResult, read_result>(),
    static_method_def<kPanic, panic>(),
    static_method_def<kEngineError, engine_error>(),
    static_method_def<kPoison, poison>(),
    static_method_def<kHold, hold>(),
    static_method_def<kRelease, release>(),
    static_method_def<kInUse, in_use>(),
    static_method_def<kStopReleased, stop_maintenance_released>(),
    {nullptr, nullptr, 0, nullptr},
};

int probe_exec(PyObject* m) {
  for (PyMethodDef& def : g_functions) def.ml_flags &= ~METH_STATIC;
  if (PyModule_AddFunctions(m, g_functions) < 0) return -1;
  PyTypeObject* rr = create_read_result_type();
  if (!rr || PyModule_AddObjectRef(m, "ReadResult", reinterpret_cast<PyObject*>(rr)) < 0) return -1;
  // The probe's own Engine class, so that poison() can borrow its objects.
  PyTypeObject* engine = create_engine_type();
  return engine ? PyModule_AddObjectRef(m, "Engine", reinterpret_cast<PyObject*>(engine)) : -1;
}

PyModuleDef_Slot g_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(probe_exec)}, {0, nullptr}};
PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "_frame_probe", nullptr, 0, nullptr, g_slots,
                     nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__frame_probe(void) { return PyModuleDef_Init(&g_def); }
