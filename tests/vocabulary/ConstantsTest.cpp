#include <gtest/gtest.h>

#include <string>

#include "vocabulary/XRConstants.h"

namespace {

struct Constant {
    const char* name;
    const std::string* value;
    const char* expected;
};

#define XR9_CONSTANT(name, text) Constant{#name, &name, text}

const Constant kConstants[] = {
    XR9_CONSTANT(TERMINAL_ROOT_PATH, "/data"), XR9_CONSTANT(XR_VERSION, "2022.4.0.4"),
    XR9_CONSTANT(XR_SHORT_NUMBER, "99"), XR9_CONSTANT(XR9_DIR_NAME, "xr9"), XR9_CONSTANT(XML_DIR_NAME, "xml"),
    XR9_CONSTANT(UPDATER_NAME, "updater"), XR9_CONSTANT(UPDATER_DIR_NAME, "updater"),
    XR9_CONSTANT(TERMINAL_FILES_ZIP, "terminal_files.zip"), XR9_CONSTANT(TERMINAL_FILES_DIR_NAME, "terminal_files"),
    XR9_CONSTANT(PROJECT_XML_FILE, "project.xml"), XR9_CONSTANT(TEMP_DIR_NAME, "temp"),
    XR9_CONSTANT(CS_XML_FILE, "CSFile.xml"), XR9_CONSTANT(XR9_FILE_EXTENSION, ".xr9"),
    XR9_CONSTANT(PREINSTALL_SCRIPT_FILE, "preinstall_script.sh"),
    XR9_CONSTANT(POSTINSTALL_SCRIPT_FILE, "postinstall_script.sh"), XR9_CONSTANT(LUMODD_XML_FILE, "LumoDD.xml"),
    XR9_CONSTANT(ARCHIVE_INFO_XML_FILE, "ArchiveInfo.xml"), XR9_CONSTANT(CLIENT_SETTING_FILE, "ClientSetting.ini"),
    XR9_CONSTANT(HOST_SETTING_FILE, "HostSetting.ini"), XR9_CONSTANT(MM_SCRIPT_XML_FILE, "mmscript.xml"),
    XR9_CONSTANT(XR9_HEADER_XML_FILE, "XR9_Header.xml"), XR9_CONSTANT(USER_FILES_DIR_NAME, "user_files"),
    XR9_CONSTANT(ARCHIVE_INFO_XML_PATH, "/xr9/xml/ArchiveInfo.xml"),
    XR9_CONSTANT(LUMODD_XML_PATH, "/xr9/xml/LumoDD.xml"),
    XR9_CONSTANT(CLIENT_SETTING_PATH, "/xr9/bin/ClientSetting.ini"), XR9_CONSTANT(XR9_TEMP_DIR_PATH, "/xr9/temp/"),
    XR9_CONSTANT(XR9_DIR_PATH, "/xr9/"), XR9_CONSTANT(MM_SCRIPT_RELATIVE_PATH, "/xml/mmscript.xml"),
    XR9_CONSTANT(SEND_FILES_TEMP_RELATIVE_DIR, "/sendfiles/temp/"),
    XR9_CONSTANT(RECEIVED_FILES_RELATIVE_DIR, "/receivedfiles/"), XR9_CONSTANT(PATH_SEPARATOR, "/"),
    XR9_CONSTANT(HARDWARE_DAEMON_PATH, "/tmp/hardwareDaemon"),
    XR9_CONSTANT(PROJECT_VARIABLE_MANAGER_NAME, "ProjectVariableManager"),
    XR9_CONSTANT(USB_MOUNT_DIR_PATH, "/mnt/usbsda1/"),
    XR9_CONSTANT(DEFAULT_PROJECT_RELATIVE_DIR, "/projects/default/"),
};

#undef XR9_CONSTANT

TEST(SharedConstants, HoldTheirTextsFromLoad) {
    for (const Constant& c : kConstants) EXPECT_EQ(c.expected, *c.value) << c.name;
}

}  // namespace
