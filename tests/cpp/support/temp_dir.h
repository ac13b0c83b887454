// Test helpers: a self-removing temporary directory and byte-damage tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvn::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<uint8_t> read_bytes(const std::string& path);
void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes);
void truncate_to(const std::string& path, uint64_t len);
void append_bytes(const std::string& path, const std::vector<uint8_t>& bytes);
void append_zeros(const std::string& path, size_t n);
void flip_byte(const std::string& path, uint64_t offset);
uint64_t size_of(const std::string& path);

}  // namespace qvn::test
