#include "vocabulary/XRErrorCodes.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

struct Entry {
    int code;
    std::string_view text;
};

// The complete table: every code with a message, highest first.
constexpr Entry kEntries[] = {
    {0, "XR SUCCESS"},
    {-1, "XR FAILURE"},
    {-2, "INVALID PARAMETER"},
    {-3, "ERR_XR_INVALID_IFTYPE"},
    {-4, "ERR_XR_DMTERMINAL_NOTINITIALIZED"},
    {-5, "ERR_INVALID_MODE_SELECTION"},
    {-6, "ERR_MODE_SELECTED_ALREADY"},
    {-21, "DEVICE TYPE MISMATCH"},
    {-22, "DEVICE MODEL MISMATCH"},
    {-23, "ERR_DMCONN_NOT_DISCONNECTED"},
    {-24, "ERR_DMCONN_NOT_CONNECTED"},
    {-25, "ACTIVE ETHERNET CONNECTION"},
    {-26, "ACTIVE USB CONNECTION"},
    {-27, "ACTIVE CAN CONNECTION"},
    {-28, "ERR_DMCON_CONNECTION_RESET"},
    {-41, "ERR_TMI_INVALID_XRALHANDLE"},
    {-42, "OPEN PORT FAILED"},
    {-43, "ERR_TMI_RXTHREAD_FAILED"},
    {-44, "ERR_TMI_INTERFACE_NOT_OPENED"},
    {-61, "STARTING THREAD FAILED"},
    {-62, "CREATING QUEUE FAILED"},
    {-63, "CREATING TIMER FAILED"},
    {-64, "CREATING EVENT FAILED"},
    {-71, "SEND DATA FAILED"},
    {-72, "RECEIVE DATA FAILED"},
    {-81, "ERR_TFTP_SEND_FILE_FAILED"},
    {-82, "ERR_TFTP_RECEIVE_FILE_FAILED"},
    {-83, "ERR_TFTP_SEND_ERROR_OPCODE_RECEIVED"},
    {-84, "ERR_TFTP_RECEIVE_ERROR_OPCODE_RECEIVED"},
    {-85, "ERR_TFTP_FILE_READ_FAILED"},
    {-86, "ERR_TFTP_FILE_CLOSE_FAILED"},
    {-87, "ERR_TFTP_CHECKSUM_CALCULATION_FAILED"},
    {-88, "ERR_TFTP_CHECKSUM_VERIFICATION_FAILED"},
    {-89, "ERR_TFTP_FILE_TRANSFER_ABORTED"},
    {-90, "FB_PKG_FILE_OPEN_FAILED"},
    {-91, "FB_PKG_FILE_READ_FAILED"},
    {-92, "FB_PKG_FILE_WRITE_FAILED"},
    {-93, "FB_XML_FILE_OPEN_FAILED"},
    {-94, "FB_XML_FILE_READ_FAILED"},
    {-95, "FB_XML_FILE_WRITE_FAILED"},
    {-96, "FB_DATA_FILE_OPEN_FAILED"},
    {-97, "FB_DATA_FILE_READ_FAILED"},
    {-98, "FB_DATA_FILE_WRITE_FAILED"},
    {-99, "INVALID CHECKSUM"},
    {-100, "READING XML CHECKSUM FAILED"},
    {-101, "READING DATA CHECKSUM FAILED"},
    {-102, "INVALID PACKAGE VALIDATION CODE"},
    {-103, "MAX FILE SIZE ERROR"},
    {-120, "MISMATCH VALIDATION OF DEVICE TYPE OR MODEL"},
    {-121, "DEVICE TYPE OR MODEL NOT FOUND"},
    {-122, "VAL_HARDWAREID_MISMATCH"},
    {-123, "VAL_HARDWAREID_NOTFOUND"},
    {-124, "VAL_BSPVERSION_MISMATCH"},
    {-125, "VAL_BSPVERSIONREQD_MISMATCH"},
    {-126, "VAL_BSPVERSION_NOTFOUND"},
    {-127, "VAL_ABSTVERSION_MISMATCH"},
    {-128, "VAL_ABSTVERSIONREQD_MISMATCH"},
    {-129, "VAL_ABSTVERSION_NOTFOUND"},
    {-130, "VAL_TERMPROP_MISMATCH"},
    {-131, "VAL_TERMPROP_NOTFOUND"},
    {-150, "READING XML ARCHIVE FAILED"},
    {-151, "READING PACKAGE HEADER FAILED"},
    {-152, "READING CHECKSUM FILE FAILED"},
    {-153, "CHECKSUM FILE: FOUND NO FILES"},
    {-154, "PACKAGE HEADER:  READING PACKAGE FILES FAILED"},
    {-155, "CHECKSUM FILE: ERROR READING CHECKSUM"},
    {-156, "CHECKSUM FILE: INVALID FILE LIST SIZE"},
    {-157, "CHECKSUM VERIFICATION FAILED"},
    {-158, "INVALID FILE CHECKSUM"},
    {-159, "PACKAGE EXTRACTION FAILED"},
    {-160, "TEMPDIR CREATION FAILED"},
    {-161, "ERR_SWU_REVERTDIR_CREATION_FAILED"},
    {-162, "ERR_SWU_DEPENDENCY_FILE_NOT_AVAILABLE"},
    {-163, "ERR_SWU_FILE_REVERT_COPY_FAILED"},
    {-164, "REMOVE FILE FAILED"},
    {-165, "FILE INSTALL FAILED"},
    {-166, "READ ARCHIVE PATH FAILED"},
    {-167, "CREATING UPDATE THREAD FAILED"},
    {-168, "PREPARE REQUEST MESSAGE FAILED"},
    {-169, "PREPARE RESPONDS MESSAGE FAILED"},
    {-170, "PREPARE UPDATER MESSAGE FAILED"},
    {-171, "RUNNING PRE INSTALL SCRIPT FAILED"},
    {-172, "POST INSTALL SCRIPT NOT FOUND"},
    {-173, "INSTALL DIR CREATION FAILED"},
    {-174, "RUNNING POST INSTALL SCRIPT FAILED"},
    {-175, "PRE INSTALL SCRIPT NOT FOUND"},
    {-178, "XML: UPDATE ARCHIVE FILE FAILED"},
    {-179, "SOFTWARE UPDATE ABORTED"},
    {-180, "NOT ENOUGH MEMORY"},
    {-181, "ADD ARCHIVE FILE FAILED"},
    {-201, "DEST DIR CREATION FAILED"},
    {-202, "SOURCE FILE OPEN FAILED"},
    {-203, "DESTINATION FILE OPEN FAILED"},
    {-204, "SOURCE FILE READ FAILED"},
    {-205, "DESTINATION FILE WRITE FAILED"},
    {-206, "SOURCE FILE CLOSE FAILED"},
    {-207, "ERR_MMFT_DEST_FILE_CLOSE_FAILED"},
    {-208, "CHECKSUM VERIFICATION FAILED"},
    {-209, "GET FILE NAME FAILED"},
    {-210, "SCRIPT FILE COPY FAILED"},
    {-211, "SCRIPT FILE READ FAILED"},
    {-212, "SCRIPT FILE WRITE FAILED"},
    {-213, "INVALID SETTINGS SIZE"},
    {-214, "FILE TRANSFER ABORTED"},
    {-215, "DESTINATION FILE REMOVE FAILED"},
    {-216, "FILE ALREADY EXISTS"},
    {-225, "SCRIPT FILE NOT EXISTSTING"},
    {-226, "OPEN SCRIPT FILE FAILED"},
    {-227, "READING SCRIPT FILE_FAILED"},
    {-228, "SCRIPT FILE CLOSE FAILED"},
    {-251, "SENDING CAN MESSAGE FAILED"},
    {-252, "RECEIVING CAN MESSAGE FAILED"},
    {-253, "PREPARE PACKAGE HEADER FAILED"},
    {-254, "OPEN SOURCE FILE FAILED"},
    {-255, "CLOSE SOURCE FILE FAILED"},
    {-256, "CHECKSUM VERIFICATION FAILED"},
    {-257, "OPEN DESTINATION FILE_FAILED"},
    {-258, "WRITE DESTINATION FILE FAILED"},
    {-259, "REMOVE DESTINATION FILE FAILED"},
    {-260, "FILE TRANSFER ABORTED"},
    {-261, "INVALID MSG ID"},
    {-262, "ERR_ZMFT_POST_UIEVENT_MSG_FAILED"},
    {-290, "INVALID FILE TRANSFER REQUEST"},
    {-291, "NOT ENOUGH MEMORY ON TERMINAL"},
    {-301, "ERR_SHM_START_FAILED"},
    {-302, "ERR_TERMINAL_CONNECTION_RESET"},
    {-303, "OS_ERROR_ADDRESS_MISALIGNED"},
    {-304, "OS ERROR TIMEOUT"},
    {-305, "OS_INVALID_INT_NUM"},
    {-306, "OS SEM FAILURE"},
    {-307, "OS SEM TIMEOUT"},
    {-308, "OS QUEUE EMPTY"},
    {-309, "OS QUEUE FULL"},
    {-310, "OS QUEUE TIMEOUT"},
    {-311, "OS QUEUE INVALID SIZE"},
    {-312, "OS QUEUE ID ERROR"},
    {-313, "OS INVALID NAME SIZE"},
    {-314, "OS NO FREE IDS"},
    {-315, "OS NAME ALREADY EXISTS"},
    {-316, "OS INVALID ID"},
    {-317, "OS NAME NOT FOUND"},
    {-318, "OS_SEM NOT FULL"},
    {-319, "OS INVALID PRIORITY"},
    {-320, "OS INVALID VALUE"},
    {-321, "QUEUE EVENT FAILURE"},
    {-322, "OS GET TIME FAILED"},
    {-403, "ERR_XR9AL_BUFFER_OVERFLOW"},
    {-404, "USB THREAD CREATEION FAILED"},
    {-405, "NO_CALLBACK_REGISTERED"},
    {-406, "INVALID INTERFACE TYPE"},
    {-407, "QUEUE FULL"},
    {-408, "BUS ERROR"},
    {-409, "QUEUE ERROR"},
    {-410, "CAN INTERFACE IN USE"},
    {-430, "XR9AL_CAN_SELECT_DEVICE_FAILED"},
    {-431, "XR9AL_CAN_DEVICE_INIT_FAILED"},
    {-501, "NO SUCH FILE OR DIRECTORY"},
    {-502, "NOT SUPPORTED"},
    {-503, "USER ABORT"},
};

constexpr std::string_view kUnknown = "UNKOWN ERROR";
constexpr int kPositions = -XR_LOWEST_STATUS_CODE + 1;

// One position per code in -503..0, indexed by -code; positions without a
// message hold the unknown text. Built by the compiler. Every text is a
// literal, so each view ends in its terminating zero.
constexpr std::array<std::string_view, kPositions> buildIndex() {
    std::array<std::string_view, kPositions> index{};
    for (std::string_view& text : index) text = kUnknown;
    for (const Entry& e : kEntries) index[-e.code] = e.text;
    return index;
}

constexpr std::array<std::string_view, kPositions> kIndex = buildIndex();

static_assert(sizeof kEntries / sizeof kEntries[0] == 159, "the table holds 159 codes");

constexpr bool everyTextFits() {
    for (const Entry& e : kEntries)
        if (e.text.size() >= XR_STATUS_TEXT_BUFFER_SIZE) return false;
    return true;
}
static_assert(everyTextFits(), "every message leaves room for its terminating zero");

inline std::string_view lookup(int code) {
    // One comparison covers both ends: codes above 0 wrap to large values.
    const unsigned int position = 0u - static_cast<unsigned int>(code);
    return position < static_cast<unsigned int>(kPositions) ? kIndex[position] : kUnknown;
}

}  // namespace

namespace xr9 {

const char* statusText(int code) {
    return lookup(code).data();
}

}  // namespace xr9

char* getErrorString(int code) {
    char* buffer = static_cast<char*>(std::malloc(XR_STATUS_TEXT_BUFFER_SIZE));
    if (!buffer) return nullptr;
    const std::string_view text = lookup(code);
    std::memcpy(buffer, text.data(), text.size());
    std::memset(buffer + text.size(), 0, XR_STATUS_TEXT_BUFFER_SIZE - text.size());
    return buffer;
}
