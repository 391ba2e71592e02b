// Serial port streams on termios: raw mode, reads that never block.
#pragma once

#include <cstdint>

#include "Tandril2/common/vStream.h"

// Baud rates by speed index 0..7. A rate outside the table has no index.
constexpr uint32_t kSerialBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
constexpr uint32_t kSerialSpeedCount = sizeof(kSerialBaudRates) / sizeof(kSerialBaudRates[0]);
// The index of a baud rate, or -1 for a rate outside the table.
int vSerial_SpeedIndex(uint32_t baudRate);

// Opens `portName` in raw mode at kSerialBaudRates[speedIndex]. `parity` set = even
// parity; dataBits 0 = eight, 1 = seven; stopBits 0 = one, 1 = two. The port's own
// settings come back when the stream is destroyed. A write returns once the line has
// taken every byte; a line that takes none for 2 s gives vErrTimeout.
// vErrParam (null arguments, speed index above 7, a selector above 1), vErrResource,
// vErrNotFound (no such port), vErrPermission, vErrIO.
vErr vStream_CreateSerial(const char* portName, uint32_t speedIndex, uint8_t parity, uint8_t dataBits,
                          uint8_t stopBits, vStream** stream);
// The same port wrapped in a COBS-framed stream (packets with CRC-8).
vErr vStream_CreateSerial_Packetized(const char* portName, uint32_t speedIndex, uint8_t parity,
                                     uint8_t dataBits, uint8_t stopBits, vStream** stream);
