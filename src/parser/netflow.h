#pragma once
// NetFlow v5 datagram decoding: flows to the storage queue, rejects to the trash log.
#include <sys/socket.h>

void NetFlowPacketParser(const char* packet, const sockaddr* from, int packetsize);
