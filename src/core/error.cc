#include "core/error.h"

#include <cstring>

namespace qvn {

std::string os_error_text(int err) {
  char buf[256];
  // XSI and GNU strerror_r differ in return type; handle both.
  auto r = strerror_r(err, buf, sizeof buf);
  const char* text;
  if constexpr (std::is_same_v<decltype(r), int>) {
    text = r == 0 ? buf : "Unknown error";
  } else {
    text = r;
  }
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

IoError IoError::os(int err) { return {Kind::Os, err, os_error_text(err)}; }

std::string IoError::to_string() const { return message; }

EngineError EngineError::dimension_mismatch(uint64_t expected, uint64_t got, std::string what) {
  EngineError e(Kind::DimensionMismatch, std::move(what));
  e.a_ = expected;
  e.b_ = got;
  return e;
}

EngineError EngineError::unsupported_snapshot_format_version(uint8_t found, uint8_t supported) {
  EngineError e(Kind::UnsupportedSnapshotFormatVersion, uint64_t{found});
  e.b_ = supported;
  return e;
}

EngineError EngineError::snapshot_codec_mismatch(std::string codec, std::string snapshot,
                                                 std::string engine) {
  EngineError e(Kind::SnapshotCodecMismatch, std::move(codec));
  e.s2_ = std::move(snapshot);
  e.s3_ = std::move(engine);
  return e;
}

std::string EngineError::to_string() const {
  switch (kind_) {
    case Kind::CellNotFound: return "cell not found: " + std::to_string(a_);
    case Kind::PackNotFound: return "pack not found: " + std::to_string(a_);
    case Kind::SegmentFull: return "segment full: cannot append to segment at " + s1_;
    case Kind::StorageIo: return "storage I/O error: " + io_.to_string();
    case Kind::Quantization: return "quantization error: " + s1_;
    case Kind::DimensionMismatch:
      return "dimension mismatch: expected " + std::to_string(a_) + ", got " + std::to_string(b_) +
             " for " + s1_;
    case Kind::WalRecovery: return "WAL recovery failed: " + s1_;
    case Kind::Index: return "index error: " + s1_;
    case Kind::Governance: return "governance error: " + s1_;
    case Kind::CapacityExceeded: return "capacity exceeded: " + s1_;
    case Kind::NotASnapshot: return "not a QuorvaneDB snapshot: " + s1_;
    case Kind::UnsupportedSnapshotFormatVersion:
      return "unsupported snapshot format version " + std::to_string(a_) + ", supported: " +
             std::to_string(b_);
    case Kind::SnapshotCodecMismatch:
      return "snapshot codec mismatch for " + s1_ + ": snapshot=" + s2_ + ", engine=" + s3_;
    case Kind::SnapshotIntegrity: return "snapshot integrity check failed: " + s1_;
  }
  return "unknown error";
}

}  // namespace qvn
