/// \file
/// Names of the update system's states, modules, events and connection
/// statuses, and the readable report of one update message. Every function
/// returns a new string by value, keeps no state and may be called from any
/// thread; a value without a name yields the fallback given with its table.
#ifndef XRNAMES_H
#define XRNAMES_H

#include <string>

#include "access/XR9AL.h"
#include "vocabulary/XRModules.h"
#include "vocabulary/XRUpdateMessage.h"

/// Main state of the update system. Fallback "XR_STATE_UNKNOWN".
enum enXRMainState : int {
    XR_STATE_INIT = 2,
    XR_STATE_RUN = 3,
    XR_STATE_STOP = 4,
    XR_STATE_EXIT = 5,
    XR_STATE_ERROR = 9
};

/// State of an update in progress: 0x101..0x10E without gaps, and the error
/// state 0x1FF. Fallback "UNKNOWN_STATE". STATE_RESTARTED reads
/// "ASTATE_RESTARTED".
enum enXRUpdateState : int {
    STATE_IDLE = 0x101,
    STATE_CONNECTED = 0x102,
    STATE_CONNECTING = 0x103,
    STATE_UPLOADING = 0x104,
    STATE_UPLOADED = 0x105,
    STATE_INSTALLING = 0x106,
    STATE_INSTALLED = 0x107,
    STATE_RESTARTING = 0x108,
    STATE_RESTARTED = 0x109,
    STATE_DISCONNECTING = 0x10A,
    STATE_DISCONNECTED = 0x10B,
    STATE_INIT = 0x10C,
    STATE_CREATING_PACKAGE = 0x10D,
    STATE_CREATED_PACKAGE = 0x10E,
    STATE_ERROR = 0x1FF
};

/// Internal events carried in XRUpdateMessage::event. 2 and 3 read like 1
/// ("EVENT_UPLOAD_INIT"); 4 and 6 have no name. Fallback "EVENT_UNKNOWN".
enum enXRInternalEvent : unsigned int {
    EVENT_UPLOAD_INIT = 1,
    EVENT_UPLOAD_ERROR = 5,
    EVENT_THREAD_ID = 7,
    EVENT_INSTALL_INIT = 8,
    EVENT_INSTALL_STARTED = 9,
    EVENT_INSTALL_FINISHED = 16,
    EVENT_INSTALL_ERROR = 32,
    EVENT_INSTALL_APP_RESTART = 64
};

/// State of the connection to the update tool. Fallback "STATUS_UNKNOWN".
enum enConnectionStatus : int {
    STATUS_WAIT_FOR_CONNRESPONSE = 0,
    STATUS_CONNECTED = 1,
    STATUS_DISCONNECTED = 2,
    STATUS_ERROR = 3
};

/// Answer to a connection request; 0 has no name. Fallback "REQUEST_UNKNOWN".
enum enConnRequestStatus : int {
    REQUEST_ACCEPTED = 1,
    REQUEST_REJECTED_TYPE_MISMATCH = 2,
    REQUEST_REJECTED_MODEL_MISMATCH = 3,
    REQUEST_REJECTED = 4,
    REQUEST_REJECTED_ACTIVE_INTERFACE_ETH = 5,
    REQUEST_REJECTED_ACTIVE_INTERFACE_MM = 6,
    REQUEST_REJECTED_ACTIVE_INTERFACE_CAN = 7
};

/// The name of state ("XR_STATE_RUN").
XR9AL_EXPORT std::string getXRMainStateString(enXRMainState state);
/// The name of state ("STATE_IDLE").
XR9AL_EXPORT std::string getXRUpdateStateString(enXRUpdateState state);
/// One module bit of enXRModule; 0 and combinations read "UNKNOWN Module".
XR9AL_EXPORT std::string getXRModuleString(int module);
/// The name of an enXRInternalEvent ("EVENT_UPLOAD_INIT").
XR9AL_EXPORT std::string getXRInternalEventString(unsigned int event);
/// The name of status ("STATUS_CONNECTED").
XR9AL_EXPORT std::string getConnectionStatusString(enConnectionStatus status);
/// The name of status ("REQUEST_ACCEPTED").
XR9AL_EXPORT std::string getConnectionRequestStatusString(enConnRequestStatus status);
/// The text of type ("CAN INTERFACE"); fallback "UNKNOWN INTERFACE".
XR9AL_EXPORT std::string getInterfaceString(enInterfaceType type);

/// `"\n ################\n Module: <module>\n Event: <event>\n Result: <status message>\n ################"`:
/// module, event and result of the record by their names; messageId and text
/// are not shown.
XR9AL_EXPORT std::string getUpdateMessageString(XRUpdateMessage message);

#endif
