// The Ethernet suite runs a QCoreApplication: the transport's sockets need
// an event loop in the thread that owns them.
#include <gtest/gtest.h>

#include <QCoreApplication>

#ifdef XR9AL_TSAN
// The platform's Qt is not instrumented: accesses made inside it (its event
// lists, QThread's end-of-thread bookkeeping) are ordered by locks the
// sanitizer cannot see. Our own code marks its hand-overs instead.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt5Core.so.5\n"
           "race:EthernetThread::metaObject\n";
}
#endif

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
