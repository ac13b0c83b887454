// Coding and checking of cell records (see segment_record.h).
#include "storage/segment_record.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "core/numeric.h"
#include "storage/quantization.h"

namespace qvn {

namespace sf = segment_format;

static_assert(std::endian::native == std::endian::little,
              "records are copied to and from memory as little-endian values");

namespace record {
namespace {

// Body length that the counts call for; cannot overflow (each count < 2^32).
uint64_t body_len_of_counts(uint64_t ks, uint64_t kb, uint64_t vs, uint64_t vb, uint64_t aux) {
  return sf::FIXED_BODY + 4 * (ks + aux + vs) + kb + vb;
}

// Whether `n_bytes` code bytes cover every group that decoding `len`
// elements with `n_scales` scales will read.
bool q4_arrays_agree(uint64_t len, uint64_t n_scales, uint64_t n_bytes) {
  uint64_t groups = std::min(q4_group_count(len), n_scales);
  return n_bytes >= groups * Q4_GROUP_BYTES;
}

// Decodes one Q4 array pair at `p`; advances p past both arrays.
std::vector<float> decode_q4_at(const uint8_t*& p, uint64_t len, uint64_t scales, uint64_t bytes) {
  const uint8_t* scale_p = p;
  const uint8_t* code_p = p + 4 * scales;
  std::vector<float> out(static_cast<size_t>(q4_decoded_len(len, scales, bytes)));
  q4_decode_into(scale_p, code_p, out.size(), out.data());
  p = code_p + bytes;
  return out;
}

// The fixed fields only; key, value and aux stay empty.
IoResult<Cell> header_from_record(const uint8_t* rec) {
  QVN_TRY(Tier t, tier_of(rec));
  Cell c;
  c.cell_id = get<uint64_t>(rec + sf::OFF_CELL_ID);
  c.owner = get<uint64_t>(rec + sf::OFF_OWNER);
  c.layer = get<uint16_t>(rec + sf::OFF_LAYER);
  c.pack_id = get<uint64_t>(rec + sf::OFF_PACK_ID);
  c.view_marker = get<uint64_t>(rec + sf::OFF_VIEW_MARKER);
  c.created_at_ns = get<uint64_t>(rec + sf::OFF_CREATED_AT);
  c.stamp_ns = get<uint64_t>(rec + sf::OFF_STAMP);
  c.importance = get<float>(rec + sf::OFF_IMPORTANCE);
  c.counter = get<uint32_t>(rec + sf::OFF_COUNTER);
  c.tier = t;
  return c;
}

// Whether the Q4 array pair at `p` could have come from the encoder. Its
// scale is a group's absolute maximum / 7 (never negative, never NaN), 1.0
// for a group of zeros, infinite when the maximum is, or 0.0 when the
// division underflows. Codes past a group's last element are 8. Under a
// normal scale every quotient lies in [-7, 7], so no code is 0; under 0.0
// a code is 0, 8 or 15 (-inf, NaN, +inf); under an infinite scale every
// code is 8. A zeroed full group (scale 0.0 and all 32 codes 0) needs 32
// negative values too tiny for a scale; it is taken as zero fill (a short
// group shows zero fill in its padding). Advances p past both arrays.
bool q4_could_be_encoded(const uint8_t*& p, uint64_t len, uint64_t n_scales, uint64_t n_bytes) {
  const uint8_t* scales = p;
  const uint8_t* codes = p + 4 * n_scales;
  p = codes + n_bytes;
  const uint64_t groups = std::min(q4_group_count(len), n_scales);
  for (uint64_t g = 0; g < groups; ++g) {
    const float scale = get<float>(scales + 4 * g);
    if (std::signbit(scale) || std::isnan(scale)) return false;
    const bool zero_scale = scale == 0.0f;
    const bool inf_scale = std::isinf(scale);
    const uint64_t m = std::min<uint64_t>(Q4_GROUP_ELEMS, len - g * Q4_GROUP_ELEMS);
    const uint8_t* c = codes + g * Q4_GROUP_BYTES;
    bool all_zero = true;
    for (uint64_t j = 0; j < Q4_GROUP_ELEMS; ++j) {
      const uint8_t nib = (j & 1) ? (c[j / 2] >> 4) : (c[j / 2] & 0x0F);
      if (j >= m) {
        if (nib != 8) return false;
        continue;
      }
      if (nib != 0) all_zero = false;
      if (nib == 0 && std::isnormal(scale)) return false;
      if (zero_scale && nib != 0 && nib != 8 && nib != 15) return false;
      if (inf_scale && nib != 8) return false;
    }
    if (all_zero && zero_scale && m == Q4_GROUP_ELEMS) return false;
  }
  return true;
}

}  // namespace

void write_segment_header(uint8_t (&out)[sf::HEADER_SIZE]) {
  std::memcpy(out, sf::MAGIC, sizeof sf::MAGIC);
  put<uint32_t>(out + sizeof sf::MAGIC, sf::VERSION);
}

IoError damaged(const std::string& path, uint64_t offset) {
  return IoError::invalid_data("damaged cell record at offset " + std::to_string(offset) + " in " +
                               path);
}

IoResult<Shape> parse_shape(const uint8_t* rec, const std::string& path, uint64_t offset) {
  Shape s;
  s.body_len = get<uint32_t>(rec);
  s.key_len = get<uint32_t>(rec + sf::OFF_KEY_LEN);
  s.value_len = get<uint32_t>(rec + sf::OFF_VALUE_LEN);
  s.aux_len = get<uint32_t>(rec + sf::OFF_AUX_LEN);
  s.key_scales = get<uint32_t>(rec + sf::OFF_KEY_SCALES);
  s.key_bytes = get<uint32_t>(rec + sf::OFF_KEY_BYTES);
  s.value_scales = get<uint32_t>(rec + sf::OFF_VALUE_SCALES);
  s.value_bytes = get<uint32_t>(rec + sf::OFF_VALUE_BYTES);
  uint64_t want = body_len_of_counts(s.key_scales, s.key_bytes, s.value_scales, s.value_bytes, s.aux_len);
  if (want != s.body_len || !q4_arrays_agree(s.key_len, s.key_scales, s.key_bytes) ||
      !q4_arrays_agree(s.value_len, s.value_scales, s.value_bytes)) {
    return make_unexpected(damaged(path, offset));
  }
  return s;
}

IoResult<Shape> read_record(const platform::File& f, const std::string& path, uint64_t offset,
                            std::vector<uint8_t>& buf) {
  buf.resize(READ_AHEAD);
  QVN_TRY(size_t got, f.pread_some(buf.data(), buf.size(), offset));
  // A short read need not be the end of the file; fill the fixed part.
  if (got < sf::FIXED_END) {
    QVN_TRY_VOID(f.pread_exact(buf.data() + got, sf::FIXED_END - got, offset + got));
    got = sf::FIXED_END;
  }
  QVN_TRY(Shape shape, parse_shape(buf.data(), path, offset));
  const uint64_t total = shape.total();
  if (total > got) {
    buf.resize(static_cast<size_t>(total));
    QVN_TRY_VOID(f.pread_exact(buf.data() + got, buf.size() - got, offset + got));
  } else {
    buf.resize(static_cast<size_t>(total));
  }
  return shape;
}

IoError invalid_tier(uint8_t byte, CellId id) {
  return IoError::invalid_data("invalid tier byte " + std::to_string(byte) + " in cell " + std::to_string(id));
}

IoResult<Tier> tier_of(const uint8_t* rec) {
  const uint8_t b = rec[sf::OFF_TIER];
  if (auto t = tier_from_byte(b)) return *t;
  return make_unexpected(invalid_tier(b, get<uint64_t>(rec + sf::OFF_CELL_ID)));
}

RecordHeader kept_header(const uint8_t* rec, const std::string& path, uint64_t offset) {
  RecordHeader h;
  h.owner = get<uint64_t>(rec + sf::OFF_OWNER);
  h.pack_id = get<uint64_t>(rec + sf::OFF_PACK_ID);
  h.view_marker = get<uint64_t>(rec + sf::OFF_VIEW_MARKER);
  h.importance = get<float>(rec + sf::OFF_IMPORTANCE);
  h.layer = get<uint16_t>(rec + sf::OFF_LAYER);
  h.tier = rec[sf::OFF_TIER];
  h.damaged = !parse_shape(rec, path, offset).ok();
  return h;
}

bool could_be_whole(const uint8_t* rec, const std::string& path, uint64_t offset) {
  auto shape = parse_shape(rec, path, offset);
  if (!shape.ok() || !tier_from_byte(rec[sf::OFF_TIER])) return false;
  if (shape->key_scales != q4_group_count(shape->key_len) ||
      shape->key_bytes != shape->key_scales * Q4_GROUP_BYTES ||
      shape->value_scales != q4_group_count(shape->value_len) ||
      shape->value_bytes != shape->value_scales * Q4_GROUP_BYTES) {
    return false;
  }
  const uint64_t marker = get<uint64_t>(rec + sf::OFF_VIEW_MARKER);
  if (marker != 0 && marker != VIEW_MARKER_ALL_ONES) return false;
  if (marker == VIEW_MARKER_ALL_ONES &&
      (get<uint64_t>(rec + sf::OFF_PACK_ID) == 0 || get<uint16_t>(rec + sf::OFF_LAYER) != VIEW_KEY_LAYER)) {
    return false;
  }
  const uint8_t* p = rec + sf::FIXED_END;
  return q4_could_be_encoded(p, shape->key_len, shape->key_scales, shape->key_bytes) &&
         q4_could_be_encoded(p, shape->value_len, shape->value_scales, shape->value_bytes);
}

uint64_t key_prefix_size(const uint8_t* fixed, const std::string& path, uint64_t offset) {
  auto shape = parse_shape(fixed, path, offset);
  if (!shape.ok()) return 0;
  return sf::FIXED_END + 4 * shape->key_scales + shape->key_bytes;
}

bool head_agrees_with_layers(const uint8_t* head, const uint8_t* layer, uint64_t layer_size,
                             CellId first_layer_id) {
  for (size_t off : {sf::OFF_OWNER, sf::OFF_CREATED_AT, sf::OFF_STAMP}) {
    if (get<uint64_t>(head + off) != get<uint64_t>(layer + off)) return false;
  }
  if (get<uint32_t>(head + sf::OFF_IMPORTANCE) != get<uint32_t>(layer + sf::OFF_IMPORTANCE) ||
      head[sf::OFF_TIER] != layer[sf::OFF_TIER]) {
    return false;
  }
  for (size_t off : {sf::OFF_KEY_LEN, sf::OFF_KEY_SCALES, sf::OFF_KEY_BYTES}) {
    if (get<uint32_t>(head + off) != get<uint32_t>(layer + off)) return false;
  }
  if (std::memcmp(head + sf::FIXED_END, layer + sf::FIXED_END, static_cast<size_t>(layer_size - sf::FIXED_END)) != 0) {
    return false;
  }
  const CellId head_id = get<uint64_t>(head + sf::OFF_CELL_ID);
  return head_id != UINT64_MAX && head_id + 1 == first_layer_id;
}

IoResult<Cell> cell_from(const uint8_t* rec, const Shape& s) {
  QVN_TRY(Cell c, header_from_record(rec));
  const uint8_t* p = rec + sf::FIXED_END;
  c.key = decode_q4_at(p, s.key_len, s.key_scales, s.key_bytes);
  c.value = decode_q4_at(p, s.value_len, s.value_scales, s.value_bytes);
  c.aux.resize(static_cast<size_t>(s.aux_len));
  if (s.aux_len > 0) std::memcpy(c.aux.data(), p, c.aux.size() * sizeof(float));
  return c;
}

void write(uint8_t* r, const Cell& c, uint32_t body_len) {
  uint32_t ks = static_cast<uint32_t>(q4_group_count(c.key.size()));
  uint32_t vs = static_cast<uint32_t>(q4_group_count(c.value.size()));
  uint32_t kb = ks * static_cast<uint32_t>(Q4_GROUP_BYTES);
  uint32_t vb = vs * static_cast<uint32_t>(Q4_GROUP_BYTES);
  put<uint32_t>(r, body_len);
  put<uint64_t>(r + sf::OFF_CELL_ID, c.cell_id);
  put<uint64_t>(r + sf::OFF_OWNER, c.owner);
  put<uint16_t>(r + sf::OFF_LAYER, c.layer);
  put<uint32_t>(r + sf::OFF_KEY_LEN, static_cast<uint32_t>(c.key.size()));
  put<uint32_t>(r + sf::OFF_VALUE_LEN, static_cast<uint32_t>(c.value.size()));
  put<uint32_t>(r + sf::OFF_AUX_LEN, static_cast<uint32_t>(c.aux.size()));
  put<uint64_t>(r + sf::OFF_PACK_ID, c.pack_id);
  put<uint64_t>(r + sf::OFF_VIEW_MARKER, c.view_marker);
  put<uint64_t>(r + sf::OFF_CREATED_AT, c.created_at_ns);
  put<uint64_t>(r + sf::OFF_STAMP, c.stamp_ns);
  put<float>(r + sf::OFF_IMPORTANCE, c.importance);
  put<uint32_t>(r + sf::OFF_COUNTER, c.counter);
  r[sf::OFF_TIER] = tier_byte(c.tier);
  put<uint32_t>(r + sf::OFF_KEY_SCALES, ks);
  put<uint32_t>(r + sf::OFF_KEY_BYTES, kb);
  put<uint32_t>(r + sf::OFF_VALUE_SCALES, vs);
  put<uint32_t>(r + sf::OFF_VALUE_BYTES, vb);
  uint8_t* p = r + sf::FIXED_END;
  q4_encode_into(c.key.data(), c.key.size(), p, p + 4 * ks);
  p += 4 * ks + kb;
  q4_encode_into(c.value.data(), c.value.size(), p, p + 4 * vs);
  p += 4 * vs + vb;
  if (!c.aux.empty()) std::memcpy(p, c.aux.data(), c.aux.size() * sizeof(float));
}

}  // namespace record

RecordHeader RecordHeader::of(const Cell& c) {
  RecordHeader h;
  h.owner = c.owner;
  h.pack_id = c.pack_id;
  h.view_marker = c.view_marker;
  h.importance = c.importance;
  h.layer = c.layer;
  h.tier = tier_byte(c.tier);
  return h;
}

IoResult<uint32_t> cell_record_body_len(uint64_t key_len, uint64_t value_len, uint64_t aux_len) {
  auto q4_size = [](uint64_t n) { return q4_group_count(n) * (sizeof(float) + Q4_GROUP_BYTES); };
  uint64_t body = sat_add(sat_add(sf::FIXED_BODY, q4_size(key_len)), q4_size(value_len));
  uint64_t aux_bytes = aux_len > UINT64_MAX / 4 ? UINT64_MAX : aux_len * 4;
  body = sat_add(body, aux_bytes);
  if (body > UINT32_MAX) {
    return make_unexpected(IoError::invalid_input("record size " + std::to_string(body) + " exceeds u32::MAX"));
  }
  // Only key and value can pass the size limit with a count too large for
  // their 32-bit field (20 bytes per 32 elements).
  for (uint64_t n : {key_len, value_len}) {
    if (n > UINT32_MAX) {
      return make_unexpected(IoError::invalid_input("element count " + std::to_string(n) + " exceeds u32::MAX"));
    }
  }
  return static_cast<uint32_t>(body);
}

IoResult<uint32_t> encode_cell_record(std::vector<uint8_t>& out, const Cell& c) {
  QVN_TRY(uint32_t body_len, cell_record_body_len(c.key.size(), c.value.size(), c.aux.size()));
  size_t start = out.size();
  out.resize(start + sf::LEN_PREFIX + body_len);
  record::write(out.data() + start, c, body_len);
  return body_len;
}

IoResult<Cell> decode_cell_record(const std::string& path, uint64_t offset) {
  QVN_TRY(platform::File f, platform::File::open(path, platform::Access::Read));
  std::vector<uint8_t> buf;
  QVN_TRY(record::Shape shape, record::read_record(f, path, offset, buf));
  return record::cell_from(buf.data(), shape);
}

}  // namespace qvn
