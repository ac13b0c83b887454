#include "storage/quantization.h"

#include <cstring>

namespace qvn {

namespace {

// Largest |x| of the group, starting from 0.0, NaN never winning. Done on the
// bit patterns: for non-negative non-NaN floats the integer order is the float
// order, so the result equals the sequential float maximum while the loop
// stays free of float compares the compiler could not reorder.
float group_abs_max(const float* x, size_t m) {
  uint32_t best = 0;
  for (size_t i = 0; i < m; ++i) {
    uint32_t b;
    std::memcpy(&b, x + i, sizeof b);
    b &= 0x7FFFFFFFu;
    b = b > 0x7F800000u ? 0u : b;  // NaN
    best = b > best ? b : best;
  }
  float a;
  std::memcpy(&a, &best, sizeof a);
  return a;
}

// Code of x / s rounded half away from zero, NaN giving 0, then clamped to
// [-8, 7] and offset by 8. Clamping the quotient to [-9, 9] first keeps the
// integer conversion defined; rounding is monotone, so the codes equal those
// of rounding first and clamping after.
inline uint8_t code_of(float x, float s) {
  float q = x / s;
  q = q > 9.0f ? 9.0f : q;
  q = q < -9.0f ? -9.0f : q;
  q = q == q ? q : 0.0f;
  int t = static_cast<int>(q);
  float frac = q - static_cast<float>(t);  // exact
  t += static_cast<int>(frac >= 0.5f) - static_cast<int>(frac <= -0.5f);
  t = t > 7 ? 7 : t;
  t = t < -8 ? -8 : t;
  return static_cast<uint8_t>(t + 8);
}

float scale_of(const float* x, size_t m) {
  float a = group_abs_max(x, m);
  return a == 0.0f ? 1.0f : a / 7.0f;
}

void encode_full_group(const float* x, float s, uint8_t* out) {
  uint8_t codes[Q4_GROUP_ELEMS];
  for (size_t i = 0; i < Q4_GROUP_ELEMS; ++i) codes[i] = code_of(x[i], s);
  for (size_t j = 0; j < Q4_GROUP_BYTES; ++j) {
    out[j] = static_cast<uint8_t>(codes[2 * j] | (codes[2 * j + 1] << 4));
  }
}

// A short group leaves code 8 behind its last element, which gives both the
// 0x80 high nibble of an odd tail and the 0x88 padding.
void encode_short_group(const float* x, size_t m, float s, uint8_t* out) {
  uint8_t codes[Q4_GROUP_ELEMS];
  std::memset(codes, 8, sizeof codes);
  for (size_t i = 0; i < m; ++i) codes[i] = code_of(x[i], s);
  for (size_t j = 0; j < Q4_GROUP_BYTES; ++j) {
    out[j] = static_cast<uint8_t>(codes[2 * j] | (codes[2 * j + 1] << 4));
  }
}

void decode_full_group(float s, const uint8_t* in, float* out) {
  for (size_t j = 0; j < Q4_GROUP_BYTES; ++j) {
    out[2 * j] = s * static_cast<float>(static_cast<int>(in[j] & 0x0F) - 8);
    out[2 * j + 1] = s * static_cast<float>(static_cast<int>(in[j] >> 4) - 8);
  }
}

}  // namespace

void q4_encode_into(const float* values, size_t n, void* scales, uint8_t* bytes) {
  auto* scale_out = static_cast<uint8_t*>(scales);
  size_t full = n / Q4_GROUP_ELEMS;
  for (size_t g = 0; g < full; ++g) {
    const float* x = values + g * Q4_GROUP_ELEMS;
    float s = scale_of(x, Q4_GROUP_ELEMS);
    std::memcpy(scale_out + g * sizeof(float), &s, sizeof s);
    encode_full_group(x, s, bytes + g * Q4_GROUP_BYTES);
  }
  size_t tail = n - full * Q4_GROUP_ELEMS;
  if (tail > 0) {
    const float* x = values + full * Q4_GROUP_ELEMS;
    float s = scale_of(x, tail);
    std::memcpy(scale_out + full * sizeof(float), &s, sizeof s);
    encode_short_group(x, tail, s, bytes + full * Q4_GROUP_BYTES);
  }
}

Q4Vector q4_encode(const float* values, size_t n) {
  Q4Vector q;
  size_t groups = static_cast<size_t>(q4_group_count(n));
  q.scales.resize(groups);
  q.bytes.resize(groups * Q4_GROUP_BYTES);
  q.len = n;
  q4_encode_into(values, n, q.scales.data(), q.bytes.data());
  return q;
}

uint64_t q4_decoded_len(uint64_t len, uint64_t n_scales, uint64_t n_bytes) {
  uint64_t by_scales = n_scales > UINT64_MAX / Q4_GROUP_ELEMS ? UINT64_MAX : n_scales * Q4_GROUP_ELEMS;
  // Each code byte carries two elements.
  uint64_t by_bytes = n_bytes > UINT64_MAX / 2 ? UINT64_MAX : n_bytes * 2;
  uint64_t n = len < by_scales ? len : by_scales;
  return n < by_bytes ? n : by_bytes;
}

void q4_decode_into(const void* scales, const uint8_t* bytes, size_t out_len, float* out) {
  const auto* scale_in = static_cast<const uint8_t*>(scales);
  size_t full = out_len / Q4_GROUP_ELEMS;
  for (size_t g = 0; g < full; ++g) {
    float s;
    std::memcpy(&s, scale_in + g * sizeof(float), sizeof s);
    decode_full_group(s, bytes + g * Q4_GROUP_BYTES, out + g * Q4_GROUP_ELEMS);
  }
  size_t tail = out_len - full * Q4_GROUP_ELEMS;
  if (tail > 0) {
    float s;
    std::memcpy(&s, scale_in + full * sizeof(float), sizeof s);
    const uint8_t* in = bytes + full * Q4_GROUP_BYTES;
    float* o = out + full * Q4_GROUP_ELEMS;
    for (size_t i = 0; i < tail; ++i) {
      uint8_t b = in[i / 2];
      int c = (i % 2 == 0) ? (b & 0x0F) : (b >> 4);
      o[i] = s * static_cast<float>(c - 8);
    }
  }
}

std::vector<float> q4_decode(const Q4Vector& q) {
  uint64_t n = q4_decoded_len(q.len, q.scales.size(), q.bytes.size());
  std::vector<float> out(static_cast<size_t>(n));
  q4_decode_into(q.scales.data(), q.bytes.data(), out.size(), out.data());
  return out;
}

}  // namespace qvn
