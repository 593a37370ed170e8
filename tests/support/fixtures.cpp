#include "fixtures.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace testsupport {

StartupOptions UseSwitches(std::vector<std::string> switches) {
    switches.insert(switches.begin(), "nf5d");
    std::vector<char*> argv;
    for (std::string& word : switches) argv.push_back(word.data());
    argv.push_back(nullptr);
    StartupOptions options{};
    ReadSettings(static_cast<int>(switches.size()), argv.data(), &options);
    return options;
}

unsigned UseTestMySQLPort() {
    const char* port = std::getenv("NF5D_MARIADB_PORT");
    setenv("MYSQL_TCP_PORT", port != nullptr ? port : "3306", 1);
    return port != nullptr ? static_cast<unsigned>(std::atoi(port)) : 3306;
}

NetAddress Address(const char* text) {
    NetAddress address{};
    address.family = std::strchr(text, ':') != nullptr ? AF_INET6 : AF_INET;
    inet_pton(address.family, text, address.bytes);
    return address;
}

FlowItem ExampleFlow() {
    FlowItem item{};
    item.origin_ip = Address("192.0.2.1");
    item.time_received = 1796477366;  // Sat Dec  5 13:29:26 2026
    item.version = 5;
    item.sequence = 1234;
    item.src_ip = Address("198.51.100.7");
    item.src_port = 443;
    item.dst_ip = Address("203.0.113.9");
    item.dst_port = 514;
    item.next_hop = Address("0.0.0.0");
    item.protocol = 6;
    item.tcp_flags = 0x1b;
    item.tos = 0;
    item.bytes = 5120;
    item.packets = 12;
    item.flow_begin = 1796477341;
    item.flow_end = 1796477360;
    item.src_as = 64512;
    item.dst_as = 65001;
    item.src_mask = 24;
    item.dst_mask = 16;
    return item;
}

}  // namespace testsupport
