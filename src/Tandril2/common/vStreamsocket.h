// TCP socket stream: a non-blocking connection that reconnects by itself when the
// peer resets it, and reports an orderly close by the peer as a lost connection.
#pragma once

#include <cstdint>

#include "Tandril2/common/vStream.h"

// Connects at once to `address` (IPv4, network byte order) and `port` (host order).
// vErrParam (null out pointer), vErrMemory, vErrResource (connection or options failed).
vErr vStream_CreateSocket(uint32_t address, uint16_t port, vStream** stream);
