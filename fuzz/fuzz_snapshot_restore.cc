// A snapshot archive from anywhere: restore either refuses it and writes
// nothing, or writes only inside the target directory; a second restore of
// the same archive gives the same manifest.
#include <filesystem>

#include "engine/snapshot.h"
#include "fuzz_support.h"

using namespace qvn;
namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzz::fresh_dir();
  const std::string in = dir + "/in.tar";
  const std::string target = dir + "/target";
  fuzz::write_input(dir, "in.tar", data, size);

  auto restored = snapshot::restore_snapshot(in, target);
  // Nothing lands beside the target, whatever the archive's paths say.
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    QVN_FUZZ_CHECK(name == "in.tar" || name == "target");
  }
  if (!restored.ok()) {
    // Every check comes before the first write; only a failing write
    // (StorageIo) may leave part of the tree behind.
    if (restored.error().kind() != EngineError::Kind::StorageIo) QVN_FUZZ_CHECK(!fs::exists(target));
    (void)snapshot::read_manifest(in);
    return 0;
  }
  for (const auto& e : fs::recursive_directory_iterator(target)) {
    QVN_FUZZ_CHECK(e.is_directory() || e.is_regular_file());
  }
  auto again = snapshot::restore_snapshot(in, dir + "/target2");
  QVN_FUZZ_CHECK(again.ok() && *again == *restored);
  // The first manifest may differ from the last one restore used.
  (void)snapshot::read_manifest(in);
  return 0;
}
