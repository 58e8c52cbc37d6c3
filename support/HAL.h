/// \file
/// Copy of a data buffer, plain or with the bytes of every 32-bit word
/// reversed, as the process-wide conversion switch says (on at load). For the
/// host; no transport calls it. No lock: the host sets the switch before data
/// flows.
///
/// Buffers: source and destination each hold at least GetBufferSize(length)
/// bytes and do not overlap. A trailing part of 1 to 3 bytes is handled in
/// the rounded buffer: 3 bytes are reversed as a whole word with the byte
/// after them, 1 or 2 bytes swap as a pair (1 with the byte after it).
#ifndef XR9AL_HAL_H
#define XR9AL_HAL_H

#include <string>

#include "KTTypes.h"
#include "support/Xr9AlExport.h"

/// The byte-conversion helper; static members only.
class XR9AL_EXPORT HAL {
public:
    /// Keeps a copy of model and turns conversion off, whatever the text. 0.
    static KT::int32 SetTerminalModel(std::string model);
    static KT::int32 SetConversionRequiredFlag();    ///< on; 0
    static KT::int32 ClearConversionRequiredFlag();  ///< off; 0
    /// size rounded up to a multiple of 4, in 32-bit arithmetic (sizes within
    /// 3 of the largest value wrap to 0).
    static unsigned int GetBufferSize(unsigned int size);
    /// -1 when either pointer is null (nothing touched); otherwise 0 after the
    /// word conversion (switch on) or a plain copy (switch off).
    static KT::int32 HALConversion(unsigned char* source, unsigned char* destination, unsigned int length);
    /// -1 for a null pointer; otherwise 0 after the word conversion.
    static KT::int32 HALForceConversion(unsigned char* source, unsigned char* destination, unsigned int length);

    static std::string terminalModel;  ///< the text of the last SetTerminalModel
    static bool conversionRequired;    ///< the conversion switch
};

#endif
