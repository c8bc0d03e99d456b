// The C++ bodies of 16-bit KERNEL's entry points, and how they read their Pascal argument lists
// (the last argument at offset 0).
#pragma once
#include <cstdint>
#include <cstring>

namespace sim {

inline uint16_t Arg16W(const uint8_t* args, unsigned offset)
{
    uint16_t v;
    std::memcpy(&v, args + offset, 2);
    return v;
}

inline uint32_t Arg16D(const uint8_t* args, unsigned offset)
{
    uint32_t v;
    std::memcpy(&v, args + offset, 4);
    return v;
}

uint32_t GlobalAlloc16(const uint8_t* args, void*);
uint32_t GlobalReAlloc16(const uint8_t* args, void*);
uint32_t GlobalFree16(const uint8_t* args, void*);
uint32_t GlobalLock16(const uint8_t* args, void*);
uint32_t AllocDStoCSAlias16(const uint8_t* args, void*);
uint32_t FreeSelector16(const uint8_t* args, void*);

}  // namespace sim
