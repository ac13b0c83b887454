#include "storage/synaptic_bank.h"

#include <algorithm>
#include <array>
#include <cstring>
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

// Collects small writes into one buffer of fixed size so a record costs a
// few large writes, not one per value.
class BufferedWriter {
 public:
  explicit BufferedWriter(File& f) : f_(f) {}

  IoResult<void> put(const std::vector<uint8_t>& bytes) {
    if (len_ + bytes.size() > buf_.size()) QVN_TRY_VOID(flush());
    if (bytes.size() >= buf_.size()) return f_.write_all(bytes.data(), bytes.size());
    std::memcpy(buf_.data() + len_, bytes.data(), bytes.size());
    len_ += bytes.size();
    return {};
  }

  IoResult<void> put_u16s(const std::vector<uint16_t>& values) {
    for (uint16_t v : values) {
      if (len_ + 2 > buf_.size()) QVN_TRY_VOID(flush());
      le::store(buf_.data() + len_, v);
      len_ += 2;
    }
    return {};
  }

  IoResult<void> flush() {
    if (len_ == 0) return {};
    QVN_TRY_VOID(f_.write_all(buf_.data(), len_));
    len_ = 0;
    return {};
  }

 private:
  File& f_;
  std::array<uint8_t, fmt::WRITE_BUFFER_SIZE> buf_;
  size_t len_ = 0;
};

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

std::optional<uint64_t> record_size(const uint8_t* head) {
  const uint64_t body_len = le::load<uint32_t>(head);
  // Shorter than the fixed fields cannot be a record of this format.
  if (body_len < fmt::FIXED_BODY_SIZE) return std::nullopt;
  return fmt::LEN_PREFIX_SIZE + body_len;
}

// Walks the whole records of `f` from `p` (a record boundary) to `size` and
// returns them with where they end. A read error ends the walk with what it
// found so far; nothing is then known about what follows.
//
// A record whose `body_len` does not fit its `rank` and `d_model` was never
// written whole (appends refuse such entries). As the last record it is what
// a power loss leaves when the size reached the disk before the bytes did
// (zeros in its dimensions), so the walk ends before it; inside the file it
// stays indexed, and loading it reports the damage. Zeros that end the last
// record from its `lora_a`'s last element on are what a power loss left too:
// nothing but zeros from the fixed fields or `lora_a` through all of
// `lora_b`. Zeros inside `lora_b` alone cannot be told from weights (a
// zero-initialised `lora_b` is the usual start of an adapter), so they are
// read as written.
struct Walked {
  std::vector<SynapticBank::IndexEntry> records;
  uint64_t end = 0;
  bool read_error = false;
};
// Where the zeros must begin, at the latest, in a record of `body_len` that
// a power loss cut: the last element of its `lora_a`; nullopt for a record
// without weights.
std::optional<uint64_t> zeroed_weights_from(uint64_t body_len) {
  const uint64_t n = (body_len - fmt::FIXED_BODY_SIZE) / 4;
  if (n == 0) return std::nullopt;
  return fmt::HEAD_SIZE + 2 * (n - 1);
}

Walked walk_records(const File& f, uint64_t p, uint64_t size) {
  Walked w;
  bool last_fits = true;
  while (p + fmt::LEN_PREFIX_SIZE <= size) {
    uint8_t head[28];
    if (!f.pread_exact(head, 4, p).ok()) {
      w.read_error = true;
      break;
    }
    // Junk (too short for a record) or a torn append (running past the end).
    auto total = record_size(head);
    if (!total || p + *total > size) break;
    if (!f.pread_exact(head + 4, sizeof head - 4, p + 4).ok()) {
      w.read_error = true;
      break;
    }
    const auto fits = body_len_for(le::load<uint32_t>(head + 20), le::load<uint32_t>(head + 24));
    last_fits = fits && *fits == *total - fmt::LEN_PREFIX_SIZE;
    w.records.push_back({le::load<uint64_t>(head + 4), le::load<uint64_t>(head + 12), p});
    p += *total;
  }
  w.end = p;
  if (last_fits && !w.records.empty() && p == size) {
    const uint64_t at = w.records.back().offset;
    const auto from = zeroed_weights_from(size - at - fmt::LEN_PREFIX_SIZE);
    last_fits = !from || !zeros_to_end(f, at + *from, size);
  }
  if (!last_fits) {
    w.end = w.records.back().offset;
    w.records.pop_back();
  }
  return w;
}

// Whether `rest`, the bytes from where the walk ended to the end of the
// file, is a torn last record, judged from the record that starts there:
// - fewer than 4 bytes: its length cannot be read;
// - the run of zeros the file ends with begins before the end of its
//   `d_model`: its length or dimensions are not the ones written (a power
//   loss), and nothing but zeros follows them;
// - its length runs past the end of the file and, where its dimensions are
//   there to check it, fits them: a truncated append.
// Anything else is damage in the middle, kept with what lies behind it: a
// length below 38, a length that does not fit the record's own dimensions,
// or a whole last record that does not fit them.
bool torn_at_walk_end(std::span<const uint8_t> rest) {
  constexpr size_t kDimsEnd = 28;  // length prefix, id, owner, rank, d_model
  if (rest.size() < fmt::LEN_PREFIX_SIZE) return true;
  const size_t zeros_from = zero_run_start(rest);
  if (zeros_from < rest.size() && zeros_from < kDimsEnd) return true;
  const uint64_t body_len = le::load<uint32_t>(rest.data());
  if (body_len >= fmt::FIXED_BODY_SIZE && fmt::LEN_PREFIX_SIZE + body_len == rest.size()) {
    // One whole record, the last: torn when it fits its dimensions and the
    // zeros reach back into its `lora_a`.
    const auto fits = body_len_for(le::load<uint32_t>(rest.data() + 20), le::load<uint32_t>(rest.data() + 24));
    const auto from = zeroed_weights_from(body_len);
    return fits && *fits == body_len && from && zeros_from <= *from;
  }
  if (body_len < fmt::FIXED_BODY_SIZE || fmt::LEN_PREFIX_SIZE + body_len <= rest.size()) return false;
  if (rest.size() < kDimsEnd) return true;
  const auto fits = body_len_for(le::load<uint32_t>(rest.data() + 20), le::load<uint32_t>(rest.data() + 24));
  return fits && *fits == body_len;
}

// Records in `tail` what lies behind the walk's end `p`.
void observe_rest(const File& f, TornTail& tail, uint64_t p, uint64_t size) {
  std::vector<uint8_t> rest(static_cast<size_t>(size - p));
  if (!f.pread_exact(rest.data(), rest.size(), p).ok()) return;
  tail.observe(p, rest, torn_at_walk_end(rest));
}

}  // namespace

IoResult<SynapticBank> SynapticBank::open(const std::string& dir) {
  QVN_TRY_VOID(platform::create_dir_all(dir));
  SynapticBank bank(platform::join(dir, fmt::FILE_NAME));
  QVN_TRY_VOID(create_at_open(bank.path_));
  QVN_TRY(File f, File::open(bank.path_, Access::Read));
  QVN_TRY(uint64_t size, f.size());
  Walked walked = walk_records(f, 0, size);
  bank.index_ = std::move(walked.records);
  if (!walked.read_error) observe_rest(f, bank.tail_, walked.end, size);
  return bank;
}

IoResult<void> SynapticBank::catch_up() {
  QVN_TRY(File f, File::open(path_, Access::Read));
  QVN_TRY(uint64_t size, f.size());
  uint64_t from = tail_.whole_end() <= size ? tail_.whole_end() : 0;
  Walked walked = walk_records(f, from, size);
  if (!walked.read_error) observe_rest(f, tail_, walked.end, size);
  return {};
}

IoResult<void> SynapticBank::append(const SynapticEntry& e) {
  // What lies behind the last whole record now decides whether it is cut.
  QVN_TRY_VOID(catch_up());
  QVN_TRY(File f, File::open(path_, Access::ReadAppend, Create::No));
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

  std::vector<uint8_t> head;
  head.reserve(fmt::HEAD_SIZE);
  le::put(head, body_len);
  le::put(head, uint64_t{e.id});
  le::put(head, uint64_t{e.owner});
  le::put(head, e.rank);
  le::put(head, e.d_model);
  le::put(head, e.scale);
  le::put(head, e.last_used);
  le::put_f32(head, e.quality);

  QVN_TRY(uint64_t offset, append_synced(f, path_, tail_, fmt::LEN_PREFIX_SIZE + body_len,
                                         [&](File& file) -> IoResult<void> {
    BufferedWriter w(file);
    QVN_TRY_VOID(w.put(head));
    QVN_TRY_VOID(w.put_u16s(e.lora_a));
    QVN_TRY_VOID(w.put_u16s(e.lora_b));
    return w.flush();
  }));
  index_.push_back({e.id, e.owner, offset});
  return {};
}

IoResult<SynapticEntry> SynapticBank::read_record(uint64_t offset) const {
  QVN_TRY(File f, File::open(path_, Access::Read));
  QVN_TRY_VOID(f.seek(offset));
  uint8_t head[fmt::HEAD_SIZE];
  QVN_TRY_VOID(f.read_exact(head, sizeof head));
  const uint64_t body_len = le::load<uint32_t>(head);
  SynapticEntry e;
  e.id = le::load<uint64_t>(head + 4);
  e.owner = le::load<uint64_t>(head + 12);
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
        "adapter record at offset " + std::to_string(offset) + " has body length " +
        std::to_string(body_len) + ", which does not fit rank " + std::to_string(e.rank) +
        " and d_model " + std::to_string(e.d_model)));
  }
  QVN_TRY(uint64_t size, f.size());
  // The file shrank under the index: the same error the reads would give.
  if (offset + fmt::LEN_PREFIX_SIZE + body_len > size) return make_unexpected(IoError::unexpected_eof());

  const uint64_t n = uint64_t{e.rank} * e.d_model;
  QVN_TRY(e.lora_a, read_u16_vec(f, n));
  QVN_TRY(e.lora_b, read_u16_vec(f, n));
  QVN_TRY_VOID(f.close());
  return e;
}

IoResult<std::vector<SynapticEntry>> SynapticBank::load_for_owner(OwnerId owner) const {
  std::vector<SynapticEntry> out;
  for (const IndexEntry& ie : index_) {
    if (ie.owner != owner) continue;
    QVN_TRY(SynapticEntry e, read_record(ie.offset));
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace qvn
