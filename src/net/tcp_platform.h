// The platform half of tcp_client.h: what each socket backend provides for the
// shared connect logic in tcp_client.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/tcp_client.h"

namespace zefo::detail {

// Waits at most `milliseconds` for the socket to become readable (data, close or error).
bool PlatformWaitReadable(uintptr_t socket, uint32_t milliseconds);

// Reads `host` as a literal IPv4 or IPv6 address, without a lookup; false when it
// is not one.
bool PlatformNumericEndpoint(const std::string& host, uint16_t port, Endpoint& endpoint);

// Every stream address of `host`, both families, in the system's order; empty when
// the lookup fails. Blocks for as long as the system's resolver takes.
std::vector<Endpoint> PlatformLookUp(const std::string& host, uint16_t port);

enum class AttemptState { Pending, Connected, Failed };

// Opens a non-blocking socket of the endpoint's family in `connection` and starts
// connecting it.
AttemptState PlatformStartConnect(const Endpoint& endpoint, ConnectionPtr& connection);

// Waits at most `milliseconds` until one of the pending attempts connects or fails;
// `states` receives the state of each afterwards.
void PlatformWaitConnects(const std::vector<ServerConnection*>& attempts,
                          uint32_t milliseconds,
                          std::vector<AttemptState>& states);

// Puts a connected socket back into blocking mode; false on failure.
bool PlatformMakeBlocking(ServerConnection& connection);

}  // namespace zefo::detail
