// Fixed-width basic types of the terminal platform's shared type namespace.
#ifndef KT_KTTYPES_H
#define KT_KTTYPES_H

#include <cstdint>

namespace KT {
typedef int32_t int32;
typedef uint8_t uint8;
typedef uint32_t uint32;
typedef int16_t int16;
typedef uint16_t uint16;
}  // namespace KT

#endif
