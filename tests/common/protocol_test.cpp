#include "common/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/cp932.h"
#include "common/transfer.h"

namespace quarvent {
namespace {

struct ParseCase {
  const char* line;
  int code;
  std::string reply;  // UTF-8; error replies are compared after conversion
};

const std::string kFormat = "ﾈｺﾞｼｴｰｼｮﾝ ﾌｫｰﾏｯﾄｴﾗｰ";
const std::string kParam = "ﾈｺﾞｼｴｰｼｮﾝ ﾊﾟﾗﾒｰﾀｴﾗｰ";
const std::string kNoSpace = "ﾈｺﾞｼｴｰｼｮﾝ ﾊﾞｰｼﾞｮﾝ 書式ｴﾗｰ.";
const std::string kVersion = "ﾈｺﾞｼｴｰｼｮﾝｴﾗｰ ﾊﾞｰｼﾞｮﾝ 不一致.";

void PrintTo(const ParseCase& c, std::ostream* os) {
  *os << '"' << c.line << '"';
}

class ParseNegotiationTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseNegotiationTest, CodeAndReply) {
  const ParseCase& c = GetParam();
  char buf[kLineBufferSize];
  std::memset(buf, 'Z', sizeof buf);
  std::strcpy(buf, c.line);
  EXPECT_EQ(ParseNegotiation(buf), c.code) << c.line;
  const std::string reply(buf);
  EXPECT_EQ(c.code >= 0 ? reply : Cp932ToUtf8(reply), c.reply) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseNegotiationTest,
    testing::Values(
        ParseCase{"QUARVENTOLIS-PIPEGAUGER 100:7", 7, "QUARVENTOLIS-PIPEGAUGER"},
        ParseCase{"QUARVENTOLIS-PIPEGAUGER 100:0", 0, "QUARVENTOLIS-PIPEGAUGER"},
        ParseCase{"QUARVENTOLIS-PIPEGAUGER 100:10", 10, "QUARVENTOLIS-PIPEGAUGER"},
        ParseCase{"ABC 100:3", 3, "ABC"}, ParseCase{"QUARVENTOLIS-PIPEGAUGER 100:11", -2, kParam},
        ParseCase{"X 99:-1", -2, kParam}, ParseCase{"QUARVENTOLIS-PIPEGAUGER100:3", -3, kNoSpace},
        ParseCase{"QUARVENTOLIS-PIPEGAUGER 101:3", -4, kVersion},
        ParseCase{"X abc:3", -4, kVersion}, ParseCase{"", -1, kFormat},
        ParseCase{":::", -1, kFormat}, ParseCase{"X 100:abc", 0, "X"},
        ParseCase{"X 100: 5", 5, "X"}, ParseCase{"X 100:3:9", 3, "X"},
        ParseCase{"X 100abc:4", 4, "X"},
        ParseCase{"::X 100:2", 2, "::X"},  // leading colons skipped, still part of the reply
        ParseCase{"X 100:+4", 4, "X"}, ParseCase{"X 100:-0", 0, "X"},
        ParseCase{"X  100:1", 1, "X"},  // "%d" skips the second blank
        ParseCase{"X 100", 0, "X"},     // no colon: empty pattern field reads as 0
        ParseCase{"X 100:", 0, "X"},    // nothing after the colon: likewise 0
        ParseCase{"X100", -3, kNoSpace},
        ParseCase{"X 100:99999999999", -2, kParam},  // saturates, never wraps into range
        ParseCase{"X 4294967396:1", -4, kVersion},   // likewise for the version
        ParseCase{"A B 100:1", -4, kVersion}));      // the version is read after the first space

TEST(ParseNegotiation, LineWithoutNulEndsAtTheBufferEnd) {
  char buf[kLineBufferSize];
  std::memset(buf, 'A', sizeof buf);
  std::memcpy(buf, "X 100:4", 7);
  // The line is cut at byte 63; "4AAA..." reads as pattern 4.
  EXPECT_EQ(ParseNegotiation(buf), 4);
  EXPECT_STREQ(buf, "X");
}

TEST(ParseNegotiation, OverlongFieldStaysInsideTheBuffer) {
  char guard[kLineBufferSize + 16];
  std::memset(guard, 'G', sizeof guard);
  char* buf = guard;
  std::memset(buf, 'Q', kLineBufferSize);  // no NUL, no colon, no space
  EXPECT_EQ(ParseNegotiation(buf), -3);
  for (int i = kLineBufferSize; i < static_cast<int>(sizeof guard); ++i) ASSERT_EQ(guard[i], 'G');
}

TEST(ParseNegotiation, ReentrantAcrossBuffers) {
  char a[kLineBufferSize] = "A 100:1";
  char b[kLineBufferSize] = "B 100:2";
  EXPECT_EQ(ParseNegotiation(a), 1);
  EXPECT_EQ(ParseNegotiation(b), 2);
  EXPECT_STREQ(a, "A");
  EXPECT_STREQ(b, "B");
}

TEST(BuildNegotiation, LineAndLength) {
  char buf[kLineBufferSize];
  EXPECT_EQ(BuildNegotiation(buf, 7), 29);  // 30 bytes on the wire with the NUL
  EXPECT_STREQ(buf, "QUARVENTOLIS-PIPEGAUGER 100:7");
  EXPECT_EQ(BuildNegotiation(buf, 10), 30);
  EXPECT_EQ(ParseNegotiation(buf), 10);
  EXPECT_STREQ(buf, kIdentifier);
}

TEST(LengthWord, LittleEndianWhateverTheHost) {
  char b[4];
  PutLengthWord(b, 2048);
  EXPECT_EQ(std::string(b, 4), std::string("\x00\x08\x00\x00", 4));
  PutLengthWord(b, kEndMarker);
  EXPECT_EQ(std::string(b, 4), std::string("\xFF\xFF\xFF\xFF", 4));
  EXPECT_EQ(GetLengthWord(b), -1);
  PutLengthWord(b, 65536);
  EXPECT_EQ(GetLengthWord(b), 65536);
}

TEST(TransferBuffer, ByteIIsIMod256) {
  static char buf[kTransferBufferSize + 1];
  std::memset(buf, 0x5A, sizeof buf);
  FillTransferBuffer(buf);
  int wrong = 0;
  for (int i = 0; i < kTransferBufferSize; ++i)
    wrong += static_cast<unsigned char>(buf[i]) != i % 256;
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(buf[kTransferBufferSize], 0x5A);  // and nothing past its end
}

TEST(TransferBuffer, PartialFillTouchesOnlyItsBytes) {
  static char buf[kTransferBufferSize + 1];
  for (const int bytes : {0, 1, 4, 255, 256, 257, 513, 8188, 65535, 65536}) {
    std::memset(buf, 0x5A, sizeof buf);
    FillTransferBuffer(buf, bytes);
    int wrong = 0;
    for (int i = 0; i <= kTransferBufferSize; ++i)
      wrong += static_cast<unsigned char>(buf[i]) != (i < bytes ? i % 256 : 0x5A);
    EXPECT_EQ(wrong, 0) << bytes;
  }
}

TEST(Rand15, MatchesTheClassicGenerator) {
  Rand15 r(1);
  // The first values of the classic 15-bit generator seeded with 1.
  EXPECT_EQ(r.Next(), 41);
  EXPECT_EQ(r.Next(), 18467);
  EXPECT_EQ(r.Next(), 6334);
  for (int i = 0; i < 100000; ++i) {
    const int v = r.Next();
    ASSERT_GE(v, 0);
    ASSERT_LE(v, 32767);
  }
}

TEST(PatternTables, ServerSide) {
  struct Row {
    int chunkMinTcp, chunkMaxTcp, chunkMinUdp, chunkMaxUdp, dTcp, dUdp, fTcp, fUdp;
  };
  const Row rows[kPatternCount] = {
      {4096, 4096, 4096, 4096, 0, 1, 100, 100},   {2048, 2048, 2048, 2048, 0, 1, 200, 200},
      {1024, 1024, 1024, 1024, 0, 1, 300, 300},   {1024, 3072, 1024, 3072, 8, 1, 200, 120},
      {512, 1536, 512, 1536, 4, 1, 200, 120},     {4, 64, 4, 64, 1, 1, 120, 120},
      {64, 4096, 64, 4096, 1, 1, 120, 120},       {8192, 8192, 8192, 8192, 1, 1, 80, 80},
      {16384, 16384, 16384, 16384, 1, 1, 50, 50}, {32768, 32768, 32768, 32768, 1, 1, 30, 30},
      {65536, 65536, 65504, 65504, 1, 1, 10, 10}};
  for (int p = 0; p < kPatternCount; ++p) {
    const Row& r = rows[p];
    const ServerPattern& t = ServerPatternFor(p, kTcp);
    const ServerPattern& u = ServerPatternFor(p, kUdp);
    EXPECT_EQ(t.chunk.Min(), r.chunkMinTcp) << p;
    EXPECT_EQ(t.chunk.Max(), r.chunkMaxTcp) << p;
    EXPECT_EQ(u.chunk.Min(), r.chunkMinUdp) << p;
    EXPECT_EQ(u.chunk.Max(), r.chunkMaxUdp) << p;
    EXPECT_EQ(t.interval, r.dTcp) << p;
    EXPECT_EQ(u.interval, r.dUdp) << p;
    EXPECT_EQ(t.progressStep, r.fTcp) << p;
    EXPECT_EQ(u.progressStep, r.fUdp) << p;
    EXPECT_EQ(t.chunk.Random(), p >= 3 && p <= 6) << p;
  }
}

TEST(PatternTables, ClientIntervalsEqualServerIntervals) {
  for (int p = 0; p < kPatternCount; ++p)
    for (int proto : {kTcp, kUdp})
      EXPECT_EQ(ClientPatternFor(p, proto).interval, ServerPatternFor(p, proto).interval) << p;
}

TEST(PatternTables, ClientRequestSizes) {
  EXPECT_EQ(ClientPatternFor(0, kUdp).request.Max(), 4);
  EXPECT_EQ(ClientPatternFor(3, kTcp).request.Min(), 256);
  EXPECT_EQ(ClientPatternFor(3, kTcp).request.Max(), 512);
  EXPECT_EQ(ClientPatternFor(4, kTcp).request.Min(), 192);
  EXPECT_EQ(ClientPatternFor(4, kTcp).request.Max(), 320);
  EXPECT_EQ(ClientPatternFor(5, kTcp).request.Min(), 4);
  EXPECT_EQ(ClientPatternFor(5, kTcp).request.Max(), 64);
  EXPECT_EQ(ClientPatternFor(6, kTcp).request.Min(), 64);
  EXPECT_EQ(ClientPatternFor(6, kTcp).request.Max(), 4096);
  EXPECT_EQ(ClientPatternFor(10, kTcp).request.Max(), 65536);
  EXPECT_EQ(ClientPatternFor(10, kUdp).request.Max(), 65504);
  Rand15 rng(7);
  for (int i = 0; i < 10000; ++i) {
    const int g = ClientPatternFor(3, kTcp).request.Draw(rng);
    ASSERT_GE(g, 256);
    ASSERT_LE(g, 512);
  }
}

TEST(NegotiationErrorText, WireBytes) {
  EXPECT_EQ(
      std::string(NegotiationErrorText(-1)),
      std::string("\xC8\xBA\xDE\xBC\xB4\xB0\xBC\xAE\xDD\x20\xCC\xAB\xB0\xCF\xAF\xC4\xB4\xD7\xB0"));
  EXPECT_EQ(Cp932ToUtf8(NegotiationErrorText(-2)), kParam);
  EXPECT_EQ(Cp932ToUtf8(NegotiationErrorText(-3)), kNoSpace);
  EXPECT_EQ(Cp932ToUtf8(NegotiationErrorText(-4)), kVersion);
}

}  // namespace
}  // namespace quarvent
