#include "support/GXSError.h"

std::string GXSError::ERROR_STRING;
bool GXSError::WAS_READ = false;

void GXSError::setErrorString(std::string text) {
    if (ERROR_STRING.empty()) {
        ERROR_STRING = std::move(text);
    } else if (WAS_READ) {
        WAS_READ = false;
        ERROR_STRING = std::move(text);
    }
}

std::string GXSError::getErrorString() {
    if (ERROR_STRING.empty()) return std::string();
    WAS_READ = true;
    return ERROR_STRING;
}
