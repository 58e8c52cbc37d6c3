// Layouts of the records separately built hosts share with the library, pinned
// per target ABI: a record or ABI setting that moves fails the build. The
// terminal is arm-linux-gnueabihf with the C++11 string; the build machine x86-64.
#include <cstddef>
#include <limits>
#include <string>

#include "KTTypes.h"
#include "access/XR9AL.h"
#include "vocabulary/XRUpdateMessage.h"

#if __has_include("XR9ALEthernet/EthernetSettings.h")
#include "XR9ALEthernet/EthernetSettings.h"
#define XR9AL_LAYOUT_ETHERNET_SETTINGS 1
#endif
#if __has_include("XR9ALEthernet/XR9ALEthernet.h")
#include "XR9ALEthernet/XR9ALEthernet.h"
#define XR9AL_LAYOUT_ETHERNET_TRANSPORT 1
#endif
#if __has_include("can/CANPortSetting.h")
#include "can/CANPortSetting.h"
#define XR9AL_LAYOUT_CAN_PORT_SETTING 1
#endif

namespace {

// Same on every target: fixed-width fields only.
static_assert(sizeof(KT::int32) == 4 && sizeof(KT::uint32) == 4 && sizeof(KT::uint8) == 1, "KT widths");
static_assert(sizeof(XRUpdateMessage) == 256 && alignof(XRUpdateMessage) == 4, "XRUpdateMessage");

#ifdef XR9AL_LAYOUT_ETHERNET_SETTINGS
static_assert(sizeof(EthernetSettings) == 32 && alignof(EthernetSettings) == 4, "EthernetSettings");
static_assert(offsetof(EthernetSettings, clientMode) == 28, "EthernetSettings");
#endif

#ifdef XR9AL_LAYOUT_CAN_PORT_SETTING
// Six 32-bit fields: baudRate, canMode, commandId, commandLengthId, streamId, streamLengthId.
static_assert(sizeof(CANPortSetting) == 24 && alignof(CANPortSetting) == 4, "CANPortSetting");
static_assert(offsetof(CANPortSetting, canMode) == 4, "CANPortSetting");
static_assert(offsetof(CANPortSetting, commandId) == 8, "CANPortSetting");
static_assert(offsetof(CANPortSetting, commandLengthId) == 12, "CANPortSetting");
static_assert(offsetof(CANPortSetting, streamId) == 16, "CANPortSetting");
static_assert(offsetof(CANPortSetting, streamLengthId) == 20, "CANPortSetting");
static_assert(sizeof(enBaudRate) == 4 && sizeof(enCANMode) == 4, "CAN enumerations are 32-bit");
#endif

#if defined(__arm__)
// A host built soft-float, big-endian or with the old string would pass the
// records and the handle's table differently.
#if !defined(__ARM_EABI__) || !defined(__ARM_PCS_VFP)
#error "the terminal's ABI is EABI hard-float (arm-linux-gnueabihf)"
#endif
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the terminal is little-endian");
static_assert(_GLIBCXX_USE_CXX11_ABI == 1, "InterfaceSetting carries the C++11 std::string");
static_assert(sizeof(void*) == 4 && sizeof(long) == 4 && sizeof(std::size_t) == 4, "ILP32");
// Plain char is unsigned here, signed on x86-64: bytes must go through uint8_t.
static_assert(!std::numeric_limits<char>::is_signed, "plain char is unsigned on ARM");
static_assert(sizeof(std::string) == 24 && alignof(std::string) == 4, "std::string on armhf");
static_assert(sizeof(InterfaceSetting) == 32 && alignof(InterfaceSetting) == 4, "InterfaceSetting on armhf");
static_assert(offsetof(InterfaceSetting, device) == 8, "InterfaceSetting on armhf");
// 64-bit members align to 8 in records on ARM EABI (4 on i386); none of the
// shared records has one.
static_assert(alignof(long long) == 8 && alignof(double) == 8, "ARM EABI alignment");
#ifdef XR9AL_LAYOUT_ETHERNET_TRANSPORT
// Its members are private; a host that derives from the transport counts on the size.
static_assert(sizeof(XR9ALEthernet) == 304, "XR9ALEthernet on armhf");
#endif
#elif defined(__x86_64__)
static_assert(sizeof(void*) == 8 && sizeof(std::string) == 32, "LP64 with the C++11 std::string");
static_assert(sizeof(InterfaceSetting) == 40 && offsetof(InterfaceSetting, device) == 8, "InterfaceSetting on x86-64");
#ifdef XR9AL_LAYOUT_ETHERNET_TRANSPORT
static_assert(sizeof(XR9ALEthernet) == 392, "XR9ALEthernet on x86-64");
#endif
#endif

}  // namespace
