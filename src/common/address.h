#pragma once
// An IPv4 or IPv6 address as flows and exporters carry it: the bytes in network order, IPv4 in
// the first four. Text is inet_ntop's, which follows RFC 5952 for IPv6.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

struct NetAddress {
    uint8_t family;  // AF_INET or AF_INET6; 0 (no address) renders as IPv4 0.0.0.0
    uint8_t bytes[16];
};

// Room for the longest text, its terminator included.
constexpr size_t kAddressTextSize = INET6_ADDRSTRLEN;

NetAddress Ipv4Address(uint32_t network_order);
// The sender of a datagram; an IPv4 sender on an IPv6 socket (::ffff:a.b.c.d) is IPv4.
NetAddress SenderAddress(const sockaddr* from);
// The sender's UDP port, in host order.
uint16_t SenderPort(const sockaddr* from);
bool SameAddress(const NetAddress& a, const NetAddress& b);
struct AddressText {
    char text[kAddressTextSize];
};
AddressText RenderAddress(const NetAddress& address);
