// The one error type of storage, retrieval, index and engine operations, and
// the result type errors travel in. Expected failures are values, never C++
// exceptions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace qvn {

// An I/O failure as storage reports it. `Os` carries errno; the others carry
// the message text that is shown as is.
struct IoError {
  enum class Kind : uint8_t {
    Os,             // "{strerror} (os error {errno})"
    InvalidData,    // damaged file contents
    InvalidInput,   // refused argument (NUL in a path, oversized record)
    UnexpectedEof,  // "failed to fill whole buffer"
    WriteZero,      // "failed to write whole buffer"
    Other,
  };

  Kind kind = Kind::Other;
  int os_code = 0;
  std::string message;

  static IoError os(int err);
  static IoError invalid_data(std::string msg) { return {Kind::InvalidData, 0, std::move(msg)}; }
  static IoError invalid_input(std::string msg) { return {Kind::InvalidInput, 0, std::move(msg)}; }
  static IoError unexpected_eof() { return {Kind::UnexpectedEof, 0, "failed to fill whole buffer"}; }
  static IoError write_zero() { return {Kind::WriteZero, 0, "failed to write whole buffer"}; }
  static IoError other(std::string msg) { return {Kind::Other, 0, std::move(msg)}; }

  std::string to_string() const;
};

// "{strerror(err)} (os error {err})"
std::string os_error_text(int err);

class EngineError {
 public:
  enum class Kind : uint8_t {
    CellNotFound = 0,
    PackNotFound = 1,
    SegmentFull = 2,
    StorageIo = 3,
    Quantization = 4,
    DimensionMismatch = 5,
    WalRecovery = 6,
    Index = 7,
    Governance = 8,
    CapacityExceeded = 9,
    NotASnapshot = 10,
    UnsupportedSnapshotFormatVersion = 11,
    SnapshotCodecMismatch = 12,
    SnapshotIntegrity = 13,
  };

  // Implicit on purpose: an I/O failure reaching engine code is `StorageIo`.
  EngineError(IoError io) : kind_(Kind::StorageIo), io_(std::move(io)) {}  // NOLINT

  static EngineError cell_not_found(uint64_t id) { return EngineError(Kind::CellNotFound, id); }
  static EngineError pack_not_found(uint64_t id) { return EngineError(Kind::PackNotFound, id); }
  static EngineError segment_full(std::string path) { return EngineError(Kind::SegmentFull, std::move(path)); }
  static EngineError storage_io(IoError io) { return EngineError(std::move(io)); }
  static EngineError quantization(std::string s) { return EngineError(Kind::Quantization, std::move(s)); }
  static EngineError dimension_mismatch(uint64_t expected, uint64_t got, std::string what);
  static EngineError wal_recovery(std::string s) { return EngineError(Kind::WalRecovery, std::move(s)); }
  static EngineError index(std::string s) { return EngineError(Kind::Index, std::move(s)); }
  static EngineError governance(std::string s) { return EngineError(Kind::Governance, std::move(s)); }
  static EngineError capacity_exceeded(std::string s) { return EngineError(Kind::CapacityExceeded, std::move(s)); }
  static EngineError not_a_snapshot(std::string s) { return EngineError(Kind::NotASnapshot, std::move(s)); }
  static EngineError unsupported_snapshot_format_version(uint8_t found, uint8_t supported);
  static EngineError snapshot_codec_mismatch(std::string codec, std::string snapshot, std::string engine);
  static EngineError snapshot_integrity(std::string s) { return EngineError(Kind::SnapshotIntegrity, std::move(s)); }

  Kind kind() const { return kind_; }
  // Payload accessors; meaningful only for the variants that carry them.
  uint64_t id() const { return a_; }
  const IoError& io() const { return io_; }
  const std::string& text() const { return s1_; }

  // The display text Python sees in RuntimeError.
  std::string to_string() const;

 private:
  EngineError(Kind k, uint64_t a) : kind_(k), a_(a) {}
  EngineError(Kind k, std::string s) : kind_(k), s1_(std::move(s)) {}

  Kind kind_;
  uint64_t a_ = 0;
  uint64_t b_ = 0;
  std::string s1_, s2_, s3_;
  IoError io_;
};

// ---------------------------------------------------------------------------
// Result type. `Expected<T, E>` holds a T or an E; `Result<T>` is the engine
// flavour, `IoResult<T>` the platform/storage flavour.

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> make_unexpected(E&& e) {
  return {std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(T v) : v_(std::in_place_index<0>, std::move(v)) {}  // NOLINT
  template <class E2>
  Expected(Unexpected<E2> u) : v_(std::in_place_index<1>, E(std::move(u.error))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <class E2>
  Expected(Unexpected<E2> u) : err_(E(std::move(u.error))), has_err_(true) {}  // NOLINT

  bool ok() const { return !has_err_; }
  explicit operator bool() const { return ok(); }
  void value() const {}
  E& error() & { return err_.value(); }
  const E& error() const& { return err_.value(); }
  E&& error() && { return std::move(err_).value(); }

 private:
  std::optional<E> err_;
  bool has_err_ = false;
};

template <class T>
using Result = Expected<T, EngineError>;
template <class T>
using IoResult = Expected<T, IoError>;

inline Expected<void, EngineError> ok_result() { return {}; }

}  // namespace qvn

#define QVN_CONCAT_INNER(a, b) a##b
#define QVN_CONCAT(a, b) QVN_CONCAT_INNER(a, b)

// QVN_TRY(auto x, expr): evaluates expr; on error returns it (converted to the
// caller's error type), else binds the value.
#define QVN_TRY(decl, expr) QVN_TRY_IMPL(decl, expr, QVN_CONCAT(qvn_try_, __LINE__))
#define QVN_TRY_IMPL(decl, expr, tmp)                                   \
  auto tmp = (expr);                                                    \
  if (!tmp.ok()) return ::qvn::make_unexpected(std::move(tmp).error()); \
  decl = std::move(tmp).value()

// QVN_TRY_VOID(expr): for results without a value.
#define QVN_TRY_VOID(expr) QVN_TRY_VOID_IMPL(expr, QVN_CONCAT(qvn_try_, __LINE__))
#define QVN_TRY_VOID_IMPL(expr, tmp) \
  do {                               \
    auto tmp = (expr);               \
    if (!tmp.ok()) return ::qvn::make_unexpected(std::move(tmp).error()); \
  } while (0)
