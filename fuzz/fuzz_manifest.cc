// "manifest.json" as found in an archive: parsing never faults, a parsed
// manifest writes and parses back to itself, and read_manifest on a tar
// holding these bytes agrees with the parse and its magic/version checks.
#include <cstring>

#include "engine/snapshot.h"
#include "fuzz_support.h"

using namespace qvn;

namespace {

// One ustar entry holding `body`, then the two zero blocks.
std::vector<uint8_t> tar_of(const std::string& name, const uint8_t* body, size_t size) {
  std::vector<uint8_t> out(512, 0);
  std::memcpy(out.data(), name.data(), name.size());
  std::snprintf(reinterpret_cast<char*>(out.data() + 100), 8, "%07o", 0644);
  std::snprintf(reinterpret_cast<char*>(out.data() + 108), 8, "%07o", 0);
  std::snprintf(reinterpret_cast<char*>(out.data() + 116), 8, "%07o", 0);
  std::snprintf(reinterpret_cast<char*>(out.data() + 124), 12, "%011llo", static_cast<unsigned long long>(size));
  std::snprintf(reinterpret_cast<char*>(out.data() + 136), 12, "%011o", 0);
  out[156] = '0';
  std::memcpy(out.data() + 257, "ustar\0" "00", 8);
  std::memset(out.data() + 148, ' ', 8);
  unsigned sum = 0;
  for (uint8_t b : out) sum += b;
  std::snprintf(reinterpret_cast<char*>(out.data() + 148), 8, "%06o", sum);
  out.insert(out.end(), body, body + size);
  out.resize((out.size() + 511) / 512 * 512 + 1024, 0);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  auto parsed = SnapshotManifest::parse(json);
  if (parsed.ok()) {
    auto text = parsed->to_json();
    if (text.ok()) {
      auto again = SnapshotManifest::parse(*text);
      QVN_FUZZ_CHECK(again.ok() && *again == *parsed);
    }
  } else {
    QVN_FUZZ_CHECK(parsed.error().kind() == EngineError::Kind::NotASnapshot);
  }

  const std::string& dir = fuzz::fresh_dir();
  const std::string path = dir + "/archive.tar";
  test::write_bytes(path, tar_of("manifest.json", data, size));
  auto read = snapshot::read_manifest(path);
  const bool acceptable = parsed.ok() && parsed->magic == "qvn!" && parsed->format_version == 1;
  QVN_FUZZ_CHECK(read.ok() == acceptable);
  if (acceptable) QVN_FUZZ_CHECK(*read == *parsed);
  return 0;
}
