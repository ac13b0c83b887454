// "text_store.bin" as found on disk: open, reload and a following append must
// never crash, and must agree with the entries the bytes hold.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "core/le_bytes.h"
#include "fuzz_support.h"
#include "storage/text_store.h"

using namespace qvn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzz::fresh_dir();
  fuzz::write_input(dir, "text_store.bin", data, size);
  // The whole entries up to an entry of pack id 0 (an append that never
  // committed), fewer than 12 bytes, or a length that runs past the end.
  uint64_t end = 0;
  bool uncommitted = false;
  while (end + 12 <= size) {
    if (le::load<uint64_t>(data + end) == 0) {
      uncommitted = true;
      break;
    }
    const uint64_t len = le::load<uint32_t>(data + end + 8);
    if (end + 12 + len > size) break;
    end += 12 + len;
  }
  // Behind the entries read, a length running past the end with a whole
  // entry still ending at the end of the file is damage in the middle: kept,
  // and the append goes to the end. Anything else there is cut.
  bool kept = false;
  if (!uncommitted) {
    for (uint64_t q = end + 1; q + 12 <= size && !kept; ++q) kept = 12 + le::load<uint32_t>(data + q + 8) == size - q;
  }
  const uint64_t append_at = kept ? size : end;
  // The last entry read per id, valid UTF-8 or not.
  std::map<PackId, std::string> last;
  for (uint64_t p = 0; p < end;) {
    const uint64_t len = le::load<uint32_t>(data + p + 8);
    last[le::load<uint64_t>(data + p)] = std::string(reinterpret_cast<const char*>(data + p + 12), len);
    p += 12 + len;
  }
  // Every text held comes from an entry of the file, and a last entry that
  // is plain ASCII (valid UTF-8 whatever else) always wins.
  auto check = [&](const TextStore& s) {
    size_t found = 0;
    for (const auto& [id, text] : last) {
      const std::string* got = s.get(id);
      found += got != nullptr;
      if (std::all_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x80; })) {
        QVN_FUZZ_CHECK(got && *got == text);
      }
    }
    QVN_FUZZ_CHECK(found == s.size());
  };

  auto opened = TextStore::open(dir);
  QVN_FUZZ_CHECK(opened.ok());
  TextStore& s = *opened;
  check(s);
  QVN_FUZZ_CHECK(s.reload().ok());
  check(s);

  // The append lands right after the entries read, or at the end behind
  // damage; every entry read before still reads back.
  PackId fresh = 1;
  while (last.count(fresh)) ++fresh;
  QVN_FUZZ_CHECK(s.set(std::vector<std::pair<PackId, std::string>>{{fresh, "fuzz"}}).ok());
  QVN_FUZZ_CHECK(test::size_of(s.path()) == append_at + 12 + 4);
  if (kept) return 0;  // a reopen stops at the damage, before the new entry
  auto again = TextStore::open(dir);
  QVN_FUZZ_CHECK(again.ok() && again->size() == s.size());
  QVN_FUZZ_CHECK(again->get(fresh) && *again->get(fresh) == "fuzz");
  for (const auto& [id, text] : last) {
    const std::string* before = s.get(id);
    const std::string* after = again->get(id);
    QVN_FUZZ_CHECK((before == nullptr) == (after == nullptr) && (!before || *before == *after));
  }
  return 0;
}
