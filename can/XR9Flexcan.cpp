#include "can/XR9Flexcan.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "vocabulary/XRErrorCodes.h"

namespace {

constexpr unsigned int kFirstChannel = 1;
constexpr unsigned int kLastChannel = 4;
constexpr size_t kRateTextMax = 7;  // characters of the attribute that are read
constexpr double kTolerance = 0.015;  // of the value read

std::string interfaceName(unsigned int channel) {
    return "can" + std::to_string(channel - kFirstChannel);
}

std::string bitrateFileOf(unsigned int channel) {
    return "/sys/class/net/" + interfaceName(channel) + "/can_bitrate";
}

// Best effort: the rate read back shows whether the state changed.
void runInterfaceCommand(unsigned int channel, const char* state) {
    const std::string command = "ifconfig " + interfaceName(channel) + " " + state;
    const int status = std::system(command.c_str());  // a bare cast does not silence warn_unused_result
    static_cast<void>(status);
}

bool withinTolerance(unsigned int current, unsigned int rate) {
    if (current == rate) return true;
    const double read = current;
    const double wanted = rate;
    return read - kTolerance * read < wanted && wanted < read + kTolerance * read;
}

// A descriptor of 0 counts as a failed open (the file is not used), but it is
// still ours to close.
int openAttribute(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd == 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

XR9Flexcan::XR9Flexcan() : m_BitrateFile("undefined") {}

XR9Flexcan::~XR9Flexcan() = default;

int XR9Flexcan::setBaudrate(unsigned int channel, unsigned int rate) {
    if (rate <= kLargestKbitRate) rate *= 1000;
    return setBaudrateInternal(channel, rate);
}

int XR9Flexcan::readBaudrateInternal(unsigned int rate, bool* matches) {
    if (matches) *matches = false;
    const int fd = openAttribute(m_BitrateFile);
    if (fd <= 0) return XR_FAILURE;
    char text[kRateTextMax + 1] = {};
    const ssize_t got = ::read(fd, text, kRateTextMax);
    ::close(fd);
    if (got == -1) return XR_FAILURE;
    const unsigned int current = static_cast<unsigned int>(std::strtol(text, nullptr, 10));
    if (matches && withinTolerance(current, rate)) *matches = true;
    return XR_SUCCESS;
}

int XR9Flexcan::setBaudrateInternal(unsigned int channel, unsigned int rate) {
    if (rate < kLowestRate) rate = kLowestRate;
    if (rate >= kFirstTooHighRate) return XR_FAILURE;
    if (channel < kFirstChannel || channel > kLastChannel) return XR_FAILURE;
    m_BitrateFile = bitrateFileOf(channel);

    bool matches = false;
    int result = readBaudrateInternal(rate, &matches);
    if (result == 0 && !matches) {
        runInterfaceCommand(channel, "down");
        bool written = true;
        const int fd = openAttribute(m_BitrateFile);
        if (fd > 0) {
            char digits[16];
            const int length = std::snprintf(digits, sizeof digits, "%u", rate);
            written = ::write(fd, digits, static_cast<size_t>(length)) != -1;
            ::close(fd);
        }
        result = written ? readBaudrateInternal(rate, &matches) : XR_FAILURE;
    }
    runInterfaceCommand(channel, "up");
    return result;
}
