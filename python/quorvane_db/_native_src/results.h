// Building Python results from values copied out of the engine. Call only
// with the interpreter lock held and the engine mutex released.
//
// Conventions: unsigned ints become int, float32 values are widened exactly
// to float, tiers become int 0..2, text becomes str from UTF-8, absent
// optionals become None (the dict key is still present), float vectors
// become new 1-D float32 arrays holding a copy.
#pragma once

#include "py_ref.h"

#include "core/float_block.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvn::py {

PyRef to_py(uint64_t v);
PyRef to_py_f32(float v);
PyRef to_py_f64(double v);
PyRef to_py_bool(bool v);
PyRef to_py_str(std::string_view v);
PyRef to_py_opt_u64(const std::optional<uint64_t>& v);
PyRef to_py_text(const std::optional<std::string>& v);
PyRef to_py_array(const std::vector<float>& v);
// The array takes over the block's memory (no copy); the block is left empty
// on success and keeps its memory on failure.
PyRef to_py_array(FloatBlock&& block);
PyRef none();

// A dict built key by key in the order the calls are made. The first
// failure is remembered and later calls do nothing, so a result reads as one
// chain of set calls followed by finish().
class DictBuilder {
 public:
  DictBuilder();

  DictBuilder& set(const char* key, PyRef value);
  DictBuilder& u64(const char* key, uint64_t v) { return set(key, to_py(v)); }
  DictBuilder& opt_u64(const char* key, const std::optional<uint64_t>& v) { return set(key, to_py_opt_u64(v)); }
  DictBuilder& f32(const char* key, float v) { return set(key, to_py_f32(v)); }
  DictBuilder& f64(const char* key, double v) { return set(key, to_py_f64(v)); }
  DictBuilder& flag(const char* key, bool v) { return set(key, to_py_bool(v)); }
  DictBuilder& str(const char* key, std::string_view v) { return set(key, to_py_str(v)); }
  DictBuilder& text(const char* key, const std::optional<std::string>& v) { return set(key, to_py_text(v)); }
  DictBuilder& tier(const char* key, uint8_t v) { return set(key, to_py(v)); }
  DictBuilder& data(const char* key, const std::vector<float>& v) { return set(key, to_py_array(v)); }
  DictBuilder& data(const char* key, FloatBlock&& v) { return set(key, to_py_array(std::move(v))); }

  // The dict (new reference), or nullptr with the Python error set.
  PyObject* finish() { return dict_.release(); }
  PyRef take() { return std::move(dict_); }

 private:
  PyRef dict_;
};

// A list with one item per element of `items`, in order, each built by
// `build(item)` (which returns a PyRef). Null on the first failure.
template <class Range, class Build>
PyRef list_of(Range&& items, Build&& build) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  Py_ssize_t i = 0;
  for (auto&& item : items) {
    PyRef value = build(item);
    if (!value) return PyRef();
    PyList_SET_ITEM(list.get(), i++, value.release());
  }
  return list;
}

inline PyRef u64_list(const std::vector<uint64_t>& ids) {
  return list_of(ids, [](uint64_t id) { return to_py(id); });
}

// [{"layer_idx": int, "data": float32 array}, ...] from layer payloads
// (anything with `layer_idx` and `data`), in their order. Data held in a
// FloatBlock moves into its array.
template <class Layers>
PyRef layers_list(Layers& layers) {
  return list_of(layers, [](auto& layer) {
    return DictBuilder().u64("layer_idx", layer.layer_idx).data("data", std::move(layer.data)).take();
  });
}

// The flattened snapshot manifest, keys in the order callers rely on.
template <class Manifest>
PyRef manifest_dict(const Manifest& m) {
  return DictBuilder()
      .str("magic", m.magic)
      .u64("format_version", m.format_version)
      .str("created_at", m.created_at)
      .u64("pack_count", m.stats.pack_count)
      .u64("owner_count", m.stats.owner_count)
      .str("sha256", m.sha256)
      .str("quantization_codec", m.codecs.quantization)
      .str("key_codec", m.codecs.key)
      .take();
}

}  // namespace qvn::py
