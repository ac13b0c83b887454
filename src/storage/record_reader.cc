// Reads of records through the pool's kept descriptors (see record_reader.h).
#include "storage/record_reader.h"

#include <algorithm>

#include "core/numeric.h"
#include "storage/quantization.h"
#include "storage/segment_format.h"
#include "storage/segment_record.h"

namespace qvn {

namespace sf = segment_format;
using record::get;
using record::READ_AHEAD;

namespace {

// Records of one pack follow each other; a gap wider than this (or than four
// of the largest records seen) ends the run a read-ahead takes in one read.
constexpr uint64_t RUN_MAX_STEP = 64 * 1024;
// The most one read of a planned run takes; the rest comes in later reads.
constexpr size_t RUN_MAX_READ = 4 << 20;

}  // namespace

CellId RecordView::cell_id() const { return get<uint64_t>(rec_ + sf::OFF_CELL_ID); }
OwnerId RecordView::owner() const { return get<uint64_t>(rec_ + sf::OFF_OWNER); }
LayerIndex RecordView::layer() const { return get<uint16_t>(rec_ + sf::OFF_LAYER); }

void RecordView::decode_value_into(float* out) const {
  q4_decode_into(value_scales_, value_codes_, value_size_, out);
}

IoResult<const platform::File*> RecordReader::file_of(const Segment& seg) {
  // The pool's kept descriptor, on the file the index describes; the
  // pointer is used for one read only, as the pool may close it later.
  return pool_.reader_of(seg);
}

IoResult<size_t> RecordReader::fill(const Segment& seg, uint64_t offset, size_t want) {
  win_len_ = 0;
  QVN_TRY(const platform::File* f, file_of(seg));
  if (window_.bytes.size() < want) window_.bytes.resize(want);
  size_t got = 0;
  while (got < want) {
    QVN_TRY(size_t n, f->pread_some(window_.bytes.data() + got, want - got, offset + got));
    if (n == 0) break;  // end of file
    got += n;
  }
  win_seg_ = seg.id;
  win_begin_ = offset;
  win_len_ = got;
  return got;
}

void RecordReader::read_ahead(std::span<const CellId> ids) {
  plan_seg_.reset();
  std::optional<uint32_t> seg;
  std::vector<uint64_t> offsets;
  offsets.reserve(ids.size());
  for (CellId id : ids) {
    auto loc = pool_.locate(id);
    if (!loc) continue;
    if (!seg) seg = loc->segment_id;
    if (loc->segment_id == *seg) offsets.push_back(loc->offset);
  }
  if (offsets.size() < 2) return;
  std::sort(offsets.begin(), offsets.end());
  const uint64_t step = std::max<uint64_t>(RUN_MAX_STEP, sat_mul(window_.record_hint, 4));
  size_t last = 0;
  while (last + 1 < offsets.size() && offsets[last + 1] - offsets[last] <= step) ++last;
  plan_seg_ = *seg;
  plan_begin_ = offsets.front();
  plan_end_ = sat_add(offsets[last], std::max<uint64_t>(READ_AHEAD, window_.record_hint));
}

Result<RecordView> RecordReader::read(CellId id) {
  QVN_TRY(auto place, pool_.record_of(id));
  const Segment& seg = *place.first;
  const uint64_t offset = place.second;

  const uint8_t* rec = nullptr;
  std::optional<record::Shape> shape;
  // A whole record inside the window needs no read. Anything else is read
  // afresh from its offset, so every check below sees what a single read of
  // the record would see, end of file included.
  if (win_len_ > 0 && win_seg_ == seg.id && offset >= win_begin_ &&
      win_len_ - std::min<uint64_t>(win_len_, offset - win_begin_) >= sf::FIXED_END) {
    const uint8_t* at = window_.bytes.data() + (offset - win_begin_);
    QVN_TRY(record::Shape s, record::parse_shape(at, seg.path, offset));
    if (s.total() <= win_len_ - (offset - win_begin_)) {
      rec = at;
      shape = s;
    }
  }
  if (!rec) {
    size_t want = static_cast<size_t>(std::max<uint64_t>(READ_AHEAD, window_.record_hint));
    if (plan_seg_ == seg.id && offset >= plan_begin_ && offset < plan_end_) {
      want = static_cast<size_t>(std::max<uint64_t>(want, std::min<uint64_t>(plan_end_ - offset, RUN_MAX_READ)));
    }
    QVN_TRY(size_t got, fill(seg, offset, want));
    if (got < sf::FIXED_END) return make_unexpected(IoError::unexpected_eof());
    QVN_TRY(record::Shape s, record::parse_shape(window_.bytes.data(), seg.path, offset));
    if (s.total() > got) {
      if (got < want) return make_unexpected(IoError::unexpected_eof());
      const size_t total = static_cast<size_t>(s.total());
      window_.bytes.resize(std::max(window_.bytes.size(), total));
      QVN_TRY(const platform::File* f, file_of(seg));
      QVN_TRY_VOID(f->pread_exact(window_.bytes.data() + got, total - got, offset + got));
      win_len_ = total;
    }
    rec = window_.bytes.data();
    shape = s;
  }
  window_.record_hint = std::max(window_.record_hint, shape->total());
  QVN_TRY_VOID(record::tier_of(rec));

  RecordView view;
  view.rec_ = rec;
  const uint8_t* p = rec + sf::FIXED_END + 4 * shape->key_scales + shape->key_bytes;
  view.value_scales_ = p;
  view.value_codes_ = p + 4 * shape->value_scales;
  view.value_size_ =
      static_cast<size_t>(q4_decoded_len(shape->value_len, shape->value_scales, shape->value_bytes));
  return view;
}

}  // namespace qvn
