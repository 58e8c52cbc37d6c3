// The vocabulary as a separately compiled host sees it: every name below is
// declared here and resolved from libxr9al.so; a wrong parameter type or a
// missing export fails the link. getErrorString is checked by the host-ABI test.
#include <gtest/gtest.h>

#include <string>

enum enInterfaceType { IF_TYPE_UNDEFINED, IF_TYPE_CAN, IF_TYPE_ETHERNET, IF_TYPE_RS232, IF_TYPE_MM };
enum enXRMainState { XR_STATE_RUN = 3 };
enum enXRUpdateState { STATE_RESTARTED = 265 };
enum enConnectionStatus { STATUS_ERROR = 3 };
enum enConnRequestStatus { REQUEST_REJECTED = 4 };

struct XRUpdateMessage {
    unsigned int module;
    unsigned int messageId;
    unsigned int event;
    int result;
    char text[240];
};

std::string getXRMainStateString(enXRMainState state);
std::string getXRUpdateStateString(enXRUpdateState state);
std::string getXRModuleString(int module);
std::string getXRInternalEventString(unsigned int event);
std::string getConnectionStatusString(enConnectionStatus status);
std::string getConnectionRequestStatusString(enConnRequestStatus status);
std::string getInterfaceString(enInterfaceType type);
std::string getUpdateMessageString(XRUpdateMessage message);

extern const std::string TERMINAL_ROOT_PATH;
extern const std::string CLIENT_SETTING_PATH;

class Utilities {
public:
    static int GetFileSize(const char* pFileName);
    static int GetXmlFileName(char* pchFileName, const char* pchFilePath);
    static int GetFileName(char* pchFileName, const char* pchFilePath);
    static int GetFilePath(char* absFilePath, const char* absFilename);
    static int GetTerminalRootPath(char* path);
    static int IsFilePathValid(std::string path);
    static std::string TOOLCHAIN_VERSION;
    static int APP_TYPE;
};

class GXSError {
public:
    static void setErrorString(std::string text);
    static std::string getErrorString();
    static std::string ERROR_STRING;
    static bool WAS_READ;
};

class HAL {
public:
    static int SetTerminalModel(std::string model);
    static int SetConversionRequiredFlag();
    static int ClearConversionRequiredFlag();
    static unsigned int GetBufferSize(unsigned int size);
    static int HALConversion(unsigned char* source, unsigned char* destination, unsigned int length);
    static int HALForceConversion(unsigned char* source, unsigned char* destination, unsigned int length);
    static std::string terminalModel;
    static bool conversionRequired;
};

extern int LOG_LEVEL;

namespace {

TEST(HostView, NamesResolve) {
    EXPECT_EQ("XR_STATE_RUN", getXRMainStateString(XR_STATE_RUN));
    EXPECT_EQ("ASTATE_RESTARTED", getXRUpdateStateString(STATE_RESTARTED));
    EXPECT_EQ("SHM_MODULE", getXRModuleString(0x800000));
    EXPECT_EQ("EVENT_INSTALL_STARTED", getXRInternalEventString(9));
    EXPECT_EQ("STATUS_ERROR", getConnectionStatusString(STATUS_ERROR));
    EXPECT_EQ("REQUEST_REJECTED", getConnectionRequestStatusString(REQUEST_REJECTED));
    EXPECT_EQ("MEMORY MEDIA INTERFACE", getInterfaceString(IF_TYPE_MM));
    XRUpdateMessage m{};
    m.module = 0x800000;
    EXPECT_EQ("\n ################\n Module: SHM_MODULE\n Event: EVENT_UNKNOWN\n Result: XR SUCCESS\n ################",
              getUpdateMessageString(m));
}

TEST(HostView, ConstantsAndStaticsAreTheLibrarys) {
    EXPECT_EQ("/data", TERMINAL_ROOT_PATH);
    EXPECT_EQ("/xr9/bin/ClientSetting.ini", CLIENT_SETTING_PATH);
    EXPECT_EQ("", Utilities::TOOLCHAIN_VERSION);
    EXPECT_EQ(0, Utilities::APP_TYPE);
    EXPECT_TRUE(HAL::conversionRequired);
    EXPECT_EQ("", HAL::terminalModel);
    EXPECT_EQ("", GXSError::ERROR_STRING);
    EXPECT_FALSE(GXSError::WAS_READ);
}

TEST(HostView, UtilitiesGxsErrorAndHalResolve) {
    LOG_LEVEL = -1;  // no log set up: keep the console quiet
    char name[300] = "";
    EXPECT_EQ(0, Utilities::GetTerminalRootPath(name));
    EXPECT_EQ(0, Utilities::GetXmlFileName(name, "/a/b.tar.gz"));
    EXPECT_EQ(0, Utilities::GetFileName(name, "/a/b.tar.gz"));
    EXPECT_EQ(0, Utilities::GetFilePath(name, "/a/b.tar.gz"));
    EXPECT_STREQ("/a", name);
    EXPECT_EQ(0, Utilities::GetFileSize("/nonexistent/file"));
    EXPECT_EQ(-501, Utilities::IsFilePathValid("/nonexistent/file"));
    EXPECT_EQ("Invalid FILE PATH: /nonexistent/file", GXSError::getErrorString());
    GXSError::setErrorString("next");
    EXPECT_EQ("next", GXSError::getErrorString());
    unsigned char in[4] = {1, 2, 3, 4}, out[4] = {};
    EXPECT_EQ(0, HAL::HALForceConversion(in, out, 4));
    EXPECT_EQ(4, out[0]);
    EXPECT_EQ(8u, HAL::GetBufferSize(5));
    EXPECT_EQ(0, HAL::SetTerminalModel("T1"));
    EXPECT_EQ(0, HAL::SetConversionRequiredFlag());
    EXPECT_EQ(0, HAL::ClearConversionRequiredFlag());
    EXPECT_EQ(0, HAL::HALConversion(in, out, 4));
    EXPECT_EQ(1, out[0]);
}

}  // namespace
