#include "support/temp_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qvn::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "qvn-test-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void truncate_to(const std::string& path, uint64_t len) { std::filesystem::resize_file(path, len); }

void append_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void append_zeros(const std::string& path, size_t n) { append_bytes(path, std::vector<uint8_t>(n, 0)); }

void flip_byte(const std::string& path, uint64_t offset) {
  auto b = read_bytes(path);
  b.at(offset) ^= 0xFF;
  write_bytes(path, b);
}

uint64_t size_of(const std::string& path) { return std::filesystem::file_size(path); }

}  // namespace qvn::test
