// The "q4" storage codec: float32 vectors in groups of 32 elements, one
// float32 scale per group and one 4-bit code per element, two per byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvn {

inline constexpr size_t Q4_GROUP_ELEMS = 32;
inline constexpr size_t Q4_GROUP_BYTES = 16;
// Two zero codes: the padding of a short last group.
inline constexpr uint8_t Q4_PAD_BYTE = 0x88;

struct Q4Vector {
  std::vector<uint8_t> bytes;  // 16 per group, low nibble first
  std::vector<float> scales;   // one per group
  uint64_t len = 0;            // elements encoded
};

// Number of groups for n elements: ceil(n / 32).
inline uint64_t q4_group_count(uint64_t n) { return n / Q4_GROUP_ELEMS + (n % Q4_GROUP_ELEMS != 0); }

Q4Vector q4_encode(const float* values, size_t n);
inline Q4Vector q4_encode(const std::vector<float>& values) {
  return q4_encode(values.data(), values.size());
}

// Decodes at most `len` elements. The output is shorter than `len` when the
// scales or the code bytes run out first: it then ends with the last element
// whose scale and code byte both exist, so counts that disagree never make
// the decoder read past `bytes` or `scales`.
std::vector<float> q4_decode(const Q4Vector& q);

// Raw forms used by the record codec, which keeps scales unaligned inside a
// byte buffer. `scales` points at q4_group_count(n) float32 values in host
// byte order, `bytes` at 16 bytes per group; neither needs any alignment.
// Dispatches to an AVX2 kernel when the CPU has it; every path gives the
// same bytes and scales.
void q4_encode_into(const float* values, size_t n, void* scales, uint8_t* bytes);
// How many elements q4_decode_into emits for `len` elements given
// `n_scales` scales and `n_bytes` code bytes.
uint64_t q4_decoded_len(uint64_t len, uint64_t n_scales, uint64_t n_bytes);
// Writes `out_len` elements; `out_len` must not exceed q4_decoded_len of the
// counts that `scales` and `bytes` really hold.
void q4_decode_into(const void* scales, const uint8_t* bytes, size_t out_len, float* out);

// The portable encoder behind q4_encode_into, used when the CPU lacks AVX2.
// Exposed so tests can hold every path to the same results.
namespace portable {
void q4_encode_into(const float* values, size_t n, void* scales, uint8_t* bytes);
}  // namespace portable

// True when q4_encode_into runs its AVX2 kernel.
bool q4_avx2_active();

}  // namespace qvn
