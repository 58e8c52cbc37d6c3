/// \file
/// Directory, file-name and path texts shared by the update system. Each is
/// built once when the library is loaded and never changes; read them only
/// after static initialisation (not from another library's static
/// constructors). Only TERMINAL_ROOT_PATH is read by this library.
#ifndef XRCONSTANTS_H
#define XRCONSTANTS_H

#include <string>

#include "support/Xr9AlExport.h"

extern XR9AL_EXPORT const std::string TERMINAL_ROOT_PATH;              ///< "/data", no trailing separator
extern XR9AL_EXPORT const std::string XR_VERSION;                      ///< "2022.4.0.4"
extern XR9AL_EXPORT const std::string XR_SHORT_NUMBER;                 ///< "99"
extern XR9AL_EXPORT const std::string XR9_DIR_NAME;                    ///< "xr9"
extern XR9AL_EXPORT const std::string XML_DIR_NAME;                    ///< "xml"
extern XR9AL_EXPORT const std::string UPDATER_NAME;                    ///< "updater"
extern XR9AL_EXPORT const std::string UPDATER_DIR_NAME;                ///< "updater"
extern XR9AL_EXPORT const std::string TERMINAL_FILES_ZIP;              ///< "terminal_files.zip"
extern XR9AL_EXPORT const std::string TERMINAL_FILES_DIR_NAME;         ///< "terminal_files"
extern XR9AL_EXPORT const std::string PROJECT_XML_FILE;                ///< "project.xml"
extern XR9AL_EXPORT const std::string TEMP_DIR_NAME;                   ///< "temp"
extern XR9AL_EXPORT const std::string CS_XML_FILE;                     ///< "CSFile.xml"
extern XR9AL_EXPORT const std::string XR9_FILE_EXTENSION;              ///< ".xr9"
extern XR9AL_EXPORT const std::string PREINSTALL_SCRIPT_FILE;          ///< "preinstall_script.sh"
extern XR9AL_EXPORT const std::string POSTINSTALL_SCRIPT_FILE;         ///< "postinstall_script.sh"
extern XR9AL_EXPORT const std::string LUMODD_XML_FILE;                 ///< "LumoDD.xml"
extern XR9AL_EXPORT const std::string ARCHIVE_INFO_XML_FILE;           ///< "ArchiveInfo.xml"
extern XR9AL_EXPORT const std::string CLIENT_SETTING_FILE;             ///< "ClientSetting.ini"
extern XR9AL_EXPORT const std::string HOST_SETTING_FILE;               ///< "HostSetting.ini"
extern XR9AL_EXPORT const std::string MM_SCRIPT_XML_FILE;              ///< "mmscript.xml"
extern XR9AL_EXPORT const std::string XR9_HEADER_XML_FILE;             ///< "XR9_Header.xml"
extern XR9AL_EXPORT const std::string USER_FILES_DIR_NAME;             ///< "user_files"
extern XR9AL_EXPORT const std::string ARCHIVE_INFO_XML_PATH;           ///< "/xr9/xml/ArchiveInfo.xml"
extern XR9AL_EXPORT const std::string LUMODD_XML_PATH;                 ///< "/xr9/xml/LumoDD.xml"
extern XR9AL_EXPORT const std::string CLIENT_SETTING_PATH;             ///< "/xr9/bin/ClientSetting.ini"
extern XR9AL_EXPORT const std::string XR9_TEMP_DIR_PATH;               ///< "/xr9/temp/"
extern XR9AL_EXPORT const std::string XR9_DIR_PATH;                    ///< "/xr9/"
extern XR9AL_EXPORT const std::string MM_SCRIPT_RELATIVE_PATH;         ///< "/xml/mmscript.xml", below a root
extern XR9AL_EXPORT const std::string SEND_FILES_TEMP_RELATIVE_DIR;    ///< "/sendfiles/temp/", below a root
extern XR9AL_EXPORT const std::string RECEIVED_FILES_RELATIVE_DIR;     ///< "/receivedfiles/", below a root
extern XR9AL_EXPORT const std::string PATH_SEPARATOR;                  ///< "/"
extern XR9AL_EXPORT const std::string HARDWARE_DAEMON_PATH;            ///< "/tmp/hardwareDaemon"
extern XR9AL_EXPORT const std::string PROJECT_VARIABLE_MANAGER_NAME;   ///< "ProjectVariableManager"
extern XR9AL_EXPORT const std::string USB_MOUNT_DIR_PATH;              ///< "/mnt/usbsda1/"
extern XR9AL_EXPORT const std::string DEFAULT_PROJECT_RELATIVE_DIR;    ///< "/projects/default/", below a root

#endif
