// A scripted measurement server on 127.0.0.1 for the client tests: each
// accepted TCP connection (or the UDP session) runs a script on the server's
// thread. Every socket has a receive timeout, so nothing here waits forever.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/socket.h"

namespace quarvent::testing {

struct Request {
  uint32_t chunkIndex;  // number of chunks sent before it
  int32_t size;         // its length word
  int datagram;         // UDP: size of the datagram that carried it
};

// One session as the server saw it.
class Conn {
 public:
  Conn(int fd, int protocol) : m_fd(fd), m_protocol(protocol) {}

  // Reads the negotiation line (TCP: up to the NUL; UDP: one datagram) and
  // parses its pattern. False when nothing arrived.
  bool ReadLine();
  // Sends text and its NUL as the reply.
  void Reply(const std::string& text);
  // The accepted reply.
  void Accept() { Reply("QUARVENTOLIS-PIPEGAUGER"); }
  // Sends one message of size bytes whose length word is lengthWord.
  bool SendChunk(int32_t lengthWord, int size);
  // Serves chunks of the negotiated pattern the way the server does, waiting
  // for requests where the pattern says, until the end marker or a failure.
  // Over TCP without requests, whatever the client sends is collected.
  void ServeNormally(uint32_t firstIndex = 0);
  // Reads (and drops) until the client closes or the end marker arrives.
  void ReadUntilEnd();
  // Keeps the connection open, reading nothing, for ms milliseconds.
  void Hold(int ms);

  int Fd() const { return m_fd; }

  std::string m_strLine;  // the negotiation line received
  int m_nPattern = -1;    // its pattern
  std::vector<Request> m_vRequests;
  uint32_t m_nChunks = 0;      // chunks sent
  bool m_bEndMarker = false;   // FF FF FF FF received as a request
  std::string m_strCollected;  // TCP without requests: bytes received after the line
  // ServeNormally: every chunk that answers a request is sent this long after
  // the request is in, and the monotonic clock (the client's, in
  // nanoseconds) is read when each request is in and when each chunk's send
  // begins.
  int m_nAnswerDelayMs = 0;
  // ServeNormally: every n-th request (the n-th, the 2n-th, ...) gets no
  // answer, as if it had been lost; 1 answers none. 0 answers all.
  int m_nDropEvery = 0;
  uint32_t m_nDropped = 0;
  // ServeNormally and ReadUntilEnd over UDP: a receive timeout does not end
  // the session; it waits on for the client's end marker (up to about a
  // minute). For runs that are known to end by themselves, whose client may
  // be held up for seconds on a loaded machine between two requests.
  bool m_bAwaitEnd = false;
  // ServeNormally: every n-th request (not dropped) is answered m_nLateMs
  // after it came in, later than the others.
  int m_nLateEvery = 0;
  int m_nLateMs = 0;
  uint32_t m_nLate = 0;
  std::vector<int64_t> m_vRequestInNs;
  std::vector<int64_t> m_vChunkSendNs;

 private:
  bool RecvExact(char* buf, int n);
  bool SendBytes(const char* buf, size_t n);

  int m_fd;
  int m_protocol;
  sockaddr_in m_peer{};
  bool m_bHavePeer = false;
  std::vector<char> m_buf = std::vector<char>(65536);
};

class ScriptServer {
 public:
  using Script = std::function<void(Conn&)>;
  // Serves `sessions` TCP connections one after another, or one UDP session.
  ScriptServer(int protocol, Script script, int sessions = 1);
  ~ScriptServer();
  int Port() const { return m_nPort; }
  // Waits for the server thread; then Sessions() may be read.
  void Join();
  const std::vector<Conn>& Sessions() const { return m_vSessions; }

 private:
  void Run(Script script, int sessions);

  int m_nProtocol;
  Socket m_sock;
  int m_nPort = 0;
  std::vector<Conn> m_vSessions;
  std::vector<Socket> m_vConnections;
  std::thread m_thread;
};

// A free port on which nothing listens (connect is refused).
int RefusingPort(Socket* holder);

}  // namespace quarvent::testing
