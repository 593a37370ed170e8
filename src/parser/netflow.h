#pragma once
// NetFlow v5 datagram decoding: flows to the storage queue, rejects to the trash log.
#include <sys/socket.h>

// packet holds packetsize bytes, from the IPv4 sockaddr_in of the sender; both stay the
// caller's. A datagram is either queued whole, one FlowItem per record, or not at all (malformed,
// or refused by the storage queue's bound).
// Safe to call from several threads at once.
void NetFlowPacketParser(const char* packet, const sockaddr* from, int packetsize);
