#include "retrieval/slb.h"

#include <algorithm>
#include <cmath>

#include "retrieval/simd_distance.h"

namespace qvn {

namespace {
// Room set aside up front is bounded: the capacity is caller-given.
constexpr uint64_t kMaxReserve = 4096;
// Emptied slots are dropped once there are this many and they outnumber the
// live ones, so the slot list stays proportional to the occupancy.
constexpr size_t kCompactMinDead = 1024;
}  // namespace

float quantize_int8_into(std::span<const float> v, int8_t* codes) {
  float absmax = 0.0f;
  for (float x : v) {
    const float a = std::fabs(x);
    if (a > absmax) absmax = a;  // NaN never compares greater: ignored
  }
  const float scale = absmax == 0.0f ? 1.0f : absmax / 127.0f;
  const float inv = 1.0f / scale;
  for (size_t i = 0; i < v.size(); ++i) {
    const float r = std::round(v[i] * inv);
    codes[i] = std::isnan(r) ? int8_t{0} : static_cast<int8_t>(std::clamp(r, -127.0f, 127.0f));
  }
  return scale;
}

Int8Vector quantize_int8(std::span<const float> v) {
  Int8Vector out;
  out.codes.resize(v.size());
  out.scale = quantize_int8_into(v, out.codes.data());
  return out;
}

SLB::SLB(uint64_t capacity, uint64_t dim) : capacity_(capacity), dim_(dim) {
  const uint64_t room = std::min(capacity, kMaxReserve);
  slots_.reserve(room);
  ids_.reserve(room);
}

void SLB::upsert(uint64_t id, uint64_t owner, std::span<const float> vector) {
  const uint64_t tick = ++tick_;
  if (auto it = ids_.find(id); it != ids_.end()) {
    const size_t s = it->second;
    Int8Vector q = quantize_int8(vector);
    slots_[s].codes = std::move(q.codes);
    slots_[s].scale = q.scale;
    slots_[s].tick = tick;
    if (victim_ == s) rescan_victim();
    return;
  }
  if (occupancy_ >= capacity_ && victim_) {
    const size_t v = *victim_;
    ids_.erase(slots_[v].id);
    vacate(v);
    rescan_victim();
  }
  Int8Vector q = quantize_int8(vector);
  const size_t s = slots_.size();
  // Map entry and slot appear together or not at all: a read that runs out
  // of memory here must leave the buffer consistent (the engine stays usable).
  auto entry = ids_.emplace(id, s).first;
  try {
    slots_.push_back(Slot{std::move(q.codes), q.scale, id, owner, tick, true});
  } catch (...) {
    ids_.erase(entry);
    throw;
  }
  ++occupancy_;
  if (!victim_ || tick < slots_[*victim_].tick) victim_ = s;
  compact_if_sparse();
}

std::vector<Candidate> SLB::search(std::span<const float> query, uint64_t k,
                                   std::optional<uint64_t> owner) {
  // The read paths pass mean vectors unchecked (an invalid key's is empty);
  // they fall back to the pipeline on an empty answer.
  if (query.size() != dim_) return {};
  const Int8Vector q = quantize_int8(query);
  const float norm = 1.0f / std::sqrt(static_cast<float>(dim_));
  TopK<size_t> top(k);
  for (size_t s = 0; s < slots_.size(); ++s) {
    const Slot& slot = slots_[s];
    if (!slot.occupied || slot.codes.size() != q.codes.size()) continue;
    if (owner && slot.owner != *owner) continue;
    const int64_t dot = dot_i8(q.codes.data(), slot.codes.data(), q.codes.size());
    const float score = norm * (slot.scale * (q.scale * static_cast<float>(dot)));
    top.push(score, s, s);
  }
  const auto best = top.take_sorted();
  const uint64_t tick = ++tick_;
  std::vector<Candidate> out;
  out.reserve(best.size());
  for (const auto& b : best) {
    Slot& slot = slots_[b.value];
    slot.tick = tick;
    out.push_back(Candidate{slot.id, slot.owner, b.score});
  }
  return out;
}

void SLB::remove(uint64_t id) {
  auto it = ids_.find(id);
  if (it == ids_.end()) return;
  const size_t s = it->second;
  ids_.erase(it);
  if (slots_[s].occupied) vacate(s);
  if (victim_ == s) rescan_victim();
  compact_if_sparse();
}

void SLB::vacate(size_t s) {
  slots_[s].occupied = false;
  std::vector<int8_t>().swap(slots_[s].codes);
  if (occupancy_ > 0) --occupancy_;
}

// Ties go to the lowest index, i.e. the slot created earliest.
void SLB::rescan_victim() {
  victim_.reset();
  for (size_t s = 0; s < slots_.size(); ++s) {
    if (!slots_[s].occupied) continue;
    if (!victim_ || slots_[s].tick < slots_[*victim_].tick) victim_ = s;
  }
}

// Keeps creation order, so victim ties and search order among equal scores
// are unchanged.
void SLB::compact_if_sparse() {
  const size_t dead = slots_.size() - static_cast<size_t>(occupancy_);
  if (dead < kCompactMinDead || dead <= occupancy_) return;
  size_t w = 0;
  for (size_t s = 0; s < slots_.size(); ++s) {
    if (!slots_[s].occupied) continue;
    if (victim_ == s) victim_ = w;
    ids_[slots_[s].id] = w;
    if (w != s) slots_[w] = std::move(slots_[s]);
    ++w;
  }
  slots_.resize(w);
}

}  // namespace qvn
