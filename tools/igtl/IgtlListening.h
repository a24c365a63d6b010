#pragma once
// The server's listening sockets and the names of its peers.

#include <sys/socket.h>

#include <string>

namespace Halvoren::Igtl {

/// "address:port" for people; an IPv4 client of a dual-stack socket as the IPv4 address it is.
std::string peerName(const sockaddr_storage& address);
/// Listens on every interface: IPv6 and IPv4 on one socket, IPv4 alone where the machine has no IPv6.
/// -1 with errno set otherwise; `listening` says where, for people.
int listenOnAll(int port, std::string& listening);
/// Listens on the address `host` names; -1 with the reason otherwise.
int listenOnHost(const std::string& host, const std::string& port, std::string& error);

}  // namespace Halvoren::Igtl
