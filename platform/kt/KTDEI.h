// The host's data-exchange singleton: host variables addressed by
// (group, index). This is a stand-in with the host's interface; on the
// terminal the host's own implementation replaces libktdei.
//
// Contract of the stand-in:
//  - instance() never returns null and always returns the same object.
//  - setVariableValue records the value as the last value of (group, index)
//    and returns the installed handler's answer, or 0 without a handler.
//    0 and 25 mean "accepted"; every other value is a refusal whose meaning
//    belongs to the handler.
//  - All operations are thread-safe. A handler runs on the caller's thread
//    with no stand-in lock held, so it may call back into the singleton.
#ifndef KT_KTDEI_H
#define KT_KTDEI_H

#include <functional>
#include <string>

namespace KT {

struct KTDEIValue {
    bool isText = false;
    int number = 0;
    std::string text;
};

class __attribute__((visibility("default"))) KTDEI {
public:
    typedef std::function<int(unsigned short group, unsigned short index, const KTDEIValue& value)> Handler;

    static KTDEI* instance();

    int setVariableValue(unsigned short group, unsigned short index, int value, bool notify, bool persist);
    int setVariableValue(unsigned short group, unsigned short index, const std::string& value, bool notify,
                         bool persist);

    // Stand-in only: installs the handler that services the variables; an
    // empty handler restores the default answer 0.
    void setHandler(Handler handler);
    // Stand-in only: the last value set for (group, index); false when none.
    bool lastValue(unsigned short group, unsigned short index, KTDEIValue* value);
    // Stand-in only: how many setVariableValue calls were made since reset().
    unsigned long callCount();
    // Stand-in only: forgets every value, the call count and the handler.
    void reset();

private:
    KTDEI() = default;
    int record(unsigned short group, unsigned short index, const KTDEIValue& value);
};

}  // namespace KT

#endif
