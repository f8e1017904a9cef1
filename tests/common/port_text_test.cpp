#include "common/port_text.h"

#include <gtest/gtest.h>

#include <string>

namespace quarvent {
namespace {

struct PortCase {
  const char* text;
  bool ok;
  int port;  // when ok
};

// Text in, port out: the signed 32-bit range with its boundaries, signs,
// leading zeros, white space at the ends, and what is refused.
TEST(PortText, Table) {
  const PortCase cases[] = {
      {"49152", true, 49152},
      {"0", true, 0},
      {"-0", true, 0},
      {"+12", true, 12},
      {"-1", true, -1},
      {"70000", true, 70000},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"4294967297", false, 0},
      {"99999999999999999999999", false, 0},
      {"00000000000000000000012", true, 12},
      {" 12 ", true, 12},
      {"\t12\n", true, 12},
      {"\v\f\r12", true, 12},
      {"\u3000"
       "12"
       "\u3000",
       true, 12},  // ideographic space
      {"\u00A0"
       "12",
       true, 12},
      {"12"
       "\u2029",
       true, 12},
      {"\u0085"
       "5",
       true, 5},
      {"", false, 0},
      {" ", false, 0},
      {"+", false, 0},
      {"-", false, 0},
      {"+-1", false, 0},
      {"--1", false, 0},
      {"- 1", false, 0},
      {"1 2", false, 0},
      {"12ab", false, 0},
      {"0x10", false, 0},
      {"1e3", false, 0},
      {"1,000", false, 0},
      {"1_000", false, 0},
      {"１２", false, 0},  // full-width digits
      {"\u200B"
       "12",
       false, 0},  // a zero-width space is no white space
      {"\xFF"
       "12",
       false, 0},
      {"12\xE3\x80", false, 0},  // a cut sequence
  };
  for (const PortCase& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    int port = -7;
    EXPECT_EQ(ParsePortText(c.text, &port), c.ok);
    EXPECT_EQ(port, c.ok ? c.port : -7);
  }
}

}  // namespace
}  // namespace quarvent
