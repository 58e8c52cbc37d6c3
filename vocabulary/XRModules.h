/// \file
/// Module identifiers of the update system: one bit each, bits 16 to 26.
#ifndef XRMODULES_H
#define XRMODULES_H

/// A module of the update system; getXRModuleString names it.
enum enXRModule : unsigned int {
    DM_CONNECTION_MODULE = 0x10000,
    TM_INTERFACE_MODULE = 0x20000,
    XRMGR_MODULE = 0x40000,
    XRAGENT_MODULE = 0x80000,
    FILEHANDLER_MODULE = 0x100000,
    SWU_MODULE = 0x200000,
    ZM_MODULE = 0x400000,
    SHM_MODULE = 0x800000,
    ETH_BROADCAST_MODULE = 0x1000000,
    ZM_UPDATE_MODULE = 0x2000000,
    SWU_UPDATE_MODULE = 0x4000000
};

#endif
