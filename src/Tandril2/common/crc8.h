// CRC-8 of the serial frames: the 1-Wire CRC (polynomial 0x31 reflected, initial
// value 0, no final XOR). Check value over "123456789": 0xA1.
#pragma once

#include <cstddef>
#include <cstdint>

// The running CRC after one more byte.
uint8_t crc8_update(uint8_t crc, uint8_t byte);
// CRC of a block, starting from 0.
uint8_t crc8_create(const uint8_t* data, size_t n);
// True when the CRC of the block equals `crc`.
bool crc8_check(const uint8_t* data, size_t n, uint8_t crc);
