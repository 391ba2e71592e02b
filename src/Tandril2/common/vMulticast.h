// UDP multicast endpoint on one interface: a receiver bound to the group's port
// (address reuse off, so a second receiver on the same port fails: the local
// discovery relies on that to tell taken slots), or a sender.
#pragma once

#include <cstddef>
#include <cstdint>

struct vMulticast;

// `netInterface` and `group` are IPv4 addresses in network byte order (interface 0
// means 127.0.0.1); `port` in host order; `sender` true for a sending endpoint.
// Returns null on any failure (the receiver's port already taken included).
vMulticast* vMulticast_Create(uint32_t netInterface, uint32_t group, uint16_t port, bool sender);
// Sends one datagram to the group. Byte count, -1 on failure, -2 null endpoint,
// -3 not a sender.
int vMulticast_Send(vMulticast* endpoint, const uint8_t* data, size_t length);
// Receives one datagram of up to `size` bytes (1 s time-out). Byte count, -1 on
// failure or time-out, -2 null endpoint, -3 not a receiver.
int vMulticast_Receive(vMulticast* endpoint, uint8_t* buffer, size_t size);
// Closes and frees; nulls *endpoint. 0, or -2 for a null endpoint.
int vMulticast_Destroy(vMulticast** endpoint);
