// Writes the seed corpus: small files made by the real writers, plus damaged
// copies of them (torn tails, junk lengths, flipped fields).
// Usage: qvn_fuzz_seeds <corpus dir>; writes <corpus dir>/<target>/<seed>.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/le_bytes.h"
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
  return 0;
}
