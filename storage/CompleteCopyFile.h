#pragma once

#include <cstddef>
#include <cstdint>

// Safety margin kept free in every drop box.
extern const std::uint64_t eps;

// The drop box directory of the current placement cycle, and the full path of
// its command file.
extern char DynMountPoint[1024];
extern char targetFilePath[1024];

// The number of the chunk being written ("FileChunk" + number).
extern unsigned int nFileChunkIndex;

// Placement states of an entry (the low six bits of its placeState); the bits
// above hold the number of the next chunk.
constexpr std::uint16_t PLACE_NOT_PLACED = 0;
constexpr std::uint16_t PLACE_PLACED = 1;
constexpr std::uint16_t PLACE_IN_CHUNKS = 2;
constexpr std::uint16_t PLACE_STATE_BITS = 0x3F;
constexpr unsigned PLACE_CHUNK_SHIFT = 6;
