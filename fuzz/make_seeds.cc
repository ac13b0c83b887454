// Writes the seed corpus: small files made by the real writers, plus damaged
// copies of them (torn tails, junk lengths, flipped fields).
// Usage: qvn_fuzz_seeds <corpus dir>; writes <corpus dir>/<target>/<seed>.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/le_bytes.h"
#include "engine/scheduler.h"
#include "engine/snapshot.h"
#include "engine/trace.h"
#include "storage/block_pool.h"
#include "fuzz_support.h"
#include "index/vamana/vamana.h"
#include "retrieval/key_view.h"
#include "storage/deletion_log.h"
#include "storage/synaptic_bank.h"
#include "storage/text_store.h"

using namespace qvn;
using Bytes = std::vector<uint8_t>;

namespace {

std::string g_root;

void seed(const std::string& target, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(g_root + "/" + target);
  test::write_bytes(g_root + "/" + target + "/" + name, bytes);
}

Bytes cut(Bytes b, size_t drop) {
  b.resize(b.size() > drop ? b.size() - drop : 0);
  return b;
}
Bytes plus(Bytes b, const Bytes& tail) {
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}
Bytes with_u32(Bytes b, size_t at, uint32_t v) {
  if (at + 4 <= b.size()) le::store(b.data() + at, v);
  return b;
}
Bytes with_u64(Bytes b, size_t at, uint64_t v) {
  if (at + 8 <= b.size()) le::store(b.data() + at, v);
  return b;
}

template <class T>
T must(IoResult<T> r) {
  if (!r.ok()) {
    std::fprintf(stderr, "seed writer failed: %s\n", r.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(r).value();
}
void must(IoResult<void> r) {
  if (!r.ok()) {
    std::fprintf(stderr, "seed writer failed: %s\n", r.error().to_string().c_str());
    std::exit(1);
  }
}

void text_store_seeds() {
  test::TempDir dir;
  TextStore s = must(TextStore::open(dir.path()));
  must(s.set(std::vector<std::pair<PackId, std::string>>{{1, "hello"}, {2, ""}, {1, "h\xC3\xA9llo w\xC3\xB6rld"}}));
  must(s.set(std::vector<std::pair<PackId, std::string>>{{0xFFFFFFFFFFFFFFFFull, "last"}}));
  const Bytes good = test::read_bytes(s.path());
  seed("fuzz_text_store", "valid", good);
  seed("fuzz_text_store", "torn_text", cut(good, 3));
  seed("fuzz_text_store", "torn_head", cut(good, 14));
  seed("fuzz_text_store", "eleven_bytes", Bytes(good.begin(), good.begin() + 11));
  seed("fuzz_text_store", "bad_utf8", plus(good, {9, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0xC0, 0x80}));
  seed("fuzz_text_store", "huge_length", plus(good, {9, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'x'}));
}

void deletion_log_seeds() {
  test::TempDir dir;
  DeletionLog log = must(DeletionLog::open(dir.path()));
  for (PackId id : {PackId{1}, PackId{2}, PackId{0xFFFFFFFFFFFFFFFFull}, PackId{2}}) must(log.append(id));
  const Bytes good = test::read_bytes(log.path());
  seed("fuzz_deletion_log", "valid", good);
  seed("fuzz_deletion_log", "partial_id", plus(good, {1, 2, 3, 4}));
}

void synaptic_bank_seeds() {
  test::TempDir dir;
  SynapticBank bank = must(SynapticBank::open(dir.path()));
  SynapticEntry a;
  a.id = 1;
  a.owner = 10;
  a.rank = 2;
  a.d_model = 3;
  a.lora_a = {0x3C00, 0x4000, 0x4200, 0x4400, 0x4500, 0x4600};
  a.lora_b = {0xBC00, 0, 0x8000, 0x7C00, 0xFC00, 0x7E00};
  a.scale = 0x3800;
  a.last_used = 12345;
  a.quality = 0.5f;
  SynapticEntry empty;
  empty.id = 1;
  empty.owner = 11;
  must(bank.append(a));
  must(bank.append(empty));
  a.owner = 11;
  must(bank.append(a));
  const Bytes good = test::read_bytes(bank.path());
  seed("fuzz_synaptic_bank", "valid", good);
  seed("fuzz_synaptic_bank", "torn_last", cut(good, 5));
  // Length prefix too short for the fixed fields, then a record's worth.
  seed("fuzz_synaptic_bank", "short_body_len", plus(with_u32(good, 66, 4), {}));
  // The first record's rank no longer matches its length: loads refuse it.
  seed("fuzz_synaptic_bank", "rank_mismatch", with_u32(good, 20, 3));
  seed("fuzz_synaptic_bank", "huge_dims", with_u32(with_u32(good, 20, 0xFFFFFFFF), 24, 0xFFFFFFFF));
  seed("fuzz_synaptic_bank", "garbage_tail", plus(good, {0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3}));
}

void vamana_seeds() {
  const auto vectors = fuzz::vamana_vectors();
  test::TempDir dir;
  VamanaIndex g(fuzz::VAMANA_SEED_DIM, 4, 1.2f);
  for (uint64_t id = 0; id < 20; ++id) g.add_node(id, vectors.at(id));
  g.rebuild();
  must(g.save(dir.path()));
  const Bytes good = test::read_bytes(dir.file("vamana.idx"));
  seed("fuzz_vamana_load", "valid", good);

  VamanaIndex none(fuzz::VAMANA_SEED_DIM, 16, 1.2f);
  must(none.save(dir.path()));
  seed("fuzz_vamana_load", "empty_graph", test::read_bytes(dir.file("vamana.idx")));

  Bytes magic = good;
  magic[0] = 'X';
  seed("fuzz_vamana_load", "bad_magic", magic);
  seed("fuzz_vamana_load", "version_2", with_u32(good, 4, 2));
  seed("fuzz_vamana_load", "truncated", cut(good, 9));
  seed("fuzz_vamana_load", "huge_count", with_u64(good, 24, 0xFFFFFFFFFFFFull));
  seed("fuzz_vamana_load", "other_dim", with_u32(good, 8, 3));
  seed("fuzz_vamana_load", "unknown_entry", with_u64(good, 16, 999));
  // First node's first neighbour points at a cell that is not in the graph.
  seed("fuzz_vamana_load", "unknown_neighbour", with_u64(good, 32 + 12, 4242));
  seed("fuzz_vamana_load", "duplicate_node", with_u64(good, 32 + 12 + 4 * 8, 0));
}

Bytes float_bytes(const std::vector<float>& v) {
  Bytes b(v.size() * sizeof(float));
  if (!v.empty()) std::memcpy(b.data(), v.data(), b.size());
  return b;
}

void key_view_seeds() {
  const std::vector<float> encoded = encode_per_token_key({{1, 2, 3, 4}, {5, 6, 7, 8}, {-1, -2, -3, -4}});
  seed("fuzz_key_view", "encoded", float_bytes(encoded));
  std::vector<float> half = encoded;
  half[ENCODING_DIM_IDX] = 4.5f;
  seed("fuzz_key_view", "dim_rounds_off", float_bytes(half));
  std::vector<float> nan0 = encoded;
  nan0[0] = std::numeric_limits<float>::quiet_NaN();
  seed("fuzz_key_view", "nan_sentinel", float_bytes(nan0));
  seed("fuzz_key_view", "header_only", float_bytes(std::vector<float>(encoded.begin(), encoded.begin() + 64)));
  seed("fuzz_key_view", "single", float_bytes({0.5f, -1.0f, 2.0f, 1e30f, -0.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f}));
  std::vector<float> invalid(10, 1.0f);
  invalid[0] = -1e9f;
  seed("fuzz_key_view", "short_invalid", float_bytes(invalid));
  std::vector<float> infs = encoded;
  infs[64] = std::numeric_limits<float>::infinity();
  infs[68] = -std::numeric_limits<float>::infinity();
  seed("fuzz_key_view", "infinite_rows", float_bytes(infs));
}

Cell seed_cell(CellId id, size_t key_len, Tier tier) {
  Cell c;
  c.cell_id = id;
  c.owner = id % 3;
  c.layer = static_cast<LayerIndex>(id);
  for (size_t i = 0; i < key_len; ++i) c.key.push_back(static_cast<float>(i % 9) - 4.0f);
  c.value = {1.0f, 2.0f, 3.0f};
  c.aux = {0.5f};
  c.importance = 10.0f;
  c.tier = tier;
  return c;
}

template <class T>
T must_engine(Result<T> r) {
  if (!r.ok()) {
    std::fprintf(stderr, "seed writer failed: %s\n", r.error().to_string().c_str());
    std::exit(1);
  }
  return std::move(r).value();
}

void segment_seeds() {
  test::TempDir dir;
  BlockPool pool = must_engine(BlockPool::open(dir.path(), 1 << 20));
  must_engine(pool.append_cell(seed_cell(1, 40, Tier::Draft)));
  std::vector<Cell> batch = {seed_cell(2, 3, Tier::Core), seed_cell(1, 0, Tier::Validated)};
  must_engine(pool.append_cells(batch));
  const Bytes good = test::read_bytes(segment_path(dir.path(), 0));
  seed("fuzz_segment", "valid", good);
  seed("fuzz_segment", "torn_last", cut(good, 7));
  seed("fuzz_segment", "header_only", Bytes(good.begin(), good.begin() + 8));
  seed("fuzz_segment", "short_file", Bytes(good.begin(), good.begin() + 5));
  Bytes magic = good;
  magic[3] = 'X';
  seed("fuzz_segment", "bad_magic", magic);
  // First record: tier byte 3; then a key count larger than its codes.
  seed("fuzz_segment", "bad_tier", [&] { Bytes b = good; b[8 + 74] = 3; return b; }());
  seed("fuzz_segment", "key_count_too_large", with_u32(good, 8 + 22, 1000));
  seed("fuzz_segment", "huge_counts", with_u32(with_u32(good, 8 + 75, 0x7FFFFFFF), 8 + 79, 0xFFFFFFFF));
  seed("fuzz_segment", "zero_tail", plus(good, Bytes(64, 0)));
}

void trace_log_seeds() {
  test::TempDir dir;
  TraceLog log = must(TraceLog::open(dir.path()));
  must(log.append({1, 2, 100, EdgeType::CausedBy}));
  must(log.append({2, 2, 101, EdgeType::Supports}));
  must(log.append({3, 1, 102, EdgeType::Follows}));
  const Bytes good = test::read_bytes(log.path());
  seed("fuzz_trace_log", "valid", good);
  seed("fuzz_trace_log", "torn_last", cut(good, 1));
  seed("fuzz_trace_log", "bad_tag", [&] { Bytes b = good; b[26] = 0; return b; }());
  seed("fuzz_trace_log", "kind_7", [&] { Bytes b = good; b[17] = 7; return b; }());
}

void scheduler_seeds() {
  test::TempDir dir;
  Scheduler s = must_engine(Scheduler::load(dir.path()));
  must_engine(s.schedule(EvictDraft{7, 15.0f}, WallTime{0, 0}));
  must_engine(s.schedule(EvictDraft{0xFFFFFFFFFFFFFFFFull, 0.1f}, WallTime{1700000000, 5}));
  const Bytes good = test::read_bytes(s.path());
  auto text = [](const std::string& t) { return Bytes(t.begin(), t.end()); };
  seed("fuzz_scheduler", "valid", good);
  seed("fuzz_scheduler", "as_arrays", text("[3, [[1, 340282366920938463463374607431768211455, {\"EvictDraft\": [9, 1e39]}]]]"));
  seed("fuzz_scheduler", "unknown_keys",
       text("{\"x\": [1, {\"y\": null}], \"entries\": [{\"action\": {\"EvictDraft\": {\"threshold\": -0.0, "
            "\"owner\": 1, \"z\": true}}, \"fires_at_unix_nanos\": 18446744073709551616, \"id\": 2}], "
            "\"next_id\": 0}"));
  seed("fuzz_scheduler", "null_threshold",
       text("{\"next_id\": 2, \"entries\": [{\"id\": 1, \"fires_at_unix_nanos\": 0, "
            "\"action\": {\"EvictDraft\": {\"owner\": 7, \"threshold\": null}}}]}"));
  seed("fuzz_scheduler", "duplicate_field", text("{\"next_id\": 2, \"next_id\": 3, \"entries\": []}"));
  seed("fuzz_scheduler", "torn", cut(good, 20));
}

void snapshot_seeds() {
  const SnapshotManifest m = SnapshotManifest::create(std::string(64, 'a'), 3, 2);
  const std::string json = must_engine(m.to_json());
  auto text = [](const std::string& t) { return Bytes(t.begin(), t.end()); };
  seed("fuzz_manifest", "valid", text(json));
  seed("fuzz_manifest", "as_arrays", text("[\"qvn!\", 1, \"@0\", [\"q4\", \"top5avg\"], [1, 2], \"00\"]"));
  seed("fuzz_manifest", "version_2", text("{\"magic\": \"qvn!\", \"format_version\": 2, \"created_at\": \"@1\", "
                                          "\"codecs\": {\"quantization\": \"q4\", \"key\": \"top5avg\"}, "
                                          "\"stats\": {\"pack_count\": 0, \"owner_count\": 0}, \"sha256\": \"\", \"extra\": {}}"));
  seed("fuzz_manifest", "bad_magic", text("{\"magic\": \"qvn?\\u0000\", \"format_version\": 1}"));
  seed("fuzz_manifest", "short_array", text("[\"qvn!\", 1]"));

  test::TempDir engine;
  test::TempDir out;
  std::filesystem::create_directories(engine.path() + "/sub/deeper");
  test::write_bytes(engine.file("a.txt"), text("hello"));
  test::write_bytes(engine.path() + "/sub/b.bin", Bytes{0, 1, 2, 3});
  test::write_bytes(engine.path() + "/sub/deeper/c", Bytes{});
  must_engine(snapshot::write_snapshot(engine.path(), out.file("snap.tar"), 1, 1));
  const Bytes good = test::read_bytes(out.file("snap.tar"));
  seed("fuzz_snapshot_restore", "valid", good);
  seed("fuzz_snapshot_restore", "truncated", cut(good, 700));
  // A state file's first content byte: the digest no longer matches.
  Bytes flipped = good;
  for (size_t at = 0; at + 512 <= flipped.size(); at += 512) {
    if (std::memcmp(flipped.data() + at, "engine_state/a.txt", 18) == 0) {
      flipped[at + 512] ^= 1;
      break;
    }
  }
  seed("fuzz_snapshot_restore", "digest_mismatch", flipped);
  seed("fuzz_snapshot_restore", "manifest_only", [&] {
    Bytes b(good.begin(), good.begin() + 1024);
    b.resize(b.size() + 1024, 0);
    return b;
  }());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  text_store_seeds();
  deletion_log_seeds();
  synaptic_bank_seeds();
  vamana_seeds();
  key_view_seeds();
  segment_seeds();
  trace_log_seeds();
  scheduler_seeds();
  snapshot_seeds();
  return 0;
}
