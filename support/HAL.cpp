#include "support/HAL.h"

#include <cstring>

#include "vocabulary/XRErrorCodes.h"

std::string HAL::terminalModel;
bool HAL::conversionRequired = true;

KT::int32 HAL::SetTerminalModel(std::string model) {
    terminalModel = std::move(model);
    conversionRequired = false;
    return XR_SUCCESS;
}

KT::int32 HAL::SetConversionRequiredFlag() {
    conversionRequired = true;
    return XR_SUCCESS;
}

KT::int32 HAL::ClearConversionRequiredFlag() {
    conversionRequired = false;
    return XR_SUCCESS;
}

unsigned int HAL::GetBufferSize(unsigned int size) {
    return (size + 3u) & ~3u;
}

KT::int32 HAL::HALConversion(unsigned char* source, unsigned char* destination, unsigned int length) {
    if (conversionRequired) return HALForceConversion(source, destination, length);
    if (!source || !destination) return XR_FAILURE;
    std::memcpy(destination, source, length);
    return XR_SUCCESS;
}

KT::int32 HAL::HALForceConversion(unsigned char* source, unsigned char* destination, unsigned int length) {
    if (!source || !destination) return XR_FAILURE;
    for (unsigned int p = 0; p < length; p += 4) {
        if (length - p >= 3) {
            destination[p] = source[p + 3];
            destination[p + 1] = source[p + 2];
            destination[p + 2] = source[p + 1];
            destination[p + 3] = source[p];
        } else {
            destination[p] = source[p + 1];
            destination[p + 1] = source[p];
        }
    }
    return XR_SUCCESS;
}
