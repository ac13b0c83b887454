// Writes the seed corpus: small files made by the real writers, plus damaged
// copies of them (torn tails, junk lengths, flipped fields).
// Usage: qvn_fuzz_seeds <corpus dir>; writes <corpus dir>/<target>/<seed>.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/le_bytes.h"
#include "engine/scheduler.h"
#include "engine/snapshot.h"
#include "engine/trace.h"
#include "fuzz_support.h"
#include "index/vamana/vamana.h"
#include "retrieval/key_view.h"
#include "storage/block_pool.h"
#include "storage/segment_format.h"
#include "storage/deletion_log.h"
#include "storage/synaptic_bank.h"
#include "storage/text_store.h"

using namespace qvn;
using Bytes = std::vector<uint8_t>;

namespace {

// A writer's failure ends the run: a corpus without its valid seeds is useless.
template <class E>
void must(const Expected<void, E>& r) {
  if (!r.ok()) {
    std::fprintf(stderr, "seed writer failed: %s\n", r.error().to_string().c_str());
    std::exit(1);
  }
}
template <class T, class E>
T must(Expected<T, E> r) {
  must(r.ok() ? Expected<void, E>() : Expected<void, E>(make_unexpected(r.error())));
  return std::move(r).value();
}

Bytes text(const std::string& t) { return Bytes(t.begin(), t.end()); }
Bytes floats(const std::vector<float>& v) {
  Bytes b(v.size() * sizeof(float));
  if (!v.empty()) std::memcpy(b.data(), v.data(), b.size());
  return b;
}

// One target's seeds: `good` as the writer left it, then each damage of it
// (a u32 or u64 written at an offset, a cut, an appended tail).
struct Damage {
  const char* name;
  size_t at = 0;
  uint64_t value = 0;
  int width = 0;  // 4 or 8; 0: no field written
  size_t cut = 0;
  Bytes tail = {};
};

void seeds(const std::string& root, const std::string& target, const Bytes& good, const std::vector<Damage>& damages) {
  const std::string dir = root + "/" + target;
  std::filesystem::create_directories(dir);
  test::write_bytes(dir + "/valid", good);
  for (const Damage& d : damages) {
    Bytes b = good;
    if (d.width == 4 && d.at + 4 <= b.size()) le::store(b.data() + d.at, static_cast<uint32_t>(d.value));
    if (d.width == 8 && d.at + 8 <= b.size()) le::store(b.data() + d.at, d.value);
    b.resize(b.size() > d.cut ? b.size() - d.cut : 0);
    b.insert(b.end(), d.tail.begin(), d.tail.end());
    test::write_bytes(dir + "/" + d.name, b);
  }
}

// The file `write` leaves in a scratch directory under `name`.
Bytes written(const std::string& name, const std::function<void(const std::string&)>& write) {
  test::TempDir dir;
  write(dir.path());
  return test::read_bytes(dir.file(name));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  seeds(root, "fuzz_text_store", written("text_store.bin", [](const std::string& d) {
          TextStore s = must(TextStore::open(d));
          must(s.set(std::vector<std::pair<PackId, std::string>>{{1, "hello"}, {2, ""}, {1, "h\xC3\xA9llo"}}));
        }),
        {{.name = "torn_text", .cut = 3}, {.name = "bad_utf8", .tail = {9, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0xC0, 0x80}},
         {.name = "huge_length", .tail = {9, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'x'}}});
  seeds(root, "fuzz_deletion_log", written("deletion_log.bin", [](const std::string& d) {
          DeletionLog log = must(DeletionLog::open(d));
          for (PackId id : {PackId{1}, PackId{2}, ~PackId{0}, PackId{2}}) must(log.append(id));
        }),
        {{.name = "partial_id", .tail = {1, 2, 3, 4}}});
  seeds(root, "fuzz_synaptic_bank", written("synaptic.qvn", [](const std::string& d) {
          SynapticBank bank = must(SynapticBank::open(d));
          SynapticEntry a{1, 10, {0x3C00, 0x4000, 0x4200, 0x4400, 0x4500, 0x4600},
                          {0xBC00, 0, 0x8000, 0x7C00, 0xFC00, 0x7E00}, 0x3800, 2, 3, 12345, 0.5f};
          must(bank.append(a));
          must(bank.append(SynapticEntry{1, 11, {}, {}, 0, 0, 0, 0, 0.0f}));
          a.owner = 11;
          must(bank.append(a));
        }),
        {{.name = "torn_last", .cut = 5}, {.name = "short_body_len", .at = 66, .value = 4, .width = 4},
         {.name = "rank_mismatch", .at = 20, .value = 3, .width = 4},
         {.name = "garbage_tail", .tail = {0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3}}});
  seeds(root, "fuzz_trace_log", written("trace.wal", [](const std::string& d) {
          TraceLog log = must(TraceLog::open(d));
          must(log.append({1, 2, 100, EdgeType::CausedBy}));
          must(log.append({2, 2, 101, EdgeType::Supports}));
          must(log.append({3, 1, 102, EdgeType::Follows}));
        }),
        {{.name = "torn_last", .cut = 1}, {.name = "bad_tag", .at = 26, .value = 0, .width = 4}});
  seeds(root, "fuzz_segment", written(segment_format::file_name(0), [](const std::string& d) {
          BlockPool pool = must(BlockPool::open(d, 1 << 20));
          Cell c;
          c.cell_id = 1;
          c.key.assign(40, 1.5f);
          c.value = {1.0f, 2.0f, 3.0f};
          c.aux = {0.5f};
          must(pool.append_cell(c));
          c.cell_id = 2;
          c.key = {-4.0f, 0.0f, 3.0f};
          c.tier = Tier::Core;
          must(pool.append_cells(std::vector<Cell>{c}));
        }),
        {{.name = "torn_last", .cut = 7}, {.name = "bad_magic", .at = 0, .value = 0x58534e51, .width = 4},
         {.name = "key_count_too_large", .at = 8 + 22, .value = 1000, .width = 4},
         {.name = "huge_counts", .at = 8 + 75, .value = ~uint64_t{0}, .width = 8}, {.name = "zero_tail", .tail = Bytes(64, 0)}});
  seeds(root, "fuzz_vamana_load", written("vamana.idx", [](const std::string& d) {
          const auto vectors = fuzz::vamana_vectors();
          VamanaIndex g(fuzz::VAMANA_SEED_DIM, 4, 1.2f);
          for (uint64_t id = 0; id < 20; ++id) g.add_node(id, vectors.at(id));
          g.rebuild();
          must(g.save(d));
        }),
        {{.name = "version_2", .at = 4, .value = 2, .width = 4}, {.name = "truncated", .cut = 9},
         {.name = "huge_count", .at = 24, .value = 0xFFFFFFFFFFFFull, .width = 8},
         {.name = "unknown_entry", .at = 16, .value = 999, .width = 8},
         {.name = "unknown_neighbour", .at = 32 + 12, .value = 4242, .width = 8}});
  const std::vector<float> encoded = encode_per_token_key({{1, 2, 3, 4}, {5, 6, 7, 8}, {-1, -2, -3, -4}});
  seeds(root, "fuzz_key_view", floats(encoded),
        {{.name = "dim_rounds_off", .at = ENCODING_DIM_IDX * 4, .value = 0x40900000, .width = 4},
         {.name = "nan_sentinel", .at = 0, .value = 0x7FC00000, .width = 4},
         {.name = "infinite_rows", .at = 64 * 4, .value = 0x7F800000, .width = 4}});
  seeds(root, "fuzz_scheduler", written("scheduled_actions.json", [](const std::string& d) {
          Scheduler s = must(Scheduler::load(d));
          must(s.schedule(EvictDraft{7, 15.0f}, WallTime{0, 0}));
          must(s.schedule(EvictDraft{~OwnerId{0}, 0.1f}, WallTime{1700000000, 5}));
        }),
        {{.name = "torn", .cut = 20}});
  seeds(root, "fuzz_manifest", text(must(SnapshotManifest::create(std::string(64, 'a'), 3, 2).to_json())),
        {{.name = "short", .cut = 40}});
  seeds(root, "fuzz_snapshot_restore", written("snap.tar", [](const std::string& d) {
          test::TempDir engine;
          std::filesystem::create_directories(engine.path() + "/sub");
          test::write_bytes(engine.file("a.txt"), text("hello"));
          test::write_bytes(engine.path() + "/sub/b.bin", Bytes{0, 1, 2, 3});
          must(snapshot::write_snapshot(engine.path(), d + "/snap.tar", 1, 1));
        }),
        {{.name = "truncated", .cut = 700}});
  return 0;
}
