#include "can/XR9CANInterface.h"

#include "can/XR9Flexcan.h"

XR9CANInterface::~XR9CANInterface() = default;

XR9CANInterface* XR9CANInterface::create(int) {
    return new XR9Flexcan();
}
