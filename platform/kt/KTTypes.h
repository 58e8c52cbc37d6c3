/// \file
/// Fixed-width basic types of the terminal platform's shared type namespace.
#ifndef KT_KTTYPES_H
#define KT_KTTYPES_H

#include <cstdint>

/// The terminal platform's shared types.
namespace KT {
typedef int32_t int32;    ///< statuses and signed results
typedef uint8_t uint8;    ///< bytes
typedef uint32_t uint32;  ///< lengths, numbers and time-outs
typedef int16_t int16;    ///< signed 16-bit
typedef uint16_t uint16;  ///< unsigned 16-bit
}  // namespace KT

#endif
