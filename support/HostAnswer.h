// The host's data-exchange service (KT::KTDEI::setVariableValue) answers 0
// or 25 when it took the value; any other answer is a refusal, which the
// caller passes on as it came.
#ifndef XR9AL_HOSTANSWER_H
#define XR9AL_HOSTANSWER_H

namespace xr9 {

constexpr bool hostAccepted(int status) {
    return status == 0 || status == 25;
}

}  // namespace xr9

#endif
