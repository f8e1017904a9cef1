// The mix of session classes as written on the command line.
#include "console/mix_classes.h"

#include <gtest/gtest.h>

namespace quarvent::console {
namespace {

TEST(MixClasses, ClassesTakeTheirProtocolCountAndOrder) {
  std::vector<MixClass> mix;
  ASSERT_EQ(ParseMix("0x2,3x10,udp:5x4", kTcp, &mix), "");
  EXPECT_EQ(MixText(mix), "tcp:0x2,tcp:3x10,udp:5x4");
  EXPECT_EQ(SessionCount(mix), 16);
  ASSERT_EQ(ParseMix("7,tcp:10x1", kUdp, &mix), "");  // no protocol: the default's
  EXPECT_EQ(MixText(mix), "udp:7x1,tcp:10x1");
  ASSERT_EQ(ParseMix("0x1000,1x24", kTcp, &mix), "");
  EXPECT_EQ(SessionCount(mix), 1024);
}

TEST(MixClasses, EveryMalformedClassIsNamed) {
  const struct {
    const char* text;
    const char* problem;
  } cases[] = {
      {"", "'' has no pattern 0..10"},
      {"0x2,", "'' has no pattern 0..10"},
      {"11", "'11' has no pattern 0..10"},
      {"-1", "'-1' has no pattern 0..10"},
      {"x3", "'x3' has no pattern 0..10"},
      {"sctp:3", "'sctp:3' has no pattern 0..10"},
      {"3x", "'3x' has no count 1..1024 after 'x'"},
      {"3x0", "'3x0' has no count 1..1024 after 'x'"},
      {"3x1025", "'3x1025' has no count 1..1024 after 'x'"},
      {"3x2x2", "'3x2x2' has no count 1..1024 after 'x'"},
      {"3 x2", "'3 x2' has no pattern 0..10"},
      {"0x1000,1x25", "more than 1024 sessions in all"},
  };
  for (const auto& c : cases) {
    std::vector<MixClass> mix;
    EXPECT_EQ(ParseMix(c.text, kTcp, &mix), c.problem) << c.text;
  }
}

}  // namespace
}  // namespace quarvent::console
