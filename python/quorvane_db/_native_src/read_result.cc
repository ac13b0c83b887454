#include "read_result.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "results.h"

namespace qvn::py {

namespace {

std::atomic<PyObject*> g_read_result_type{nullptr};

// A new list of floats copied from `values`: a later change to the list can
// never reach the object.
PyRef float_list(const std::vector<float>& values) {
  std::vector<float> copy = values;
  return list_of(copy, [](float v) { return to_py_f32(v); });
}

constexpr Signature kKey{"ReadResult", "key($self)\n--\n\nGet the key vector as a list of floats."};
PyObject* key(ReadResultState& self, BoundArgs&) { return float_list(self.key).release(); }

constexpr Signature kValue{"ReadResult", "value($self)\n--\n\nGet the value vector as a list of floats."};
PyObject* value(ReadResultState& self, BoundArgs&) { return float_list(self.value).release(); }

PyRef get_cell_id(const ReadResultState& s) { return to_py(s.cell_id); }
PyRef get_owner(const ReadResultState& s) { return to_py(s.owner); }
PyRef get_layer(const ReadResultState& s) { return to_py(s.layer); }
PyRef get_score(const ReadResultState& s) { return to_py_f32(s.score); }
PyRef get_tier(const ReadResultState& s) { return to_py(s.tier); }
PyRef get_importance(const ReadResultState& s) { return to_py_f32(s.importance); }

// The score with exactly four digits after the point; NaN and the infinities
// as "NaN", "inf" and "-inf".
std::string four_decimals(float score) {
  if (std::isnan(score)) return "NaN";
  if (std::isinf(score)) return score > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4f", static_cast<double>(score));
  return buf;
}

PyObject* repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    auto ref = extract_ref<ReadResultState>(self, Borrow::Shared);
    if (!ref) return nullptr;
    char buf[160];
    std::snprintf(buf, sizeof buf, "ReadResult(cell_id=%" PRIu64 ", owner=%" PRIu64 ", score=%s, tier=%u)",
                  (*ref)->cell_id, (*ref)->owner, four_decimals((*ref)->score).c_str(),
                  static_cast<unsigned>((*ref)->tier));
    return PyUnicode_FromString(buf);
  });
}

PyMethodDef g_methods[] = {
    method_def<ReadResultState, kKey, key>(),
    method_def<ReadResultState, kValue, value>(),
    {nullptr, nullptr, 0, nullptr},
};

template <PyRef (*Get)(const ReadResultState&)>
constexpr PyGetSetDef attribute(const char* name) {
  return {name, &getter_entry<ReadResultState, Get>, nullptr, nullptr, nullptr};
}

PyGetSetDef g_getset[] = {
    attribute<get_cell_id>("cell_id"), attribute<get_owner>("owner"),
    attribute<get_layer>("layer"),     attribute<get_score>("score"),
    attribute<get_tier>("tier"),       attribute<get_importance>("importance"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("A single retrieval result returned from `mem_read`.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<ReadResultState>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "quorvane_db._native.ReadResult",
    sizeof(PyObjectWith<ReadResultState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_slots,
};

}  // namespace

PyTypeObject* ReadResultState::type() {
  return reinterpret_cast<PyTypeObject*>(g_read_result_type.load(std::memory_order_acquire));
}

PyTypeObject* create_read_result_type() { return type_once(g_read_result_type, &g_spec); }

PyRef new_read_result(ReadResultState&& record) { return new_object<ReadResultState>(std::move(record)); }

PyRef read_result_list(std::vector<ReadResultState>&& records) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return list;
  for (size_t i = 0; i < records.size(); ++i) {
    PyRef item = new_read_result(std::move(records[i]));
    if (!item) return PyRef();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

}  // namespace qvn::py
