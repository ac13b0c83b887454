#include "engine/json_record.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <type_traits>

#include "core/utf8.h"

namespace qvn::json {

namespace {

// ---------------------------------------------------------------------------
// Number text

// Lays out a shortest-digits decimal: plain notation when the decimal point
// falls near the digits, else d.ddde<exp>. `max_int` and `min_frac` bound
// the position of the decimal point for the plain form.
std::string layout_decimal(bool negative, const std::string& digits, int exp10, int max_int, int min_frac) {
  const int length = static_cast<int>(digits.size());
  const int kk = exp10 + 1;  // 10^(kk-1) <= |v| < 10^kk
  const int k = kk - length;
  std::string out = negative ? "-" : "";
  if (k >= 0 && kk <= max_int) {
    out += digits;
    out.append(static_cast<size_t>(k), '0');
    out += ".0";
  } else if (kk > 0 && kk <= max_int) {
    out += digits.substr(0, static_cast<size_t>(kk));
    out += '.';
    out += digits.substr(static_cast<size_t>(kk));
  } else if (kk > min_frac && kk <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-kk), '0');
    out += digits;
  } else {
    out += digits[0];
    if (length > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += std::to_string(kk - 1);
  }
  return out;
}

// float and double differ only in where the plain form gives way to the
// exponent form.
template <class F>
std::string format_shortest(F value) {
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view text(buf, static_cast<size_t>(res.ptr - buf));
  bool negative = text.front() == '-';
  if (negative) text.remove_prefix(1);
  size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exp10 = std::atoi(std::string(text.substr(e + 1)).c_str());
  return layout_decimal(negative, digits, exp10, std::is_same_v<F, float> ? 13 : 16,
                        std::is_same_v<F, float> ? -6 : -5);
}

std::string u128_text(u128 v) {
  if (v == 0) return "0";
  std::string s;
  while (v != 0) {
    s += static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  }
  return std::string(s.rbegin(), s.rend());
}

// ---------------------------------------------------------------------------
// Reader texts

constexpr const char* EOF_VALUE = "EOF while parsing a value";
constexpr const char* EOF_LIST = "EOF while parsing a list";
constexpr const char* EOF_OBJECT = "EOF while parsing an object";
constexpr const char* EOF_STRING = "EOF while parsing a string";
constexpr const char* EXPECTED_COLON = "expected `:`";
constexpr const char* EXPECTED_LIST_COMMA_OR_END = "expected `,` or `]`";
constexpr const char* EXPECTED_OBJECT_COMMA_OR_END = "expected `,` or `}`";
constexpr const char* EXPECTED_IDENT = "expected ident";
constexpr const char* EXPECTED_VALUE = "expected value";
constexpr const char* INVALID_ESCAPE = "invalid escape";
constexpr const char* INVALID_NUMBER = "invalid number";
constexpr const char* NUMBER_OUT_OF_RANGE = "number out of range";
constexpr const char* INVALID_CODE_POINT = "invalid unicode code point";
constexpr const char* CONTROL_CHARACTER = "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char* KEY_MUST_BE_STRING = "key must be a string";
constexpr const char* LONE_SURROGATE = "lone leading surrogate in hex escape";
constexpr const char* END_OF_HEX_ESCAPE = "unexpected end of hex escape";
constexpr const char* TRAILING_COMMA = "trailing comma";
constexpr const char* TRAILING_CHARACTERS = "trailing characters";

void push_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The three literals: the bytes after the first, and how a type error
// describes the value.
struct Literal {
  std::string_view rest;
  const char* found;
};

const Literal& literal(char first) {
  static const Literal NUL{"ull", "null"}, TRUE{"rue", "boolean `true`"}, FALSE{"alse", "boolean `false`"};
  return first == 'n' ? NUL : first == 't' ? TRUE : FALSE;
}

Error custom(std::string msg) { return {std::move(msg), false}; }

// Lists the variants an unknown name could have been.
std::string expected_variants(std::span<const char* const> names) {
  auto tick = [](const char* n) { return "`" + std::string(n) + "`"; };
  switch (names.size()) {
    case 1: return tick(names[0]);
    case 2: return tick(names[0]) + " or " + tick(names[1]);
    default: break;
  }
  std::string out = "one of ";
  for (size_t k = 0; k < names.size(); ++k) out += (k ? ", " : "") + tick(names[k]);
  return out;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// ---------------------------------------------------------------------------
// Reader. Positions follow one rule: an error about what was just read
// points at its last byte; an error about what comes next points at the next
// byte.

struct Reader::Number {
  enum class Kind { U64, I64, F64 } kind;
  uint64_t u = 0;
  int64_t i = 0;
  double f = 0;

  std::string unexpected() const {
    switch (kind) {
      case Kind::U64: return "integer `" + std::to_string(u) + "`";
      case Kind::I64: return "integer `" + std::to_string(i) + "`";
      case Kind::F64: break;
    }
    return "floating point `" + format_f64(f) + "`";
  }
};

std::string Reader::position_text(size_t consumed) const {
  size_t line = 1, line_start = 0;
  for (size_t k = 0; k < consumed; ++k) {
    if (in_[k] == '\n') {
      ++line;
      line_start = k + 1;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(consumed - line_start);
}

Error Reader::error(std::string_view code) const { return {std::string(code) + position_text(i_), true}; }

Error Reader::peek_error(std::string_view code) const {
  return {std::string(code) + position_text(std::min(in_.size(), i_ + 1)), true};
}

Error Reader::fix(Error e) const {
  if (!e.positioned) {
    e.msg += position_text(i_);
    e.positioned = true;
  }
  return e;
}

std::optional<char> Reader::peek() const {
  if (i_ < in_.size()) return in_[i_];
  return std::nullopt;
}

std::optional<char> Reader::next() {
  if (i_ < in_.size()) return in_[i_++];
  return std::nullopt;
}

char Reader::peek_or_nul() const { return i_ < in_.size() ? in_[i_] : '\0'; }

std::optional<char> Reader::ws() {
  while (i_ < in_.size() && (in_[i_] == ' ' || in_[i_] == '\n' || in_[i_] == '\t' || in_[i_] == '\r')) ++i_;
  return peek();
}

// -- tokens -------------------------------------------------------------------

Status Reader::ident(std::string_view rest) {
  for (char want : rest) {
    auto c = next();
    if (!c) return make_unexpected(error(EOF_VALUE));
    if (*c != want) return make_unexpected(error(EXPECTED_IDENT));
  }
  return {};
}

Expected<uint32_t, Error> Reader::hex4() {
  if (in_.size() - i_ < 4) {
    i_ = in_.size();
    return make_unexpected(error(EOF_STRING));
  }
  uint32_t v = 0;
  for (int k = 0; k < 4; ++k) {
    char c = in_[i_++];
    int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (d < 0) return make_unexpected(error(INVALID_ESCAPE));
    v = v * 16 + static_cast<uint32_t>(d);
  }
  return v;
}

// After the opening quote; consumes the closing one.
Expected<std::string, Error> Reader::string() {
  std::string out;
  size_t raw_start = i_;
  for (;;) {
    auto c = next();
    if (!c) return make_unexpected(error(EOF_STRING));
    if (*c == '"') break;
    if (static_cast<uint8_t>(*c) < 0x20) return make_unexpected(error(CONTROL_CHARACTER));
    if (*c != '\\') {
      out += *c;
      continue;
    }
    auto e = next();
    if (!e) return make_unexpected(error(EOF_STRING));
    switch (*e) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        QVN_TRY(uint32_t cp, hex4());
        if (cp >= 0xDC00 && cp <= 0xDFFF) return make_unexpected(error(LONE_SURROGATE));
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (next() != '\\' || next() != 'u') return make_unexpected(error(END_OF_HEX_ESCAPE));
          QVN_TRY(uint32_t low, hex4());
          if (low < 0xDC00 || low > 0xDFFF) return make_unexpected(error(LONE_SURROGATE));
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        push_utf8(out, cp);
        break;
      }
      default: return make_unexpected(error(INVALID_ESCAPE));
    }
  }
  if (!valid_utf8(in_.substr(raw_start, i_ - raw_start))) return make_unexpected(error(INVALID_CODE_POINT));
  return out;
}

// After an optional '-' was eaten.
Expected<Reader::Number, Error> Reader::number(bool positive) {
  size_t start = i_;
  auto c = next();
  if (!c || !is_digit(*c)) return make_unexpected(error(INVALID_NUMBER));
  if (*c == '0') {
    if (is_digit(peek_or_nul())) return make_unexpected(peek_error(INVALID_NUMBER));
  } else {
    while (is_digit(peek_or_nul())) eat();
  }
  bool integral = true;
  if (peek_or_nul() == '.') {
    integral = false;
    eat();
    if (!is_digit(peek_or_nul())) return make_unexpected(peek_error(peek() ? INVALID_NUMBER : EOF_VALUE));
    while (is_digit(peek_or_nul())) eat();
  }
  if (peek_or_nul() == 'e' || peek_or_nul() == 'E') {
    integral = false;
    eat();
    if (peek_or_nul() == '+' || peek_or_nul() == '-') eat();
    auto d = next();
    if (!d || !is_digit(*d)) return make_unexpected(error(INVALID_NUMBER));
    while (is_digit(peek_or_nul())) eat();
  }
  std::string_view digits = in_.substr(start, i_ - start);
  Number n{Number::Kind::F64};
  if (integral) {
    uint64_t u = 0;
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), u);
    if (r.ec == std::errc()) {
      if (positive) return Number{Number::Kind::U64, u};
      // "-0" is a float: no integer holds a negative zero.
      if (u != 0 && u <= (uint64_t{1} << 63)) {
        return Number{Number::Kind::I64, 0, static_cast<int64_t>(0 - u)};
      }
    }
  }
  std::string text = (positive ? "" : "-") + std::string(digits);
  // strtod is used for its correct rounding; JSON numbers never contain
  // the locale's decimal separator other than '.', and this process never
  // changes LC_NUMERIC.
  n.f = std::strtod(text.c_str(), nullptr);
  if (std::isinf(n.f)) return make_unexpected(error(NUMBER_OUT_OF_RANGE));
  return n;
}

// The type-mismatch error for the value that starts here.
Error Reader::invalid_type(std::string_view expected) {
  std::string found;
  switch (peek_or_nul()) {
    case 'n':
    case 't':
    case 'f': {
      const Literal& lit = literal(peek_or_nul());
      eat();
      if (auto r = ident(lit.rest); !r.ok()) return r.error();
      found = lit.found;
      break;
    }
    case '-': {
      eat();
      auto n = number(false);
      if (!n.ok()) return n.error();
      found = n->unexpected();
      break;
    }
    case '"': {
      eat();
      auto s = string();
      if (!s.ok()) return s.error();
      found = "string " + debug_quoted(*s);
      break;
    }
    case '[': found = "sequence"; break;
    case '{': found = "map"; break;
    default:
      if (is_digit(peek_or_nul())) {
        auto n = number(true);
        if (!n.ok()) return n.error();
        found = n->unexpected();
        break;
      }
      return peek_error(EXPECTED_VALUE);
  }
  return fix(custom("invalid type: " + found + ", expected " + std::string(expected)));
}

// -- containers ---------------------------------------------------------------

// Steps over the comma before every member but the first of an array or
// object. Returns false at `close`; else the next member starts here.
Expected<bool, Error> Reader::next_member(bool& first, char close) {
  const char* eof = close == ']' ? EOF_LIST : EOF_OBJECT;
  auto p = ws();
  if (!p) return make_unexpected(peek_error(eof));
  if (*p == close) return false;
  if (!first) {
    if (*p != ',') {
      return make_unexpected(peek_error(close == ']' ? EXPECTED_LIST_COMMA_OR_END : EXPECTED_OBJECT_COMMA_OR_END));
    }
    eat();
    p = ws();
  }
  first = false;
  if (!p) return make_unexpected(peek_error(EOF_VALUE));
  if (*p == close) return make_unexpected(peek_error(TRAILING_COMMA));
  return true;
}

Expected<std::optional<std::string>, Error> Reader::next_key(bool& first) {
  QVN_TRY(bool more, next_member(first, '}'));
  if (!more) return std::optional<std::string>();
  if (peek() != '"') return make_unexpected(peek_error(KEY_MUST_BE_STRING));
  eat();
  QVN_TRY(std::string key, string());
  return std::optional<std::string>(std::move(key));
}

Status Reader::colon() {
  auto p = ws();
  if (!p) return make_unexpected(peek_error(EOF_OBJECT));
  if (*p != ':') return make_unexpected(peek_error(EXPECTED_COLON));
  eat();
  return {};
}

Status Reader::end_seq() {
  auto p = ws();
  if (!p) return make_unexpected(peek_error(EOF_LIST));
  if (*p == ']') {
    eat();
    return {};
  }
  if (*p == ',') {
    eat();
    auto q = ws();
    return make_unexpected(peek_error(q == ']' ? TRAILING_COMMA : TRAILING_CHARACTERS));
  }
  return make_unexpected(peek_error(TRAILING_CHARACTERS));
}

Status Reader::end_map() {
  auto p = ws();
  if (!p) return make_unexpected(peek_error(EOF_OBJECT));
  if (*p == '}') {
    eat();
    return {};
  }
  return make_unexpected(peek_error(*p == ',' ? TRAILING_COMMA : TRAILING_CHARACTERS));
}

// Skips one value of any shape. Iterative, so nesting depth costs heap, not
// stack.
Status Reader::skip_value() {
  std::string stack;
  std::optional<char> enclosing;
  for (;;) {
    auto p = ws();
    if (!p) return make_unexpected(peek_error(EOF_VALUE));
    std::optional<char> frame;
    switch (*p) {
      case 'n':
      case 't':
      case 'f':
        eat();
        QVN_TRY_VOID(ident(literal(*p).rest));
        break;
      case '-': {
        eat();
        QVN_TRY(Number n, number(false));
        (void)n;
        break;
      }
      case '"': {
        eat();
        QVN_TRY(std::string s, string());
        (void)s;
        break;
      }
      case '[':
      case '{':
        if (enclosing) stack += *enclosing;
        enclosing.reset();
        eat();
        frame = *p;
        break;
      default: {
        if (!is_digit(*p)) return make_unexpected(peek_error(EXPECTED_VALUE));
        QVN_TRY(Number n, number(true));
        (void)n;
      }
    }
    bool accept_comma;
    char cur;
    if (frame) {
      accept_comma = false;
      cur = *frame;
    } else if (enclosing) {
      accept_comma = true;
      cur = *enclosing;
      enclosing.reset();
    } else if (!stack.empty()) {
      accept_comma = true;
      cur = stack.back();
      stack.pop_back();
    } else {
      return {};
    }
    for (;;) {
      auto q = ws();
      if (!q) return make_unexpected(peek_error(cur == '[' ? EOF_LIST : EOF_OBJECT));
      if (*q == ',' && accept_comma) {
        eat();
        break;
      }
      if ((*q == ']' && cur == '[') || (*q == '}' && cur == '{')) {
        eat();
        if (stack.empty()) return {};
        cur = stack.back();
        stack.pop_back();
        accept_comma = true;
        continue;
      }
      if (accept_comma) {
        return make_unexpected(peek_error(cur == '[' ? EXPECTED_LIST_COMMA_OR_END : EXPECTED_OBJECT_COMMA_OR_END));
      }
      break;
    }
    if (cur == '{') {
      auto k = ws();
      if (!k) return make_unexpected(peek_error(EOF_OBJECT));
      if (*k != '"') return make_unexpected(peek_error(KEY_MUST_BE_STRING));
      eat();
      QVN_TRY(std::string key, string());
      (void)key;
      QVN_TRY_VOID(colon());
    }
    enclosing = cur;
  }
}

// -- records ------------------------------------------------------------------

Status Reader::read_record(std::span<Field> fields, std::string_view expecting) {
  auto p = ws();
  if (!p) return make_unexpected(peek_error(EOF_VALUE));
  Status ret;
  if (*p == '[') {
    eat();
    ret = struct_from_seq(fields, expecting);
    auto end = end_seq();
    if (ret.ok() && !end.ok()) ret = std::move(end);
  } else if (*p == '{') {
    eat();
    ret = struct_from_map(fields);
    // Runs even after an error so that the error's position is the one
    // reached after the closing brace, as for a missing field.
    auto end = end_map();
    if (ret.ok() && !end.ok()) ret = std::move(end);
  } else {
    ret = make_unexpected(invalid_type(expecting));
  }
  if (!ret.ok()) return make_unexpected(fix(std::move(ret).error()));
  return {};
}

Status Reader::struct_from_map(std::span<Field> fields) {
  bool first = true;
  for (;;) {
    QVN_TRY(std::optional<std::string> key, next_key(first));
    if (!key) break;
    Field* field = nullptr;
    for (Field& f : fields) {
      if (*key == f.name) field = &f;
    }
    if (field && field->seen) return make_unexpected(custom("duplicate field `" + *key + "`"));
    QVN_TRY_VOID(colon());
    if (field) {
      QVN_TRY_VOID(field->read());
      field->seen = true;
    } else {
      QVN_TRY_VOID(skip_value());
    }
  }
  for (const Field& f : fields) {
    if (!f.seen) return make_unexpected(custom(std::string("missing field `") + f.name + "`"));
  }
  return {};
}

Status Reader::struct_from_seq(std::span<Field> fields, std::string_view expecting) {
  bool first = true;
  for (size_t k = 0; k < fields.size(); ++k) {
    QVN_TRY(bool more, next_member(first, ']'));
    if (!more) {
      return make_unexpected(custom("invalid length " + std::to_string(k) + ", expected " + std::string(expecting) +
                                    " with " + std::to_string(fields.size()) + " elements"));
    }
    QVN_TRY_VOID(fields[k].read());
  }
  return {};
}

Status Reader::read_sequence(const std::function<Status()>& element) {
  auto p = ws();
  if (!p) return make_unexpected(peek_error(EOF_VALUE));
  if (*p != '[') return make_unexpected(invalid_type("a sequence"));
  eat();
  Status ret;
  bool first = true;
  for (;;) {
    auto more = next_member(first, ']');
    if (!more.ok()) {
      ret = make_unexpected(std::move(more).error());
      break;
    }
    if (!*more) break;
    ret = element();
    if (!ret.ok()) break;
  }
  auto end = end_seq();
  if (ret.ok() && !end.ok()) ret = std::move(end);
  if (!ret.ok()) return make_unexpected(fix(std::move(ret).error()));
  return {};
}

Status Reader::read_struct_variant(std::span<const char* const> names, const std::function<Status(size_t)>& content) {
  auto p = ws();
  if (!p) return make_unexpected(peek_error(EOF_VALUE));
  if (*p == '"') {
    // A bare name would be a variant without data; every variant has some.
    QVN_TRY(size_t k, variant_name(names));
    (void)k;
    return make_unexpected(custom("invalid type: unit variant, expected struct variant"));
  }
  if (*p != '{') return make_unexpected(peek_error(EXPECTED_VALUE));
  eat();
  QVN_TRY(size_t k, variant_name(names));
  QVN_TRY_VOID(colon());
  QVN_TRY_VOID(content(k));
  auto q = ws();
  if (!q) return make_unexpected(error(EOF_OBJECT));
  if (*q != '}') return make_unexpected(error(EXPECTED_VALUE));
  eat();
  return {};
}

Expected<size_t, Error> Reader::variant_name(std::span<const char* const> names) {
  auto p = ws();
  if (!p) return make_unexpected(peek_error(EOF_VALUE));
  if (*p != '"') return make_unexpected(invalid_type("variant identifier"));
  eat();
  QVN_TRY(std::string name, string());
  for (size_t k = 0; k < names.size(); ++k) {
    if (name == names[k]) return k;
  }
  return make_unexpected(fix(custom("unknown variant `" + name + "`, expected " + expected_variants(names))));
}

// -- scalars ------------------------------------------------------------------

Expected<Reader::Number, Error> Reader::read_number(std::string_view expected) {
  auto p = ws();
  if (!p) return make_unexpected(peek_error(EOF_VALUE));
  if (*p == '-') {
    eat();
    return number(false);
  }
  if (is_digit(*p)) return number(true);
  return make_unexpected(invalid_type(expected));
}

Status Reader::read_u64(uint64_t& out) { return read_unsigned(UINT64_MAX, "u64", out); }

Status Reader::read_unsigned(uint64_t max, std::string_view type, uint64_t& out) {
  QVN_TRY(Number n, read_number(type));
  switch (n.kind) {
    case Number::Kind::U64:
      if (n.u <= max) {
        out = n.u;
        return {};
      }
      [[fallthrough]];
    case Number::Kind::I64:
      return make_unexpected(fix(custom("invalid value: " + n.unexpected() + ", expected " + std::string(type))));
    case Number::Kind::F64: break;
  }
  return make_unexpected(fix(custom("invalid type: " + n.unexpected() + ", expected " + std::string(type))));
}

Status Reader::read_f32(float& out) {
  QVN_TRY(Number n, read_number("f32"));
  switch (n.kind) {
    case Number::Kind::U64: out = static_cast<float>(n.u); break;
    case Number::Kind::I64: out = static_cast<float>(n.i); break;
    case Number::Kind::F64: out = static_cast<float>(n.f); break;
  }
  return {};
}

Status Reader::read_u128(u128& out) {
  auto p = ws();
  if (!p) return make_unexpected(peek_error(EOF_VALUE));
  if (*p == '-') return make_unexpected(peek_error(NUMBER_OUT_OF_RANGE));
  auto c = next();
  if (!c || !is_digit(*c)) return make_unexpected(error(INVALID_NUMBER));
  u128 v = static_cast<u128>(*c - '0');
  if (*c == '0') {
    if (is_digit(peek_or_nul())) return make_unexpected(peek_error(INVALID_NUMBER));
  } else {
    const u128 max = ~u128{0};
    bool overflow = false;
    while (is_digit(peek_or_nul())) {
      auto d = static_cast<u128>(in_[i_] - '0');
      eat();
      if (v > (max - d) / 10) overflow = true;
      if (!overflow) v = v * 10 + d;
    }
    if (overflow) return make_unexpected(error(NUMBER_OUT_OF_RANGE));
  }
  out = v;
  return {};
}

Status Reader::read_string(std::string& out) {
  auto p = ws();
  if (!p) return make_unexpected(peek_error(EOF_VALUE));
  if (*p != '"') return make_unexpected(invalid_type("a string"));
  eat();
  QVN_TRY(out, string());
  return {};
}

Expected<void, std::string> read_document(std::string_view text, const std::function<Status(Reader&)>& read) {
  Reader in(text);
  Status s = read(in);
  if (s.ok() && in.ws()) s = make_unexpected(in.peek_error(TRAILING_CHARACTERS));
  if (!s.ok()) return make_unexpected(in.fix(std::move(s).error()).msg);
  return {};
}

// ---------------------------------------------------------------------------
// Writer

void PrettyWriter::open(char c) {
  before_value();
  out_ += c;
  levels_.push_back({c == '['});
}

void PrettyWriter::close(char c) {
  bool empty = levels_.back().empty;
  levels_.pop_back();
  if (!empty) new_line();
  out_ += c;
}

void PrettyWriter::new_line() {
  out_ += '\n';
  out_.append(2 * levels_.size(), ' ');
}

// Array elements begin like members, on their own line after a comma.
void PrettyWriter::before_value() {
  if (levels_.empty() || !levels_.back().array) return;
  if (!levels_.back().empty) out_ += ',';
  levels_.back().empty = false;
  new_line();
}

void PrettyWriter::key(std::string_view name) {
  if (!levels_.back().empty) out_ += ',';
  levels_.back().empty = false;
  new_line();
  size_t before = out_.size();
  // Keys are the writers' own ASCII names; a failure here is impossible.
  if (!string(name).ok()) out_.resize(before);
  out_ += ": ";
}

void PrettyWriter::number(uint64_t v) { number_text(std::to_string(v)); }

void PrettyWriter::number(u128 v) { number_text(u128_text(v)); }

void PrettyWriter::number_text(std::string_view text) {
  before_value();
  out_ += text;
}

Expected<void, std::string> PrettyWriter::string(std::string_view s) {
  if (!valid_utf8(s)) return make_unexpected(std::string("string is not valid UTF-8"));
  static const char kHex[] = "0123456789abcdef";
  before_value();
  out_ += '"';
  for (char c : s) {
    switch (c) {
      case '"': out_ += "\\\""; break;
      case '\\': out_ += "\\\\"; break;
      case '\b': out_ += "\\b"; break;
      case '\f': out_ += "\\f"; break;
      case '\n': out_ += "\\n"; break;
      case '\r': out_ += "\\r"; break;
      case '\t': out_ += "\\t"; break;
      default:
        if (static_cast<uint8_t>(c) < 0x20) {
          out_ += "\\u00";
          out_ += kHex[static_cast<uint8_t>(c) >> 4];
          out_ += kHex[c & 15];
        } else {
          out_ += c;
        }
    }
  }
  out_ += '"';
  return {};
}

// ---------------------------------------------------------------------------

std::string format_f32(float value) { return format_shortest(value); }

std::string format_f64(double value) { return format_shortest(value); }

std::string debug_quoted(std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\u{";
          if (c >= 0x10) out += kHex[c >> 4];
          out += kHex[c & 15];
          out += "}";
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace qvn::json
