// "scheduled_actions.json" as found on disk: a load either fails with the
// parse-error text or gives a scheduler whose save loads back to the same
// list, byte for byte on a second save.
#include <bit>
#include <cstring>

#include "engine/scheduler.h"
#include "fuzz_support.h"

using namespace qvn;

namespace {

bool same(const ScheduledEntry& a, const ScheduledEntry& b) {
  const auto& x = std::get<EvictDraft>(a.action);
  const auto& y = std::get<EvictDraft>(b.action);
  return a.id == b.id && a.fires_at == b.fires_at && x.owner == y.owner &&
         std::bit_cast<uint32_t>(x.threshold) == std::bit_cast<uint32_t>(y.threshold);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzz::fresh_dir();
  fuzz::write_input(dir, "scheduled_actions.json", data, size);

  auto loaded = Scheduler::load(dir);
  if (!loaded.ok()) {
    const EngineError& e = loaded.error();
    QVN_FUZZ_CHECK(e.kind() == EngineError::Kind::SnapshotIntegrity);
    QVN_FUZZ_CHECK(e.text().rfind("scheduled_actions.json parse error: ", 0) == 0);
    return 0;
  }
  Scheduler& s = *loaded;
  QVN_FUZZ_CHECK(s.next_id() >= 1);
  (void)s.list();
  (void)s.due(WallTime{0, 0});

  // Whatever loaded must save, and what was saved must load: a file the
  // engine wrote never keeps it from opening.
  QVN_FUZZ_CHECK(s.save().ok());
  const std::vector<uint8_t> first = test::read_bytes(s.path());
  auto reloaded = Scheduler::load(dir);
  QVN_FUZZ_CHECK(reloaded.ok());
  QVN_FUZZ_CHECK(reloaded->next_id() == s.next_id());
  QVN_FUZZ_CHECK(reloaded->entries().size() == s.entries().size());
  for (size_t i = 0; i < s.entries().size(); ++i) QVN_FUZZ_CHECK(same(reloaded->entries()[i], s.entries()[i]));
  QVN_FUZZ_CHECK(reloaded->save().ok());
  QVN_FUZZ_CHECK(test::read_bytes(s.path()) == first);
  return 0;
}
