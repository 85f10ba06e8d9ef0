// The plain one-table CRC-32, kept beside the fast one so tests can check it
// against an independent walk and benchmarks can show what the fast one buys.
// Production code calls image::crc32 only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace image::detail {

// Same contract as image::crc32: one 256-entry table, one byte per lookup.
uint32_t crc32_table_reference(uint32_t previous, const void* data, size_t count);

}  // namespace image::detail
