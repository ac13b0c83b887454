#include "core/utf8.h"

#include <cstddef>

namespace qvn {

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0 with `bad` set to
// the length of the maximal ill-formed subpart there (at least 1).
size_t utf8_char(std::string_view s, size_t i, size_t& bad) {
  auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  size_t k = 1;
  for (; k <= need && i + k < s.size(); ++k) {
    auto d = static_cast<unsigned char>(s[i + k]);
    if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) break;
  }
  if (k > need) return need + 1;
  bad = k;
  return 0;
}

}  // namespace

bool valid_utf8(std::string_view s) {
  size_t bad = 0;
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8_char(s, i, bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// Each ill-formed subpart becomes U+FFFD.
std::string utf8_lossy(std::string_view s) {
  std::string out;
  size_t bad = 0;
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8_char(s, i, bad);
    if (n > 0) {
      out.append(s.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      i += bad;
    }
  }
  return out;
}

}  // namespace qvn
