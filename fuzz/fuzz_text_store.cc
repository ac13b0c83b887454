// "text_store.bin" as found on disk: open, reload and a following append must
// never crash, and must agree with the entries the bytes hold.
#include <algorithm>
#include <map>
#include <string>

#include "core/le_bytes.h"
#include "fuzz_support.h"
#include "storage/text_store.h"

using namespace qvn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzz::fresh_dir();
  fuzz::write_input(dir, "text_store.bin", data, size);
  // The last whole entry per id, valid UTF-8 or not.
  std::map<PackId, std::string> last;
  uint64_t whole_end = 0;
  while (whole_end + 12 <= size) {
    const uint64_t len = le::load<uint32_t>(data + whole_end + 8);
    if (whole_end + 12 + len > size) break;
    last[le::load<uint64_t>(data + whole_end)] = std::string(reinterpret_cast<const char*>(data + whole_end + 12), len);
    whole_end += 12 + len;
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

  // The append lands after the last whole entry: junk behind it is cut, and
  // every entry before it still reads back.
  PackId fresh = 1;
  while (last.count(fresh)) ++fresh;
  QVN_FUZZ_CHECK(s.set(std::vector<std::pair<PackId, std::string>>{{fresh, "fuzz"}}).ok());
  // Damage with an entry behind it is kept and the append goes after it (a
  // reopen stops at the damage, so only a cut tail reads back below).
  const uint64_t now = test::size_of(s.path());
  QVN_FUZZ_CHECK(now == whole_end + 12 + 4 || now == size + 12 + 4);
  if (now != whole_end + 12 + 4) return 0;
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
