// Little-endian encoding of fixed-width integers and floats, independent of
// the host's byte order. Every on-disk integer of the engine directory is
// little-endian (docs/formats.md).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace qvn::le {

template <class U>
inline void put(std::vector<uint8_t>& out, U v) {
  static_assert(std::is_unsigned_v<U>);
  for (size_t i = 0; i < sizeof(U); ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_f32(std::vector<uint8_t>& out, float v) { put(out, std::bit_cast<uint32_t>(v)); }

template <class U>
inline void store(uint8_t* p, U v) {
  static_assert(std::is_unsigned_v<U>);
  for (size_t i = 0; i < sizeof(U); ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

template <class U>
inline U load(const uint8_t* p) {
  static_assert(std::is_unsigned_v<U>);
  U v = 0;
  for (size_t i = 0; i < sizeof(U); ++i) v = static_cast<U>(v | (static_cast<U>(p[i]) << (8 * i)));
  return v;
}
inline float load_f32(const uint8_t* p) { return std::bit_cast<float>(load<uint32_t>(p)); }

}  // namespace qvn::le
