/// \file
/// The host's data-exchange singleton: host variables addressed by
/// (group, index). This is a stand-in with the host's interface; on the
/// terminal the host's own implementation replaces libktdei.
#ifndef KT_KTDEI_H
#define KT_KTDEI_H

#include <functional>
#include <string>

namespace KT {

/// One value handed to a host variable, as the stand-in records it.
struct KTDEIValue {
    bool isText = false;  ///< text holds the value; otherwise number does
    int number = 0;       ///< the value of the int form
    std::string text;     ///< the value of the text form
};

/// The data-exchange singleton. All operations are thread-safe. A handler
/// runs on the caller's thread with no stand-in lock held, so it may call
/// back into the singleton.
class __attribute__((visibility("default"))) KTDEI {
public:
    /// Services a variable: its answer is setVariableValue's result.
    typedef std::function<int(unsigned short group, unsigned short index, const KTDEIValue& value)> Handler;

    /// The one object; never null.
    static KTDEI* instance();

    /// Sets variable (group, index) to value. The stand-in records it as the
    /// variable's last value and returns the handler's answer, 0 without one.
    /// 0 and 25 mean "accepted"; every other value is a refusal whose meaning
    /// belongs to the handler. notify and persist are the host's.
    int setVariableValue(unsigned short group, unsigned short index, int value, bool notify, bool persist);
    /// The same with a text value.
    int setVariableValue(unsigned short group, unsigned short index, const std::string& value, bool notify,
                         bool persist);

    /// Stand-in only: installs the handler that services the variables; an
    /// empty handler restores the default answer 0.
    void setHandler(Handler handler);
    /// Stand-in only: the last value set for (group, index); false when none.
    bool lastValue(unsigned short group, unsigned short index, KTDEIValue* value);
    /// Stand-in only: how many setVariableValue calls were made since reset().
    unsigned long callCount();
    /// Stand-in only: forgets every value, the call count and the handler.
    void reset();

private:
    KTDEI() = default;
    int record(unsigned short group, unsigned short index, const KTDEIValue& value);
};

}  // namespace KT

#endif
