#include "support/Console.h"

#include <cstdio>
#include <mutex>

namespace xr9 {

void consoleLine(const std::string& text) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace xr9
