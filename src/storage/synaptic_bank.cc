#include "storage/synaptic_bank.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "core/le_bytes.h"
#include "storage/synaptic_format.h"

namespace qvn {

namespace fmt = synaptic_format;
using platform::Access;
using platform::Create;
using platform::File;

namespace {

// 38 + 4 x rank x d_model, or nullopt when that overflows 64 bits.
std::optional<uint64_t> body_len_for(uint32_t rank, uint32_t d_model) {
  uint64_t n = uint64_t{rank} * d_model;
  uint64_t bytes;
  if (__builtin_mul_overflow(n, uint64_t{4}, &bytes)) return std::nullopt;
  if (__builtin_add_overflow(bytes, fmt::FIXED_BODY_SIZE, &bytes)) return std::nullopt;
  return bytes;
}

}  // namespace

IoResult<std::vector<uint16_t>> read_u16_vec(File& file, uint64_t n) {
  std::vector<uint16_t> out;
  std::array<uint8_t, 16384> buf;
  while (out.size() < n) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(n - out.size(), buf.size() / 2));
    QVN_TRY_VOID(file.read_exact(buf.data(), want * 2));
    for (size_t i = 0; i < want; ++i) out.push_back(le::load<uint16_t>(buf.data() + 2 * i));
  }
  return out;
}

namespace {

// Walks the whole records of `f` from `p` (a record boundary) to `size` and
// returns them, where they end, and whether what lies behind them is a torn
// last record. A read error ends the walk with what it found so far;
// nothing is then known about what follows.
//
// Every append writes its record with the length prefix zero, syncs, and
// only then writes the prefix (append_synced). No record is stored with
// length 0 (its fixed fields alone take 38), so a prefix of 0 begins an
// append that has not finished, or that a power loss stopped before its
// second step: it and everything behind it are torn, whatever its weights
// hold (a zero lora_b, trailing zeros in lora_a). So are fewer than 4 bytes,
// too short for a length, and a length that runs past the end of the file
// and, where the dimensions are there to check it, fits them: an append cut
// short. Anything else there is damage in the middle, kept with what lies
// behind it: a length below 38, or one running past the end that does not
// fit the record's dimensions. A record inside the file whose length does
// not fit its dimensions stays indexed, and loading it reports the damage;
// as the last record it ends the walk, not indexed and not cut.
//
// A power loss in the second step can also tear the prefix itself where it
// straddles a boundary of the disk's write unit (64 bytes at the finest),
// keeping only the bytes before it: the low bytes of the length, the rest
// still zero. A record whose prefix is exactly its dimensions' length cut
// that way at such a boundary, and whose dimensions end it exactly at the
// end of the file, is that last record: it is torn.
struct Walked {
  std::vector<SynapticBank::IndexEntry> records;
  uint64_t end = 0;
  bool torn = true;
  bool read_error = false;
};

constexpr uint64_t kTearUnit = 64;

// Whether `body_len`, the prefix at file offset `at`, is `fits` (the length
// the record's dimensions give) with the bytes past a tear boundary lost.
bool prefix_torn_at_boundary(uint64_t at, uint64_t body_len, uint64_t fits) {
  const uint64_t boundary = (at / kTearUnit + 1) * kTearUnit;
  if (boundary >= at + fmt::LEN_PREFIX_SIZE || body_len == fits) return false;
  const uint64_t kept_bits = 8 * (boundary - at);
  return body_len == (fits & ((uint64_t{1} << kept_bits) - 1));
}

Walked walk_records(const File& f, uint64_t p, uint64_t size) {
  Walked w;
  bool last_fits = true;
  for (;;) {
    w.end = p;
    if (p + fmt::LEN_PREFIX_SIZE > size) break;
    constexpr size_t kDimsEnd = 28;  // length prefix, id, owner, rank, d_model
    uint8_t head[kDimsEnd];
    const size_t have = static_cast<size_t>(std::min<uint64_t>(kDimsEnd, size - p));
    if (!f.pread_exact(head, have, p).ok()) {
      w.read_error = true;
      return w;
    }
    const uint64_t body_len = le::load<uint32_t>(head);
    const auto fits = have == kDimsEnd ? body_len_for(le::load<uint32_t>(head + 20), le::load<uint32_t>(head + 24))
                                       : std::nullopt;
    if (body_len == 0) return w;
    if (fits && fmt::LEN_PREFIX_SIZE + *fits == size - p && prefix_torn_at_boundary(p, body_len, *fits)) return w;
    if (body_len < fmt::FIXED_BODY_SIZE) {
      w.torn = false;
      return w;
    }
    if (p + fmt::LEN_PREFIX_SIZE + body_len > size) {
      w.torn = have < kDimsEnd || (fits && *fits == body_len);
      return w;
    }
    last_fits = fits && *fits == body_len;
    w.records.push_back({le::load<uint64_t>(head + 4), le::load<uint64_t>(head + 12), p,
                         static_cast<uint32_t>(body_len)});
    p += fmt::LEN_PREFIX_SIZE + body_len;
  }
  if (!last_fits && p == size) {
    w.end = w.records.back().offset;
    w.records.pop_back();
    w.torn = false;
  }
  return w;
}

// Records in `tail` what lies behind the walk's end, and the bytes before it.
void observe_rest(const File& f, TornTail& tail, const Walked& w, uint64_t size) {
  if (w.read_error) return;
  const uint64_t from = w.end - std::min<uint64_t>(w.end, TornTail::MARK_SIZE);
  std::vector<uint8_t> bytes(static_cast<size_t>(size - from));
  if (!f.pread_exact(bytes.data(), bytes.size(), from).ok()) return;
  observe_walk(tail, from, bytes, {w.end - from, w.torn});
}

}  // namespace

IoResult<SynapticBank> SynapticBank::open(const std::string& dir) {
  QVN_TRY_VOID(platform::create_dir_all(dir));
  SynapticBank bank(platform::join(dir, fmt::FILE_NAME));
  QVN_TRY_VOID(create_at_open(bank.path_));
  QVN_TRY_VOID(bank.reindex());
  return bank;
}

IoResult<void> SynapticBank::reindex() {
  QVN_TRY(File f, File::open(path_, Access::Read));
  QVN_TRY(uint64_t size, f.size());
  Walked walked = walk_records(f, 0, size);
  tail_ = TornTail();
  observe_rest(f, tail_, walked, size);
  index_ = std::move(walked.records);
  return {};
}

IoResult<void> SynapticBank::catch_up() {
  QVN_TRY(File f, File::open(path_, Access::Read));
  QVN_TRY(uint64_t size, f.size());
  const uint64_t from = tail_.whole_end() <= size && tail_.still_ends_there(f) ? tail_.whole_end() : 0;
  observe_rest(f, tail_, walk_records(f, from, size), size);
  return {};
}

IoResult<void> SynapticBank::append(const SynapticEntry& e) {
  // What lies behind the last whole record now decides whether it is cut.
  QVN_TRY_VOID(catch_up());
  QVN_TRY(File f, File::open(path_, Access::ReadWrite, Create::No));
  const uint64_t values = uint64_t{e.lora_a.size()} + e.lora_b.size();
  if (values > (fmt::MAX_BODY_LEN - fmt::FIXED_BODY_SIZE) / 2) {
    return make_unexpected(IoError::invalid_input("record too large"));
  }
  const uint64_t n = uint64_t{e.rank} * e.d_model;
  if (e.lora_a.size() != n || e.lora_b.size() != n) {
    // Such a record could never be read back: loads size both matrices by
    // rank x d_model.
    return make_unexpected(IoError::invalid_input("adapter matrices must hold rank * d_model values each"));
  }
  const auto body_len = static_cast<uint32_t>(fmt::FIXED_BODY_SIZE + 2 * values);

  std::vector<uint8_t> record;
  record.reserve(fmt::LEN_PREFIX_SIZE + body_len);
  le::put(record, body_len);
  le::put(record, uint64_t{e.id});
  le::put(record, uint64_t{e.owner});
  le::put(record, e.rank);
  le::put(record, e.d_model);
  le::put(record, e.scale);
  le::put(record, e.last_used);
  le::put_f32(record, e.quality);
  for (const auto* m : {&e.lora_a, &e.lora_b}) {
    for (uint16_t v : *m) le::put(record, v);
  }
  QVN_TRY(uint64_t offset, append_synced(f, path_, tail_, record, fmt::LEN_PREFIX_SIZE));
  index_.push_back({e.id, e.owner, offset, body_len});
  return {};
}

IoResult<std::optional<SynapticEntry>> SynapticBank::read_record(const IndexEntry& at) const {
  QVN_TRY(File f, File::open(path_, Access::Read));
  QVN_TRY(uint64_t size, f.size());
  uint8_t head[fmt::HEAD_SIZE];
  // The file was cut behind the index: the record is not there any more.
  if (at.offset + sizeof head > size) return std::optional<SynapticEntry>();
  QVN_TRY_VOID(f.seek(at.offset));
  QVN_TRY_VOID(f.read_exact(head, sizeof head));
  const uint64_t body_len = le::load<uint32_t>(head);
  SynapticEntry e;
  e.id = le::load<uint64_t>(head + 4);
  e.owner = le::load<uint64_t>(head + 12);
  // Another record in its place (the file cut and appended to behind the
  // index) is never served as this one, whoever owns it.
  if (body_len != at.body_len || e.id != at.id || e.owner != at.owner) return std::optional<SynapticEntry>();
  e.rank = le::load<uint32_t>(head + 20);
  e.d_model = le::load<uint32_t>(head + 24);
  e.scale = le::load<uint16_t>(head + 28);
  e.last_used = le::load<uint64_t>(head + 30);
  e.quality = le::load_f32(head + 38);

  // Sizes come from the file: check them against each other and against the
  // file before any matrix is allocated.
  const auto expected = body_len_for(e.rank, e.d_model);
  if (!expected || *expected != body_len) {
    return make_unexpected(IoError::invalid_data(
        "adapter record at offset " + std::to_string(at.offset) + " has body length " +
        std::to_string(body_len) + ", which does not fit rank " + std::to_string(e.rank) +
        " and d_model " + std::to_string(e.d_model)));
  }
  // The file shrank under the index: the same error the reads would give.
  if (at.offset + fmt::LEN_PREFIX_SIZE + body_len > size) return make_unexpected(IoError::unexpected_eof());

  const uint64_t n = uint64_t{e.rank} * e.d_model;
  QVN_TRY(e.lora_a, read_u16_vec(f, n));
  QVN_TRY(e.lora_b, read_u16_vec(f, n));
  QVN_TRY_VOID(f.close());
  return std::optional<SynapticEntry>(std::move(e));
}

IoResult<std::vector<SynapticEntry>> SynapticBank::load_for_owner(OwnerId owner) {
  // A record found changed means the file changed under the index: index it
  // again and read again. More than a few rounds means it keeps changing.
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    if (round > 0) QVN_TRY_VOID(reindex());
    std::vector<SynapticEntry> out;
    bool changed = false;
    for (const IndexEntry& ie : index_) {
      if (ie.owner != owner) continue;
      QVN_TRY(std::optional<SynapticEntry> e, read_record(ie));
      if (!e) {
        changed = true;
        break;
      }
      out.push_back(std::move(*e));
    }
    if (!changed) return out;
  }
  return make_unexpected(IoError::other("adapter file keeps changing under its index: " + path_));
}

}  // namespace qvn
