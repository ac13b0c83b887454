// "text_store.bin" as found on disk: open, reload and a following append must
// never crash, and must agree with the entries the bytes hold.
#include <map>
#include <string>

#include "core/le_bytes.h"
#include "fuzz_support.h"
#include "storage/text_store.h"

using namespace qvn;

namespace {

struct Walk {
  std::map<PackId, std::string> last;  // last whole entry per id, valid or not
  uint64_t whole_end = 0;
};

Walk walk(const uint8_t* b, uint64_t size) {
  Walk w;
  while (w.whole_end + 12 <= size) {
    const uint64_t len = le::load<uint32_t>(b + w.whole_end + 8);
    if (w.whole_end + 12 + len > size) break;
    w.last[le::load<uint64_t>(b + w.whole_end)] =
        std::string(reinterpret_cast<const char*>(b + w.whole_end + 12), len);
    w.whole_end += 12 + len;
  }
  return w;
}

bool ascii(const std::string& s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Every text the store holds comes from an entry of the file, and a last
// entry that is plain ASCII (valid UTF-8 whatever else) always wins.
void check_against(const TextStore& s, const Walk& w) {
  QVN_FUZZ_CHECK(s.size() <= w.last.size());
  size_t found = 0;
  for (const auto& [id, text] : w.last) {
    const std::string* got = s.get(id);
    if (got) ++found;
    if (ascii(text)) QVN_FUZZ_CHECK(got && *got == text);
  }
  QVN_FUZZ_CHECK(found == s.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzz::fresh_dir();
  fuzz::write_input(dir, "text_store.bin", data, size);
  const Walk w = walk(data, size);

  auto opened = TextStore::open(dir);
  QVN_FUZZ_CHECK(opened.ok());
  TextStore& s = *opened;
  check_against(s, w);

  QVN_FUZZ_CHECK(s.reload().ok());
  check_against(s, w);

  // The append lands after the last whole entry: junk behind it is cut, and
  // every entry before it still reads back.
  PackId fresh = 1;
  while (w.last.count(fresh)) ++fresh;
  const std::vector<std::pair<PackId, std::string>> add = {{fresh, "fuzz"}};
  QVN_FUZZ_CHECK(s.set(add).ok());
  QVN_FUZZ_CHECK(test::size_of(s.path()) == w.whole_end + 12 + 4);
  auto again = TextStore::open(dir);
  QVN_FUZZ_CHECK(again.ok());
  const std::string* t = again->get(fresh);
  QVN_FUZZ_CHECK(t && *t == "fuzz");
  QVN_FUZZ_CHECK(again->size() == s.size());
  for (const auto& [id, text] : w.last) {
    const std::string* before = s.get(id);
    const std::string* after = again->get(id);
    QVN_FUZZ_CHECK((before == nullptr) == (after == nullptr));
    if (before) QVN_FUZZ_CHECK(*before == *after);
  }
  return 0;
}
