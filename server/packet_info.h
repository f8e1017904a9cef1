// Where a datagram was sent: the listener asks the system to say so with
// every datagram, so that the answer can leave from that same address (a
// host with several addresses would otherwise answer from the one its
// routing picks, and the client would drop the answer).
#pragma once

#include <sys/socket.h>

namespace quarvent {

// Asks for the destination of every datagram on sock, a socket of family.
void EnablePacketInfo(int sock, int family);

// The destination address of the datagram that msg received into *to, with
// port; false (and *to untouched) when msg says nothing usable: no packet
// information, or a multicast or broadcast destination, which is no address
// to answer from.
bool DestinationOf(msghdr& msg, int port, sockaddr_storage* to);

// Waits for the next datagram on sock and reads its destination without
// taking it. False when none came (the socket was shut down) or it says
// nothing usable.
bool PeekDestination(int sock, int port, sockaddr_storage* to);

// Whether the system's routing picks local as the source of a datagram to
// peer anyway: then an answer needs no packet information to leave from it.
// Checked with a socket of its own, connected to peer; false when that fails.
bool RoutedFrom(const sockaddr_storage& peer, const sockaddr_storage& local);

}  // namespace quarvent
