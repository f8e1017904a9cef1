#include "common/cp932.h"

#include <iconv.h>

#include <cerrno>

namespace quarvent {
namespace {

std::string Convert(const char* to, const char* from, std::string_view in, size_t badWidth) {
  std::string out;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  out.resize(in.size() * 2 + 16);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  size_t used = 0;
  while (srcLeft > 0) {
    char* dst = out.data() + used;
    size_t dstLeft = out.size() - used;
    const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    used = out.size() - dstLeft;
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else {
      // EILSEQ or EINVAL: replace the bad sequence and go on.
      if (out.size() - used < 1) out.resize(out.size() * 2);
      out[used++] = '?';
      const size_t skip = badWidth < srcLeft ? badWidth : srcLeft;
      src += skip;
      srcLeft -= skip;
    }
  }
  iconv_close(cd);
  out.resize(used);
  return out;
}

}  // namespace

std::string Utf8ToCp932(std::string_view utf8) {
  return Convert("CP932", "UTF-8", utf8, 1);
}

std::string Cp932ToUtf8(std::string_view cp932) {
  return Convert("UTF-8", "CP932", cp932, 1);
}

}  // namespace quarvent
