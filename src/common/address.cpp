#include "common/address.h"

#include <arpa/inet.h>

#include <cstring>

NetAddress Ipv4Address(uint32_t network_order) {
    NetAddress address{};
    address.family = AF_INET;
    std::memcpy(address.bytes, &network_order, sizeof network_order);
    return address;
}

NetAddress SenderAddress(const sockaddr* from) {
    if (from->sa_family != AF_INET6) {
        sockaddr_in v4;
        std::memcpy(&v4, from, sizeof v4);
        return Ipv4Address(v4.sin_addr.s_addr);
    }
    sockaddr_in6 v6;
    std::memcpy(&v6, from, sizeof v6);
    NetAddress address{};
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        address.family = AF_INET;
        std::memcpy(address.bytes, v6.sin6_addr.s6_addr + 12, 4);
    } else {
        address.family = AF_INET6;
        std::memcpy(address.bytes, v6.sin6_addr.s6_addr, 16);
    }
    return address;
}

// sin_port and sin6_port share their place and byte order.
uint16_t SenderPort(const sockaddr* from) {
    sockaddr_in v4;
    std::memcpy(&v4, from, sizeof v4);
    return ntohs(v4.sin_port);
}

bool SameAddress(const NetAddress& a, const NetAddress& b) {
    return a.family == b.family && std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

AddressText RenderAddress(const NetAddress& address) {
    AddressText text;
    const int family = address.family == AF_INET6 ? AF_INET6 : AF_INET;
    if (inet_ntop(family, address.bytes, text.text, sizeof text.text) == nullptr)
        text.text[0] = '\0';
    return text;
}
