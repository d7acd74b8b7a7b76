#pragma once
#include <cstddef>
#include <cstdint>

// The bytes added up, at several bytes a step: exact in the low 16 bits,
// which are the image checksum the device and the form compare; the higher
// bits mean nothing.
uint32_t SumBytes(const uint8_t* data, std::size_t count);
