#pragma once
// Datagram decoding: NetFlow v5 here, v9 and IPFIX (parser/v9ipfix.h) when --netflow takes them;
// flows to the storage queue, rejects to the trash log.
#include <sys/socket.h>

#include <cstdint>

// packet holds packetsize bytes, from the sockaddr_in or sockaddr_in6 of the sender; both stay the
// caller's. A datagram is either queued whole, one FlowItem per record, or not at all (malformed,
// or refused by the storage queue's bound).
// Safe to call from several threads at once.
void NetFlowPacketParser(const char* packet, const sockaddr* from, int packetsize);

// The sequence number and flow count of a datagram that NetFlowPacketParser would accept, read
// from its header alone; false for one it would reject.
bool PeekNetFlowHeader(const char* packet, int packetsize, uint32_t* sequence, uint16_t* count);
