// "deletion_log.bin" as found on disk: every whole 8-byte id is deleted, a
// partial one is not, nor are ids a power loss zeroed at the end, and the
// next append lands right after the ids read.
#include <algorithm>
#include <unordered_set>

#include "core/le_bytes.h"
#include "fuzz_support.h"
#include "storage/deletion_log.h"

using namespace qvn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzz::fresh_dir();
  fuzz::write_input(dir, "deletion_log.bin", data, size);
  // Whole ids, less those lying wholly in the zeros the file ends with.
  size_t zeros_from = size;
  while (zeros_from > 0 && data[zeros_from - 1] == 0) --zeros_from;
  const size_t end = std::min(size / 8 * 8, (zeros_from + 7) / 8 * 8);
  std::unordered_set<PackId> expected;
  for (size_t p = 0; p + 8 <= end; p += 8) expected.insert(le::load<uint64_t>(data + p));

  auto opened = DeletionLog::open(dir);
  QVN_FUZZ_CHECK(opened.ok());
  DeletionLog& log = *opened;
  QVN_FUZZ_CHECK(log.ids() == expected);
  QVN_FUZZ_CHECK(log.reload().ok());
  QVN_FUZZ_CHECK(log.ids() == expected);
  const PackId fresh = 0x5A5A5A5A5A5A5A5Aull;
  QVN_FUZZ_CHECK(log.append(fresh).ok());
  expected.insert(fresh);
  QVN_FUZZ_CHECK(test::size_of(log.path()) == end + 8);
  auto again = DeletionLog::open(dir);
  QVN_FUZZ_CHECK(again.ok());
  QVN_FUZZ_CHECK(again->ids() == expected);
  return 0;
}
