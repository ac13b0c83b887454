// JSON records in the one lenient convention shared by "scheduled_actions.json" and
// "manifest.json": a pull reader that decodes records straight from the text,
// and a writer for the two-space pretty form.
//
// Reading is lenient: free whitespace, members in any order, unknown keys
// skipped at any depth (without recursion), each record also accepted as an
// array of its field values. Every error text ends in " at line L column C";
// the descriptions ("missing field `x`", "invalid type: null, expected f32",
// "invalid length 1, expected struct X with 2 elements", ...) are the
// wording callers of both files match on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace qvn {

using u128 = unsigned __int128;

namespace json {

// An error found by a record decoder has no position yet; the innermost
// enclosing value reader attaches the position it has reached.
struct Error {
  std::string msg;
  bool positioned = false;
};

using Status = Expected<void, Error>;

// One field of a record: its key, and how to read its value from the reader
// the record is being read with.
struct Field {
  const char* name;
  std::function<Status()> read;
  bool seen = false;
};

// Reads values at the current position, each call consuming exactly one
// value and the whitespace before it. A failed call leaves the reader at an
// unspecified position: stop reading and report the error.
class Reader {
 public:
  explicit Reader(std::string_view text) : in_(text) {}

  // A record: an object (members in any order, unknown keys skipped, every
  // field exactly once) or an array of the field values in `fields` order.
  // `expecting` names the record in type errors ("struct DiskEntry"); a
  // short array expects "<expecting> with <N> elements".
  Status read_record(std::span<Field> fields, std::string_view expecting);

  // An array of any length; `element` reads one element per call.
  Status read_sequence(const std::function<Status()>& element);

  // An externally tagged enum whose variants carry records: {"Name": ...}.
  // `content` reads the variant's value and is told its index in `names`.
  Status read_struct_variant(std::span<const char* const> names, const std::function<Status(size_t)>& content);

  Status read_u64(uint64_t& out);
  // A non-negative integer up to `max`; `type` names it in errors ("u8").
  Status read_unsigned(uint64_t max, std::string_view type, uint64_t& out);
  // Plain digits only (no sign, fraction or exponent), up to 2^128 - 1.
  Status read_u128(u128& out);
  // Any JSON number, rounded to the nearest float32.
  Status read_f32(float& out);
  Status read_string(std::string& out);

 private:
  struct Number;

  friend Expected<void, std::string> read_document(std::string_view, const std::function<Status(Reader&)>&);

  std::string position_text(size_t consumed) const;
  Error error(std::string_view code) const;
  Error peek_error(std::string_view code) const;
  Error fix(Error e) const;

  std::optional<char> peek() const;
  std::optional<char> next();
  char peek_or_nul() const;
  void eat() { ++i_; }
  std::optional<char> ws();

  Status ident(std::string_view rest);
  Expected<uint32_t, Error> hex4();
  Expected<std::string, Error> string();
  Expected<Number, Error> number(bool positive);
  Expected<Number, Error> read_number(std::string_view expected);
  Error invalid_type(std::string_view expected);

  Expected<bool, Error> next_member(bool& first, char close);
  Expected<std::optional<std::string>, Error> next_key(bool& first);
  Status colon();
  Status end_seq();
  Status end_map();
  Status skip_value();
  Status struct_from_map(std::span<Field> fields);
  Status struct_from_seq(std::span<Field> fields, std::string_view expecting);
  Expected<size_t, Error> variant_name(std::span<const char* const> names);

  std::string_view in_;
  size_t i_ = 0;
};

// Reads one document with `read` and refuses anything but whitespace after
// it. The error is the positioned description.
Expected<void, std::string> read_document(std::string_view text, const std::function<Status(Reader&)>& read);

// Builds the pretty form: two spaces of indentation per level, each member
// and element on its own line, ": " after keys, a comma after every member
// or element but the last, empty containers as "{}" and "[]", no trailing
// newline. Callers pair every begin with its end.
class PrettyWriter {
 public:
  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // Starts a member of the innermost object; its value follows.
  void key(std::string_view name);

  void number(uint64_t v);
  void number(u128 v);
  // A number already formatted by the caller (format_f32, ...).
  void number_text(std::string_view text);
  // Text that is not valid UTF-8 has no JSON form; nothing is written then.
  Expected<void, std::string> string(std::string_view s);

  const std::string& text() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  struct Level {
    bool array;
    bool empty = true;
  };

  void open(char c);
  void close(char c);
  void new_line();
  void before_value();

  std::string out_;
  std::vector<Level> levels_;
};

// Shortest decimal that reads back as the same value, always with a decimal
// point or an exponent ("15.0", "0.1", "1e-7"). Finite values only.
std::string format_f32(float value);
std::string format_f64(double value);

// A string as an error shows a found value: in double quotes, with quotes,
// backslashes and control characters escaped.
std::string debug_quoted(std::string_view s);

}  // namespace json
}  // namespace qvn
