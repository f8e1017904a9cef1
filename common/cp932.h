// Text encoding between the UTF-8 of this code and the Shift-JIS (code page
// 932) that texts use on the wire.
#pragma once

#include <string>
#include <string_view>

namespace quarvent {

// Characters that cannot be converted become '?'.
std::string Utf8ToCp932(std::string_view utf8);
std::string Cp932ToUtf8(std::string_view cp932);

}  // namespace quarvent
