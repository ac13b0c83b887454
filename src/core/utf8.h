// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
#pragma once

#include <string>
#include <string_view>

namespace qvn {

bool valid_utf8(std::string_view s);
// Each maximal ill-formed subpart becomes U+FFFD.
std::string utf8_lossy(std::string_view s);

}  // namespace qvn
