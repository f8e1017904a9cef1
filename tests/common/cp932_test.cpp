#include "common/cp932.h"

#include <gtest/gtest.h>

namespace quarvent {
namespace {

std::string Bytes(std::initializer_list<unsigned char> b) {
  return std::string(b.begin(), b.end());
}

TEST(Cp932, HalfWidthKatakanaAndKanjiByteForByte) {
  EXPECT_EQ(Utf8ToCp932("ﾈｺﾞｼｴｰｼｮﾝ ﾌｫｰﾏｯﾄｴﾗｰ"),
            Bytes({0xC8, 0xBA, 0xDE, 0xBC, 0xB4, 0xB0, 0xBC, 0xAE, 0xDD, 0x20, 0xCC, 0xAB, 0xB0,
                   0xCF, 0xAF, 0xC4, 0xB4, 0xD7, 0xB0}));
  EXPECT_EQ(Utf8ToCp932("失敗"), Bytes({0x8E, 0xB8, 0x94, 0x73}));
  EXPECT_EQ(Utf8ToCp932("ErrCode=5."), "ErrCode=5.");
}

TEST(Cp932, RoundTripAndBadInput) {
  const std::string text = "ﾈｺﾞｼｴｰｼｮﾝｴﾗｰ ﾊﾞｰｼﾞｮﾝ 不一致.";
  EXPECT_EQ(Cp932ToUtf8(Utf8ToCp932(text)), text);
  // A lone lead byte and an undefined byte never crash and never vanish silently.
  EXPECT_EQ(Cp932ToUtf8(Bytes({'A', 0x81})), "A?");
  EXPECT_EQ(Cp932ToUtf8(""), "");
}

}  // namespace
}  // namespace quarvent
