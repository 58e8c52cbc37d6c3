#include "vocabulary/XRConstants.h"

// Definition order matters: CLIENT_SETTING_PATH is joined from
// CLIENT_SETTING_FILE, defined above it in this file.
const std::string TERMINAL_ROOT_PATH = "/data";
const std::string XR_VERSION = "2022.4.0.4";
const std::string XR_SHORT_NUMBER = "99";
const std::string XR9_DIR_NAME = "xr9";
const std::string XML_DIR_NAME = "xml";
const std::string UPDATER_NAME = "updater";
const std::string UPDATER_DIR_NAME = "updater";
const std::string TERMINAL_FILES_ZIP = "terminal_files.zip";
const std::string TERMINAL_FILES_DIR_NAME = "terminal_files";
const std::string PROJECT_XML_FILE = "project.xml";
const std::string TEMP_DIR_NAME = "temp";
const std::string CS_XML_FILE = "CSFile.xml";
const std::string XR9_FILE_EXTENSION = ".xr9";
const std::string PREINSTALL_SCRIPT_FILE = "preinstall_script.sh";
const std::string POSTINSTALL_SCRIPT_FILE = "postinstall_script.sh";
const std::string LUMODD_XML_FILE = "LumoDD.xml";
const std::string ARCHIVE_INFO_XML_FILE = "ArchiveInfo.xml";
const std::string CLIENT_SETTING_FILE = "ClientSetting.ini";
const std::string HOST_SETTING_FILE = "HostSetting.ini";
const std::string MM_SCRIPT_XML_FILE = "mmscript.xml";
const std::string XR9_HEADER_XML_FILE = "XR9_Header.xml";
const std::string USER_FILES_DIR_NAME = "user_files";
const std::string ARCHIVE_INFO_XML_PATH = "/xr9/xml/ArchiveInfo.xml";
const std::string LUMODD_XML_PATH = "/xr9/xml/LumoDD.xml";
const std::string CLIENT_SETTING_PATH = std::string("/xr9/bin/") + CLIENT_SETTING_FILE;
const std::string XR9_TEMP_DIR_PATH = "/xr9/temp/";
const std::string XR9_DIR_PATH = "/xr9/";
const std::string MM_SCRIPT_RELATIVE_PATH = "/xml/mmscript.xml";
const std::string SEND_FILES_TEMP_RELATIVE_DIR = "/sendfiles/temp/";
const std::string RECEIVED_FILES_RELATIVE_DIR = "/receivedfiles/";
const std::string PATH_SEPARATOR = "/";
const std::string HARDWARE_DAEMON_PATH = "/tmp/hardwareDaemon";
const std::string PROJECT_VARIABLE_MANAGER_NAME = "ProjectVariableManager";
const std::string USB_MOUNT_DIR_PATH = "/mnt/usbsda1/";
const std::string DEFAULT_PROJECT_RELATIVE_DIR = "/projects/default/";
