// Framing of TCP messages with one receive per message: RecvLengthWord and
// RecvBody over a scripted peer (the system-call table), which hands out the
// stream in the pieces a test chooses and counts the calls.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/protocol.h"
#include "common/sys_ops.h"
#include "common/transfer.h"

namespace quarvent {
namespace {

// The peer's stream, in the pieces that successive receives get (a receive
// asking for less leaves the piece's rest for the next one). An empty
// script is the peer's close; an error piece fails the call.
struct Script {
  std::deque<std::string> pieces;
  int error = 0;  // errno of a failing call once the pieces are used up; 0: close
  int calls = 0;
  int plain = 0;              // of them through recv rather than recvmsg
  std::vector<size_t> asked;  // bytes each call asked for
};
Script* g_script = nullptr;

ssize_t Take(const iovec* iov, size_t count) {
  Script& s = *g_script;
  ++s.calls;
  size_t room = 0;
  for (size_t i = 0; i < count; ++i) room += iov[i].iov_len;
  s.asked.push_back(room);
  if (s.pieces.empty()) {
    if (s.error == 0) return 0;
    errno = s.error;
    return -1;
  }
  std::string& piece = s.pieces.front();
  const size_t n = piece.size() < room ? piece.size() : room;
  size_t done = 0;
  for (size_t i = 0; i < count && done < n; ++i) {
    const size_t part = iov[i].iov_len < n - done ? iov[i].iov_len : n - done;
    std::memcpy(iov[i].iov_base, piece.data() + done, part);
    done += part;
  }
  piece.erase(0, n);
  if (piece.empty()) s.pieces.pop_front();
  return static_cast<ssize_t>(n);
}

ssize_t ScriptRecv(int, void* buf, size_t len, int) {
  ++g_script->plain;
  const iovec iov{buf, len};
  return Take(&iov, 1);
}
ssize_t ScriptRecvMsg(int, msghdr* msg, int) {
  return Take(msg->msg_iov, msg->msg_iovlen);
}

std::string Message(int32_t length, char fill) {
  std::string m(4, '\0');
  PutLengthWord(m.data(), length);
  return m + std::string(static_cast<size_t>(length - 4), fill);
}

struct Framing : ::testing::Test {
  Script script;
  sys::Ops ops = sys::RealOps();
  std::vector<char> buf = std::vector<char>(kTransferBufferSize, '.');
  Framing() {
    g_script = &script;
    ops.recv = ScriptRecv;
    ops.recvmsg = ScriptRecvMsg;
  }
  // One whole message through both routines; its length word, or -1 when
  // either failed. The body is checked to be fill, where rest says it lies.
  int32_t Next(StreamRest* rest, char fill) {
    char word[4];
    if (RecvLengthWord(3, word, buf.data(), rest) != 4) return -1;
    const int32_t length = GetLengthWord(word);
    if (RecvBody(3, buf.data(), length - 4, rest) != length - 4) return -1;
    const std::string body(buf.data() + rest->BodyOffset(), static_cast<size_t>(length - 4));
    EXPECT_EQ(body, std::string(static_cast<size_t>(length - 4), fill));
    return length;
  }
};

TEST_F(Framing, AReadWithTheStartOfTheNextMessageKeepsItForTheNext) {
  sys::ScopedOps inject(ops);
  const std::string second = Message(10, 'b');
  script.pieces = {Message(12, 'a') + second.substr(0, 6), second.substr(6)};
  StreamRest rest;
  EXPECT_EQ(Next(&rest, 'a'), 12);
  EXPECT_EQ(script.calls, 1);
  EXPECT_EQ(rest.Kept(), 6);
  // The second's word comes from the kept bytes; its body's start is moved to
  // the buffer's start and completed by one more receive.
  EXPECT_EQ(Next(&rest, 'b'), 10);
  EXPECT_EQ(rest.BodyOffset(), 0);
  EXPECT_EQ(script.calls, 2);
  EXPECT_EQ(rest.Kept(), 0);
  EXPECT_EQ(Next(&rest, 'c'), -1);  // then the close
}

TEST_F(Framing, MessagesTakenWholeAreFramedWithoutReceiving) {
  sys::ScopedOps inject(ops);
  std::string stream;
  for (int i = 0; i < 16; ++i) stream += Message(4096, static_cast<char>('a' + i));
  script.pieces = {stream};
  StreamRest rest;
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(Next(&rest, static_cast<char>('a' + i)), 4096);
    EXPECT_EQ(rest.BodyOffset(), i * 4096);  // the first body went to the start
  }
  EXPECT_EQ(script.calls, 1);
  EXPECT_EQ(rest.Kept(), 0);
}

TEST_F(Framing, AMessageArrivingOneByteAtATime) {
  sys::ScopedOps inject(ops);
  for (char c : Message(9, 'h') + Message(5, 'i')) script.pieces.emplace_back(1, c);
  StreamRest rest(8192);
  EXPECT_EQ(Next(&rest, 'h'), 9);
  EXPECT_EQ(Next(&rest, 'i'), 5);
  EXPECT_EQ(script.calls, 14);
  EXPECT_EQ(Next(&rest, 'j'), -1);
}

TEST_F(Framing, EachReceiveAsksForNoMoreThanTheLimitFromTheMessageStart) {
  struct Case {
    int limit;
    int32_t length;
    std::vector<size_t> firstPieces;  // how the message arrives
    std::vector<size_t> asked;        // what the receives ask for
  };
  const Case cases[] = {
      // Lock-step of a known size: one call takes the whole message.
      {8192, 8192, {8192}, {8192}},
      {65536, 65536, {65536}, {65536}},
      // Split by the network: the rest with one more call.
      {65536, 65536, {65483, 53}, {65536, 53}},
      // The smallest chunk as the limit: never into the next message.
      {512, 1536, {512, 1024}, {512, 1024}},
      {512, 512, {512}, {512}},
      // Partly in the word: the body's receive may still go to the limit.
      {64, 20, {2, 18}, {64, 62}},
      // Longer than the limit: the body's rest is asked for exactly.
      {4, 100, {4, 96}, {4, 96}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "limit " << c.limit << ", length " << c.length);
    script = Script{};
    sys::ScopedOps inject(ops);
    const std::string m = Message(c.length, 'm');
    size_t at = 0;
    for (size_t n : c.firstPieces) {
      script.pieces.push_back(m.substr(at, n));
      at += n;
    }
    script.pieces.push_back(Message(4, 'n'));  // the next message, never taken with this one
    StreamRest rest(c.limit);
    EXPECT_EQ(Next(&rest, 'm'), c.length);
    EXPECT_EQ(script.asked, c.asked);
    EXPECT_EQ(rest.Kept(), 0);
  }
}

TEST_F(Framing, CloseAndErrorEndTheMessageAsBefore) {
  struct Case {
    std::vector<std::string> pieces;
    int error;
    int word, body;  // results of RecvLengthWord and RecvBody (body skipped after a failed word)
    size_t notices;
  };
  const std::string m = Message(100, 'x');
  const Case cases[] = {
      {{}, 0, 0, 0, 0},                           // closed before the word
      {{m.substr(0, 3)}, 0, 0, 0, 0},             // closed within the word
      {{m.substr(0, 50)}, 0, 4, 0, 0},            // closed within the body
      {{}, ECONNRESET, -1, 0, 1},                 // reset before the word
      {{m.substr(0, 50)}, ECONNRESET, 4, -1, 1},  // reset within the body
  };
  for (const Case& c : cases) {
    struct Sink : RecvErrorSink {
      std::vector<std::string> notices;
      void NotifyRecvError(std::string_view text) override { notices.emplace_back(text); }
    } sink;
    ScopedRecvErrorSink sinkScope(&sink);
    script = Script{};
    script.pieces.assign(c.pieces.begin(), c.pieces.end());
    script.error = c.error;
    sys::ScopedOps inject(ops);
    StreamRest rest;
    char word[4];
    EXPECT_EQ(RecvLengthWord(3, word, buf.data(), &rest), c.word);
    if (c.word == 4) {
      EXPECT_EQ(RecvBody(3, buf.data(), 96, &rest), c.body);
    }
    ASSERT_EQ(sink.notices.size(), c.notices);
    if (c.notices) {
      EXPECT_EQ(sink.notices[0], "recv() Error : " + std::to_string(ECONNRESET));
    }
  }
}

TEST_F(Framing, ACountOfZeroOrLessTakesNothingAndTheLengthWordRoomStaysFree) {
  sys::ScopedOps inject(ops);
  script.pieces = {Message(4, 'e') + Message(8, 'f') + Message(6, 'g') + Message(7, 'h')};
  StreamRest rest;
  char word[4];
  ASSERT_EQ(RecvLengthWord(3, word, buf.data(), &rest), 4);
  EXPECT_EQ(RecvBody(3, buf.data(), 0, &rest), 0);
  EXPECT_EQ(RecvBody(3, buf.data(), -2, &rest), -2);
  // The owner writes the length word of what it sends between messages.
  PutLengthWord(buf.data(), 12345);
  EXPECT_EQ(Next(&rest, 'f'), 8);  // still in step
  PutLengthWord(buf.data(), 12345);
  EXPECT_EQ(Next(&rest, 'g'), 6);  // a body of 2 bytes: what follows lies behind the room
  PutLengthWord(buf.data(), 12345);
  EXPECT_EQ(Next(&rest, 'h'), 7);
  EXPECT_EQ(script.calls, 1);
}

TEST_F(Framing, ATableWithoutScatteredReceiveFallsBackToRecv) {
  ops.recvmsg = nullptr;
  sys::ScopedOps inject(ops);
  script.pieces = {Message(8, 'g') + Message(6, 'h')};
  StreamRest rest;
  EXPECT_EQ(Next(&rest, 'g'), 8);
  EXPECT_EQ(Next(&rest, 'h'), 6);
  EXPECT_EQ(script.asked.front(), 4u);  // the word alone, then the body
}

// With the word's room right before the buffer, the word and what follows
// it come with one plain receive; the framing is the same whatever pieces
// the stream arrives in, and the owner's length word in the buffer's first
// bytes between messages disturbs nothing.
TEST_F(Framing, WithTheWordRoomBeforeTheBufferEveryReceiveIsPlain) {
  const std::string stream = Message(12, 'a') + Message(10, 'b') + Message(9, 'c');
  struct Case {
    const char* what;
    std::vector<size_t> pieces;
    int calls;
  };
  std::vector<Case> cases = {
      {"all at once", {31}, 1},
      {"a message and the next one's start", {18, 4, 9}, 3},
      {"a word split", {2, 29}, 2},
      {"one byte at a time", std::vector<size_t>(31, 1), 31},
  };
  auto space = std::make_unique<TransferSpace>();
  char* const buffer = space->Buffer();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    script = Script{};
    size_t at = 0;
    for (size_t n : c.pieces) {
      script.pieces.push_back(stream.substr(at, n));
      at += n;
    }
    sys::ScopedOps inject(ops);
    StreamRest rest;
    for (const auto& [length, fill] : {std::pair{12, 'a'}, {10, 'b'}, {9, 'c'}}) {
      ASSERT_EQ(RecvLengthWord(3, space->WordRoom(), buffer, &rest), 4);
      ASSERT_EQ(GetLengthWord(space->WordRoom()), length);
      ASSERT_EQ(RecvBody(3, buffer, length - 4, &rest), length - 4);
      EXPECT_EQ(std::string(buffer + rest.BodyOffset(), static_cast<size_t>(length - 4)),
                std::string(static_cast<size_t>(length - 4), fill));
      PutLengthWord(buffer, 12345);
    }
    EXPECT_EQ(script.calls, c.calls);
    EXPECT_EQ(script.plain, c.calls);
    EXPECT_EQ(rest.Kept(), 0);
  }
}

}  // namespace
}  // namespace quarvent
