// Shared by the fuzz targets: a scratch directory per process, the input
// written there as a file of the engine directory, and a check that turns a
// broken invariant into a crash libFuzzer reports with its input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/temp_dir.h"

#define QVN_FUZZ_CHECK(cond)                                                          \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace qvn::fuzz {

// Emptied before every input, so nothing an earlier input left behind (a
// created file, a stray temporary) changes how this one is read.
inline const std::string& fresh_dir() {
  static test::TempDir dir;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir.path(), ec)) {
    std::filesystem::remove_all(e.path(), ec);
  }
  return dir.path();
}

// Same floats bit for bit (NaN payloads and signed zeros included).
inline bool same_bits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

inline void write_input(const std::string& dir, const char* name, const uint8_t* data, size_t size) {
  test::write_bytes(dir + "/" + name, std::vector<uint8_t>(data, data + size));
}

// The vectors the Vamana target hands to every load, and the seeds' graphs
// are built from: cell ids 0..31, dimension 8. Ids outside that range get
// the zero-filled vectors of a load that lacks them.
inline constexpr uint64_t VAMANA_SEED_DIM = 8;
inline std::unordered_map<uint64_t, std::vector<float>> vamana_vectors() {
  std::unordered_map<uint64_t, std::vector<float>> out;
  for (uint64_t id = 0; id < 32; ++id) {
    std::vector<float> v(VAMANA_SEED_DIM);
    for (uint64_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>((id * 7 + i * 3) % 11) - 5.0f;
    out.emplace(id, std::move(v));
  }
  return out;
}

}  // namespace qvn::fuzz
