// Read paths: candidate gathering, cell reads, pack reads, trace-boosted reads.
#include <algorithm>
#include <unordered_set>

#include "engine/engine.h"
#include "retrieval/key_view.h"
#include "retrieval/simd_distance.h"

namespace qvn {

namespace {

void append_unseen(std::vector<Candidate>& list, std::unordered_set<uint64_t>& seen,
                   const std::vector<Candidate>& more) {
  for (const Candidate& c : more) {
    if (seen.insert(c.id).second) list.push_back(c);
  }
}

// Passes of reading(): each catches up with one more compaction that
// another engine ran meanwhile.
constexpr int READ_PASSES = 4;

}  // namespace

template <class F>
auto Engine::reading(F&& read) -> decltype(read(std::declval<const PoolFetcher&>())) {
  for (int pass = 1;; ++pass) {
    const PoolFetcher fetch(&block_pool_);
    auto r = read(fetch);
    // A key the pass could not fetch fails it as a record it could not read
    // would, whatever the read made of the gap.
    if (fetch.removed_segment()) {
      if (pass == READ_PASSES) return make_unexpected(*fetch.removed_segment());
    } else if (r.ok() || pass == READ_PASSES || !block_pool_.segment_removed(r.error())) {
      return r;
    }
    QVN_TRY_VOID(block_pool_.rescan());
  }
}

std::vector<Candidate> Engine::collect_candidates(std::span<const float> query, uint64_t k,
                                                  std::optional<OwnerId> owner, bool cell_read,
                                                  const KeyFetcher& fetch) {
  const KeyView view = KeyView::classify(query);
  const std::vector<float> mean = view.mean_vector();
  const uint64_t k2 = sat_mul(k, 2);
  const bool slb_nonempty = slb_.occupancy() != 0;
  std::vector<Candidate> list;
  std::unordered_set<uint64_t> seen;
  // Every source is asked for the owner's entries alone: were other owners'
  // candidates to count toward k, their writes would end the search before
  // this owner's own entries were found (and tell the reader they exist).
  if (view.is_encoded()) {
    const uint64_t pool = cell_read ? k2 : sat_mul(k, 4);
    append_unseen(list, seen, pipeline_.search(query, pool, owner, fetch));
    if (list.size() < k && slb_nonempty) append_unseen(list, seen, slb_.search(mean, k2, owner));
  } else if (slb_nonempty) {
    append_unseen(list, seen, slb_.search(mean, k2, owner));
    if (list.size() < k) append_unseen(list, seen, pipeline_.search(query, k2, owner, fetch));
  } else {
    append_unseen(list, seen, pipeline_.search(query, k2, owner, fetch));
  }
  // A stage that does not know owners (the graph stage) reports 0; pack
  // reads take the owner stored in the cell so their owner filter and the
  // reported owner stay true. Cell reads read every cell whole and filter
  // on the stored owner anyway.
  if (cell_read) return list;
  for (Candidate& c : list) {
    if (c.owner != 0) continue;
    if (auto cell = block_pool_.read_cell_header(c.id); cell.ok()) c.owner = cell->owner;
  }
  return list;
}

Result<std::vector<CellHit>> Engine::mem_read(std::span<const float> query, uint64_t k,
                                              std::optional<OwnerId> owner) {
  if (query.empty()) return std::vector<CellHit>{};
  QVN_TRY(std::vector<CellHit> hits, reading([&](const PoolFetcher& fetch) -> Result<std::vector<CellHit>> {
    std::vector<Candidate> candidates = collect_candidates(query, k, owner, /*cell_read=*/true, fetch);
    if (KeyView::classify(query).is_encoded() && !refinement_->is_noop()) {
      for (auto& stage : pipeline_.stages()) {
        if (PerTokenIndex* pt = stage->as_per_token()) {
          candidates = refinement_->refine(*pt, query, std::move(candidates), sat_mul(k, 2), owner,
                                           &fetch);
          break;
        }
      }
    }
    std::vector<CellHit> found;
    for (const Candidate& c : candidates) {
      float s = c.score, f = 1.0f;
      Tier tier = Tier::Draft;
      if (const GovernanceEntry* g = governance_.get(c.id)) {
        s = c.score * recency_factor(g->age_days);
        f = tier_factor(g->tier);
        tier = g->tier;
      }
      auto cell = block_pool_.read_cell(c.id);
      if (!cell.ok()) {
        if (cell.error().kind() == EngineError::Kind::CellNotFound) continue;
        return make_unexpected(std::move(cell).error());
      }
      if (owner && cell->owner != *owner) continue;
      found.push_back(CellHit{std::move(*cell), s * f, tier});
    }
    return found;
  }));
  stable_sort_desc(hits, [](const CellHit& h) { return h.score; });
  if (hits.size() > k) hits.resize(static_cast<size_t>(k));
  for (const CellHit& h : hits) {
    if (GovernanceEntry* g = governance_.get_mut(h.cell.cell_id)) access_bump(*g);
    slb_.upsert(h.cell.cell_id, h.cell.owner, KeyView::classify(h.cell.key).mean_vector());
  }
  return hits;
}

Result<std::vector<CellHit>> Engine::mem_read_tokens(std::span<const float> rows,
                                                     uint64_t n_tokens, uint64_t dim, uint64_t k,
                                                     std::optional<OwnerId> owner) {
  if (n_tokens == 0 || dim == 0) return std::vector<CellHit>{};
  uint64_t expected;
  if (__builtin_mul_overflow(n_tokens, dim, &expected) || rows.size() != expected) {
    return std::vector<CellHit>{};
  }
  std::vector<float> key =
      encode_token_matrix(rows, static_cast<size_t>(n_tokens), static_cast<size_t>(dim));
  return mem_read(key, k, owner);
}

std::vector<Engine::PackRecord> Engine::candidates_to_packs(std::vector<Candidate> candidates,
                                                            uint64_t k,
                                                            std::optional<OwnerId> owner) const {
  stable_sort_desc(candidates, [](const Candidate& c) { return c.score; });
  std::vector<PackRecord> records;
  std::unordered_set<PackId> taken;
  for (const Candidate& c : candidates) {
    if (records.size() >= k) break;
    auto pack = pack_directory_.pack_of(c.id);
    if (!pack) continue;
    const auto* cells = pack_directory_.cells(*pack);
    if (!cells) continue;
    if (owner && c.owner != *owner) continue;
    if (!taken.insert(*pack).second) continue;
    records.push_back(PackRecord{*cells, *pack, c.id, c.owner, c.score});
  }
  return records;
}

Result<std::vector<PackLayer>> Engine::load_pack_layers(RecordReader& reader,
                                                        const std::vector<CellId>& cells) {
  reader.read_ahead(cells);
  std::vector<PackLayer> layers;
  layers.reserve(cells.size());
  for (CellId id : cells) {
    QVN_TRY(RecordView rec, reader.read(id));
    if (rec.layer() == VIEW_KEY_LAYER) continue;
    // Uninitialised: the decode writes every float.
    FloatBlock data = FloatBlock::uninitialized(rec.value_size());
    rec.decode_value_into(data.data());
    layers.push_back(PackLayer{rec.layer(), std::move(data)});
  }
  std::stable_sort(layers.begin(), layers.end(),
                   [](const PackLayer& a, const PackLayer& b) { return a.layer_idx < b.layer_idx; });
  return layers;
}

std::tuple<float, float, uint8_t> Engine::score_pack(CellId hit_cell) {
  GovernanceEntry* g = governance_.get_mut(hit_cell);
  if (!g) return {1.0f, 1.0f, 0};
  access_bump(*g);
  return {recency_factor(g->age_days), tier_factor(g->tier), tier_byte(g->tier)};
}

std::optional<std::string> Engine::text_of(PackId pack) const {
  const std::string* t = text_store_.get(pack);
  if (!t) return std::nullopt;
  return *t;
}

Result<std::vector<std::pair<Engine::PackRecord, std::vector<PackLayer>>>> Engine::load_packs(
    std::vector<PackRecord> records) {
  RecordReader reader(block_pool_, read_window_);
  std::vector<std::pair<PackRecord, std::vector<PackLayer>>> out;
  out.reserve(records.size());
  for (PackRecord& r : records) {
    auto layers = load_pack_layers(reader, r.cells);
    if (!layers.ok()) {
      if (layers.error().kind() == EngineError::Kind::CellNotFound) continue;
      return make_unexpected(std::move(layers).error());
    }
    out.emplace_back(std::move(r), std::move(*layers));
  }
  return out;
}

Result<std::vector<PackHit>> Engine::mem_read_pack(std::span<const float> query, uint64_t k,
                                                   std::optional<OwnerId> owner) {
  // Every pack is loaded before the first access bump: a read that runs
  // again bumps nothing twice.
  QVN_TRY(auto loaded, reading([&](const PoolFetcher& fetch)
                                   -> Result<std::vector<std::pair<PackRecord, std::vector<PackLayer>>>> {
    return load_packs(candidates_to_packs(collect_candidates(query, k, owner, false, fetch), k, owner));
  }));
  std::vector<PackHit> hits;
  for (auto& [r, layers] : loaded) {
    auto [recency, f, tier] = score_pack(r.hit_cell);
    float score = f * (recency * r.raw_score);
    hits.push_back(PackHit{r.pack_id, r.owner, score, tier, std::move(layers), text_of(r.pack_id)});
  }
  stable_sort_desc(hits, [](const PackHit& h) { return h.score; });
  return hits;
}

OwnerId Engine::pack_head_owner(PackId pack) const {
  const auto* cells = pack_directory_.cells(pack);
  if (!cells || cells->empty()) return 0;
  auto head = block_pool_.read_cell_header(cells->front());
  return head.ok() ? head->owner : 0;
}

Result<PackHit> Engine::load_pack_by_id(PackId pack) {
  // Only a pack whose every record the pool holds is served: an id alone
  // makes no pack.
  QVN_TRY(std::vector<PackLayer> layers, reading([&](const PoolFetcher&) -> Result<std::vector<PackLayer>> {
    const auto* cells = pack_directory_.cells(pack);
    if (!cells || cells->empty()) return make_unexpected(EngineError::pack_not_found(pack));
    RecordReader reader(block_pool_, read_window_);
    auto read = load_pack_layers(reader, *cells);
    if (!read.ok() && read.error().kind() == EngineError::Kind::CellNotFound) {
      return make_unexpected(EngineError::pack_not_found(pack));
    }
    return read;
  }));
  const CellId head = pack_directory_.cells(pack)->front();
  const OwnerId owner = pack_head_owner(pack);
  uint8_t tier = 0;
  if (GovernanceEntry* g = governance_.get_mut(head)) {
    access_bump(*g);
    tier = tier_byte(g->tier);
  }
  return PackHit{pack, owner, 0.0f, tier, std::move(layers), text_of(pack)};
}

Result<std::vector<PackHit>> Engine::mem_read_pack_with_trace_boost(std::span<const float> query,
                                                                    uint64_t k,
                                                                    std::optional<OwnerId> owner,
                                                                    float boost_factor) {
  const uint64_t m = std::max<uint64_t>(sat_mul(5, k), 10);
  QVN_TRY(auto loaded, reading([&](const PoolFetcher& fetch)
                                   -> Result<std::vector<std::pair<PackRecord, std::vector<PackLayer>>>> {
    return load_packs(candidates_to_packs(collect_candidates(query, m, owner, false, fetch), m, owner));
  }));
  std::vector<PackHit> hits;
  for (auto& [r, layers] : loaded) {
    const float n = static_cast<float>(pack_links(r.pack_id, 4).size());
    auto [recency, f, tier] = score_pack(r.hit_cell);
    float boost = boost_factor * n + 1.0f;
    float score = ((r.raw_score * boost) * recency) * f;
    hits.push_back(PackHit{r.pack_id, r.owner, score, tier, std::move(layers), text_of(r.pack_id)});
  }
  stable_sort_desc(hits, [](const PackHit& h) { return h.score; });
  if (hits.size() > k) hits.resize(static_cast<size_t>(k));
  return hits;
}

Result<std::vector<PackHit>> Engine::mem_read_pack_with_trace_boost_and_follow(
    std::span<const float> query, uint64_t k, std::optional<OwnerId> owner, float boost_factor) {
  QVN_TRY(std::vector<PackHit> hits, mem_read_pack_with_trace_boost(query, k, owner, boost_factor));
  std::unordered_set<PackId> present;
  for (const PackHit& h : hits) present.insert(h.pack_id);
  std::vector<PackId> follow;
  std::unordered_set<PackId> in_follow;
  for (const PackHit& h : hits) {
    for (PackId p : pack_links(h.pack_id, 4)) {
      if (!present.count(p) && in_follow.insert(p).second) follow.push_back(p);
    }
  }
  for (PackId p : follow) {
    // Links may cross owners; a read given an owner must not hand out (nor
    // bump) another owner's pack. The owner is the one load_pack_by_id would
    // report, so the test is made before loading.
    if (owner && pack_head_owner(p) != *owner) continue;
    auto loaded = load_pack_by_id(p);
    if (loaded.ok()) hits.push_back(std::move(*loaded));
  }
  return hits;
}

}  // namespace qvn
