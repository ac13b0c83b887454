// The exhaustive neighbour build behind VamanaIndex::rebuild: each node's
// best other nodes by raw dot product. Quadratic by design; exposed on its
// own so that every kernel can be checked bit for bit against the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qvn::vamana_build {

// Arithmetic of one pair score is identical in every kernel (a float32 sum in
// index order from -0.0, one lane per node); they differ only in speed.
enum class Kernel : uint8_t { Scalar, Avx2 };

bool avx2_available();
// The fastest kernel this CPU runs.
Kernel best_kernel();

// For every node i, the indices of its min(cap, n - 1) best other nodes,
// best first: descending dot(vectors[i], vectors[j]), equal scores in index
// order, NaN scores behind every number. Vectors of unequal length are scored
// over their common prefix. Kernel::Avx2 on a CPU without AVX2 runs Scalar.
// Runs on `threads` threads (0: one per core; small inputs use fewer); every
// thread count gives the same lists, bit for bit.
std::vector<std::vector<uint64_t>> exhaustive_neighbours(std::span<const std::span<const float>> vectors,
                                                         size_t cap, Kernel kernel, size_t threads = 0);

}  // namespace qvn::vamana_build
