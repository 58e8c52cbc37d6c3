// A small host: takes each handle, writes the log and says what it did.
#include <cstdio>
#include <string>

#include "access/Xr9AlHandle.h"
#include "support/Xr9Log.h"

int main(int argc, char** argv) {
    std::string base = argc > 1 ? argv[1] : "/tmp/xr9al-demo.log";
    int rc = Xr9Log::CreateLogFile(base);
    Xr9Log::SetLogLevel(6);
    std::printf("log: %s (CreateLogFile returned %d, writing %s)\n", base.c_str(), rc, Xr9Log::m_Logfile.c_str());
    std::printf("Xr9AlInit() = %d\n", Xr9AlInit());
    const struct { enInterfaceType type; const char* name; } types[] = {
        {IF_TYPE_UNDEFINED, "undefined"}, {IF_TYPE_CAN, "CAN"}, {IF_TYPE_ETHERNET, "Ethernet"},
        {IF_TYPE_RS232, "RS232"}, {IF_TYPE_MM, "memory media"}};
    for (const auto& t : types) {
        XR9AL* handle = Xr9AlGetHandle(t.type);
        std::printf("Xr9AlGetHandle(%s) = %s\n", t.name, handle ? "transport" : "null");
        Xr9AlCloseHandle(handle);
    }
    char text[] = "host log line";
    char function[] = "int main(int, char**)";
    Xr9Log::WriteLogMsg(__LINE__, function, text);
    std::printf("wrote a line to %s\n", Xr9Log::m_Logfile.c_str());
    return 0;
}
