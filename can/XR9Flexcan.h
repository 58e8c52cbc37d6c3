// The bit-rate service of the terminal's FlexCAN controllers (see
// XR9CANInterface for the contract shared by every implementation).
//
// setBaudrateInternal(channel, rate):
//   - rate below 10390 is raised to 10390; 10,000,000 and above (too long for
//     the 7-character attribute): -1, before any command runs or file is touched;
//   - channel outside 1..4: -1, nothing done, the remembered file kept;
//   - current rate unreadable: -1 and "ifconfig canN up" only;
//   - current rate within 1.5 % of the value read: 0 and "ifconfig canN up" only;
//   - otherwise "ifconfig canN down", the rate's decimal digits written (no
//     line end), the file read back, "ifconfig canN up". The result is that
//     of the read-back (0 when the file could be read, whether it matches or
//     not), or -1 when the write failed. A file that cannot be opened for the
//     write is skipped: the read-back decides.
// Commands run through the shell (system); their results are not looked at.
// Files are opened read-write, also for reading; at most 7 characters are read.
#ifndef XR9FLEXCAN_H
#define XR9FLEXCAN_H

#include <string>

#include "can/XR9CANInterface.h"

class XR9AL_EXPORT XR9Flexcan : public XR9CANInterface {
public:
    static constexpr unsigned int kLowestRate = 10390;       // bit/s
    static constexpr unsigned int kFirstTooHighRate = 10000000;  // 8 digits: does not fit
    static constexpr unsigned int kLargestKbitRate = 1000;   // at or below: kbit/s

    XR9Flexcan();
    ~XR9Flexcan() override;

    int setBaudrate(unsigned int channel, unsigned int rate) override;
    int readBaudrateInternal(unsigned int rate, bool* matches) override;
    int setBaudrateInternal(unsigned int channel, unsigned int rate) override;

protected:
    // Attribute file of the channel last given to setBaudrateInternal;
    // "undefined" (relative to the working directory) until then.
    std::string m_BitrateFile;
};

#endif
