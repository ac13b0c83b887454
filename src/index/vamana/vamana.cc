#include "index/vamana/vamana.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/platform.h"
#include "index/vamana/vamana_build.h"
#include "index/vamana/vamana_format.h"
#include "retrieval/key_view.h"
#include "retrieval/simd_distance.h"

namespace qvn {
namespace {

namespace fmt = vamana_format;

// Scores over the common prefix: a loaded graph may hold vectors of another
// length than the query.
float score(std::span<const float> a, std::span<const float> b) {
  return dot_f32(a.data(), b.data(), std::min(a.size(), b.size()));
}

// Most zero floats (64 MiB) a load may allocate for nodes whose vectors the
// caller lacks. A graph that matches the store has a vector for every node;
// only a stale or damaged file needs zeros, and such a file is rebuilt, so a
// small file never gets to claim a large allocation.
constexpr uint64_t ZERO_FILL_LIMIT = uint64_t{1} << 24;

// Collects small writes into one write per 8 KiB.
class BufferedWriter {
 public:
  explicit BufferedWriter(platform::File& f) : file_(f) { buf_.reserve(CAPACITY); }

  IoResult<void> u32(uint32_t v) { return put(v, 4); }
  IoResult<void> u64(uint64_t v) { return put(v, 8); }
  IoResult<void> bytes(const void* p, size_t len) {
    const auto* b = static_cast<const uint8_t*>(p);
    buf_.insert(buf_.end(), b, b + len);
    if (buf_.size() >= CAPACITY) return flush();
    return {};
  }
  IoResult<void> flush() {
    if (buf_.empty()) return {};
    QVN_TRY_VOID(file_.write_all(buf_.data(), buf_.size()));
    buf_.clear();
    return {};
  }

 private:
  static constexpr size_t CAPACITY = 8192;

  IoResult<void> put(uint64_t v, size_t width) {
    uint8_t le[8];
    for (size_t i = 0; i < width; ++i) le[i] = static_cast<uint8_t>(v >> (8 * i));
    return bytes(le, width);
  }

  platform::File& file_;
  std::vector<uint8_t> buf_;
};

// Sequential little-endian reads that know how many bytes the file has left,
// so counts read from it can be checked before anything is built from them.
class BufferedReader {
 public:
  BufferedReader(const platform::File& f, uint64_t size) : file_(f), size_(size), buf_(CAPACITY) {}

  uint64_t remaining() const { return size_ - std::min(size_, consumed_); }

  IoResult<void> read(void* dst, size_t len) {
    auto* out = static_cast<uint8_t*>(dst);
    while (len > 0) {
      if (pos_ == end_) {
        QVN_TRY(size_t got, file_.pread_some(buf_.data(), buf_.size(), consumed_));
        if (got == 0) return make_unexpected(IoError::unexpected_eof());
        pos_ = 0;
        end_ = got;
      }
      const size_t take = std::min(len, end_ - pos_);
      std::memcpy(out, buf_.data() + pos_, take);
      pos_ += take;
      consumed_ += take;
      out += take;
      len -= take;
    }
    return {};
  }
  IoResult<uint32_t> u32() { return get<uint32_t>(); }
  IoResult<uint64_t> u64() { return get<uint64_t>(); }

 private:
  static constexpr size_t CAPACITY = 64 * 1024;

  template <class T>
  IoResult<T> get() {
    uint8_t le[sizeof(T)];
    QVN_TRY_VOID(read(le, sizeof(T)));
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(le[i]) << (8 * i);
    return v;
  }

  const platform::File& file_;
  uint64_t size_;
  uint64_t consumed_ = 0;  // file offset of the next unread byte
  std::vector<uint8_t> buf_;
  size_t pos_ = 0, end_ = 0;
};

}  // namespace

VamanaIndex::VamanaIndex(uint64_t dim, uint64_t r, float alpha) : dim_(dim), r_(r), alpha_(alpha) {}

bool VamanaIndex::add_node(uint64_t cell_id, std::span<const float> vector, uint64_t owner) {
  if (vector.size() != dim_) return false;
  // A repeated id would leave two nodes behind one map entry; the first stays.
  if (!id_map_.emplace(cell_id, nodes_.size()).second) return false;
  nodes_.push_back(Node{std::vector<float>(vector.begin(), vector.end()), {}, cell_id, owner});
  return true;
}

void VamanaIndex::insert(uint64_t id, uint64_t owner, std::span<const float> key) {
  const std::vector<float> mean = KeyView::classify(key).mean_vector();
  add_node(id, mean, owner);
}

void VamanaIndex::compute_entry() {
  if (nodes_.empty()) return;
  // Centroid elements past every node's length would only ever be multiplied
  // by nothing, so the centroid is no longer than the longest vector.
  size_t longest = 0;
  for (const Node& node : nodes_) longest = std::max(longest, node.vector.size());
  std::vector<float> centroid(static_cast<size_t>(std::min<uint64_t>(dim_, longest)), 0.0f);
  const float n = static_cast<float>(nodes_.size());
  for (const Node& node : nodes_) {
    const size_t len = std::min(node.vector.size(), centroid.size());
    for (size_t i = 0; i < len; ++i) centroid[i] = centroid[i] + node.vector[i] / n;
  }
  float best = -std::numeric_limits<float>::infinity();
  uint64_t entry = 0;
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const float s = score(nodes_[i].vector, centroid);
    if (s > best) {
      best = s;
      entry = i;
    }
  }
  entry_ = entry;
}

void VamanaIndex::rebuild() {
  if (nodes_.empty()) return;
  const bool has_edges =
      std::any_of(nodes_.begin(), nodes_.end(), [](const Node& node) { return !node.neighbours.empty(); });
  compute_entry();
  if (has_edges) return;
  std::vector<std::span<const float>> vectors;
  vectors.reserve(nodes_.size());
  for (const Node& node : nodes_) vectors.emplace_back(node.vector);
  const size_t cap = static_cast<size_t>(std::min<uint64_t>(r_, std::numeric_limits<size_t>::max()));
  auto lists = vamana_build::exhaustive_neighbours(vectors, cap, vamana_build::best_kernel());
  for (size_t i = 0; i < nodes_.size(); ++i) nodes_[i].neighbours = std::move(lists[i]);
}

std::vector<VamanaIndex::ScoredNode> VamanaIndex::beam_search(std::span<const float> q, uint64_t L) const {
  struct Entry {
    uint64_t node;
    float score;
    bool expanded;
  };
  const uint64_t n = nodes_.size();
  if (n == 0) return {};
  const uint64_t starts = n < 100 ? 1 : std::min<uint64_t>(n / 100, 10);
  const uint64_t step = n / starts;
  std::vector<bool> visited(n, false);
  std::vector<Entry> list;
  auto visit = [&](uint64_t node) {
    if (visited[node]) return;
    visited[node] = true;
    list.push_back(Entry{node, score(q, nodes_[node].vector), false});
  };
  for (uint64_t i = 0; i < starts; ++i) visit(i == 0 ? entry_.value_or(0) : i * step);
  for (;;) {
    // Highest unexpanded score; a later equal one (or one unordered with the
    // pick, i.e. NaN) takes over, so the scan never depends on NaN ordering.
    size_t pick = list.size();
    for (size_t t = 0; t < list.size(); ++t) {
      if (list[t].expanded) continue;
      if (pick == list.size() || !(list[pick].score > list[t].score)) pick = t;
    }
    if (pick == list.size()) break;
    list[pick].expanded = true;
    for (uint64_t nb : nodes_[list[pick].node].neighbours) visit(nb);
    if (list.size() >= 2) stable_sort_desc(list, [](const Entry& e) { return e.score; });
    if (list.size() > L) list.resize(static_cast<size_t>(L));
  }
  std::vector<ScoredNode> out;
  out.reserve(list.size());
  for (const Entry& e : list) out.push_back(ScoredNode{e.node, e.score});
  return out;
}

std::vector<Candidate> VamanaIndex::search(std::span<const float> query, uint64_t k,
                                           std::optional<uint64_t> owner) {
  if (nodes_.empty()) return {};
  const std::vector<float> q = KeyView::classify(query).mean_vector();
  std::vector<Candidate> out;
  if (owner) {
    // How far a walk reaches depends on every node of the graph, other
    // owners' too, so one owner's nodes are scored directly; the stages
    // before this one have already scanned every key at the same cost.
    TopK<uint64_t> top(k);
    for (uint64_t i = 0; i < nodes_.size(); ++i) {
      if (nodes_[i].owner == *owner) top.push(score(q, nodes_[i].vector), i, i);
    }
    for (const auto& t : top.take_sorted()) out.push_back(Candidate{nodes_[t.value].cell_id, 0, t.score});
    return out;
  }
  const auto beam = beam_search(q, sat_mul(2, std::max(r_, k)));
  const size_t take = static_cast<size_t>(std::min<uint64_t>(k, beam.size()));
  out.reserve(take);
  for (size_t t = 0; t < take; ++t) out.push_back(Candidate{nodes_[beam[t].node].cell_id, 0, beam[t].score});
  return out;
}

std::vector<Candidate> VamanaIndex::search_cascade(std::span<const float> query, uint64_t k,
                                                   std::optional<uint64_t> owner, const IdSet* exclude,
                                                   const KeyFetcher* fetch) {
  return search(query, k, owner);
}

IoResult<void> VamanaIndex::save(const std::string& dir) const {
  if (dim_ > std::numeric_limits<uint32_t>::max() || r_ > std::numeric_limits<uint32_t>::max()) {
    return make_unexpected(IoError::invalid_input("vamana dimension or degree does not fit the file"));
  }
  const std::string tmp = platform::join(dir, fmt::TMP_FILE_NAME);
  auto write_tmp = [&]() -> IoResult<void> {
    QVN_TRY(platform::File file, platform::create_fresh(tmp));
    BufferedWriter w(file);
    QVN_TRY_VOID(w.bytes(fmt::MAGIC, sizeof fmt::MAGIC));
    QVN_TRY_VOID(w.u32(fmt::VERSION));
    QVN_TRY_VOID(w.u32(static_cast<uint32_t>(dim_)));
    QVN_TRY_VOID(w.u32(static_cast<uint32_t>(r_)));
    QVN_TRY_VOID(w.u64(entry_ ? nodes_[*entry_].cell_id : fmt::NO_ENTRY));
    QVN_TRY_VOID(w.u64(nodes_.size()));
    for (const Node& node : nodes_) {
      QVN_TRY_VOID(w.u64(node.cell_id));
      QVN_TRY_VOID(w.u32(static_cast<uint32_t>(node.neighbours.size())));
      for (uint64_t nb : node.neighbours) QVN_TRY_VOID(w.u64(nodes_[nb].cell_id));
    }
    QVN_TRY_VOID(w.flush());
    QVN_TRY_VOID(file.sync());
    return file.close();
  };
  auto written = write_tmp();
  if (written.ok()) written = platform::rename(tmp, platform::join(dir, fmt::FILE_NAME));
  if (!written.ok()) {
    // Best effort: the old graph file, if any, is untouched either way.
    (void)platform::unlink(tmp);
    return written;
  }
  return platform::sync_dir(dir);
}

IoResult<std::optional<VamanaIndex>> VamanaIndex::load(
    const std::string& dir, const std::unordered_map<uint64_t, std::vector<float>>& vectors,
    const std::unordered_map<uint64_t, uint64_t>& owners) {
  const std::string path = platform::join(dir, fmt::FILE_NAME);
  QVN_TRY(std::optional<platform::File> opened, platform::open_own_file(path));
  if (!opened) return std::optional<VamanaIndex>();
  platform::File& file = *opened;
  QVN_TRY(uint64_t size, file.size());
  BufferedReader rd(file, size);

  char magic[sizeof fmt::MAGIC];
  QVN_TRY_VOID(rd.read(magic, sizeof magic));
  if (std::memcmp(magic, fmt::MAGIC, sizeof magic) != 0) {
    return make_unexpected(IoError::invalid_data("bad vamana magic"));
  }
  QVN_TRY(uint32_t version, rd.u32());
  if (version != fmt::VERSION) return make_unexpected(IoError::invalid_data("unsupported vamana version"));
  QVN_TRY(uint32_t dim, rd.u32());
  QVN_TRY(uint32_t r, rd.u32());
  QVN_TRY(uint64_t entry_id, rd.u64());
  QVN_TRY(uint64_t count, rd.u64());
  // A count the rest of the file cannot hold means the file ends early: the
  // same error reading on would give, without building anything first.
  if (count > rd.remaining() / fmt::RECORD_MIN_SIZE) return make_unexpected(IoError::unexpected_eof());

  VamanaIndex index(dim, r, 1.2f);
  // Neighbour lists hold cell ids until every node is known.
  for (uint64_t t = 0; t < count; ++t) {
    QVN_TRY(uint64_t cell_id, rd.u64());
    QVN_TRY(uint32_t m, rd.u32());
    if (m > rd.remaining() / fmt::NEIGHBOUR_SIZE) return make_unexpected(IoError::unexpected_eof());
    Node node;
    node.cell_id = cell_id;
    for (uint32_t e = 0; e < m; ++e) {
      QVN_TRY(uint64_t nb, rd.u64());
      node.neighbours.push_back(nb);
    }
    if (!index.id_map_.emplace(cell_id, index.nodes_.size()).second) {
      return make_unexpected(IoError::invalid_data("duplicate CellId " + std::to_string(cell_id) +
                                                   " in VamanaIndex"));
    }
    index.nodes_.push_back(std::move(node));
  }

  uint64_t missing = 0;
  for (const Node& node : index.nodes_) missing += vectors.count(node.cell_id) == 0 ? 1 : 0;
  if (sat_mul(missing, dim) > ZERO_FILL_LIMIT) {
    return make_unexpected(IoError::invalid_data("vamana graph too large to load"));
  }
  for (Node& node : index.nodes_) {
    auto it = vectors.find(node.cell_id);
    node.vector = it != vectors.end() ? it->second : std::vector<float>(dim, 0.0f);
    if (auto o = owners.find(node.cell_id); o != owners.end()) node.owner = o->second;
    size_t kept = 0;
    for (uint64_t nb_id : node.neighbours) {
      auto nb = index.id_map_.find(nb_id);
      if (nb != index.id_map_.end()) node.neighbours[kept++] = nb->second;
    }
    node.neighbours.resize(kept);
  }
  if (entry_id != fmt::NO_ENTRY) {
    auto it = index.id_map_.find(entry_id);
    if (it != index.id_map_.end()) index.entry_ = it->second;
  }
  return std::optional<VamanaIndex>(std::move(index));
}

}  // namespace qvn
