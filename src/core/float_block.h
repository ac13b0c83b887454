// A float array in memory from malloc, left uninitialised until its owner
// writes it, that can be handed over whole: the Python binding gives the
// memory of a pack read's layers to the NumPy arrays it returns, which free
// it with free(), so a layer is decoded once, into its final place.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace qvn {

class FloatBlock {
 public:
  FloatBlock() = default;

  // `n` floats of unspecified value; throws std::bad_alloc.
  static FloatBlock uninitialized(size_t n) {
    FloatBlock b;
    if (n == 0) return b;
    if (n > SIZE_MAX / sizeof(float)) throw std::bad_alloc();
    b.data_.reset(static_cast<float*>(std::malloc(n * sizeof(float))));
    if (!b.data_) throw std::bad_alloc();
    b.size_ = n;
    return b;
  }

  float* data() { return data_.get(); }
  const float* data() const { return data_.get(); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const float> span() const { return {data_.get(), size_}; }
  std::vector<float> to_vector() const { return {data_.get(), data_.get() + size_}; }

  // Gives up the memory (null when empty); the taker frees it with free().
  float* release() {
    size_ = 0;
    return data_.release();
  }

 private:
  struct Free {
    void operator()(float* p) const { std::free(p); }
  };
  std::unique_ptr<float, Free> data_;
  size_t size_ = 0;
};

}  // namespace qvn
