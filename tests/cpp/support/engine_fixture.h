// Small builders shared by the engine tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "support/temp_dir.h"

namespace qvn::test {

// A deterministic vector; different seeds give clearly different directions.
inline std::vector<float> vec(size_t d, float seed) {
  std::vector<float> v(d);
  for (size_t i = 0; i < d; ++i) v[i] = std::sin(seed * 1.7f + static_cast<float>(i) * 0.31f);
  return v;
}

// A pack with layers 3 and 1, written in that order.
inline PackWriteRequest pack_req(OwnerId owner, std::vector<float> key, float salience = 50.0f,
                                 std::optional<std::string> text = std::nullopt) {
  PackWriteRequest r;
  r.owner = owner;
  r.retrieval_key = std::move(key);
  r.layers = {{3, vec(8, 3.0f)}, {1, vec(8, 1.0f)}};
  r.salience = salience;
  r.text = std::move(text);
  return r;
}

inline Engine must(Result<Engine> e) {
  EXPECT_TRUE(e.ok()) << e.error().to_string();
  return std::move(e).value();
}

inline Engine open_engine(const std::string& dir,
                          uint64_t vamana_threshold = DEFAULT_VAMANA_THRESHOLD,
                          std::optional<uint64_t> segment_size = std::nullopt) {
  return must(Engine::open(dir, vamana_threshold, segment_size));
}

inline PackId write_pack(Engine& e, OwnerId owner, std::vector<float> key,
                         float salience = 50.0f) {
  auto p = e.mem_write_pack(pack_req(owner, std::move(key), salience));
  EXPECT_TRUE(p.ok()) << p.error().to_string();
  return p.ok() ? *p : 0;
}

inline float importance_of(const Engine& e, PackId pack) {
  const GovernanceEntry* g = e.governance().get(e.pack_directory().cells(pack)->front());
  return g ? g->importance : NAN;
}

inline std::string read_text(const std::string& path) {
  auto b = read_bytes(path);
  return std::string(b.begin(), b.end());
}

// Writes `content` to `path`, creating its parent directories.
inline void put(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  write_bytes(path, std::vector<uint8_t>(content.begin(), content.end()));
}

inline std::vector<std::string> dir_names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace qvn::test
