// The transport's sockets need a Qt event loop in the thread that owns them.
#include <gtest/gtest.h>

#include <QCoreApplication>

#ifdef XR9AL_TSAN
// The sanitizer's suppressions for this suite, each with its reason. Our own
// hand-overs through Qt are marked instead (support/TsanAnnotations.h).
extern "C" const char* __tsan_default_suppressions() {
    return
        // The platform's Qt is not instrumented: its event lists and QThread's
        // end-of-thread bookkeeping are ordered by locks the sanitizer cannot see.
        "called_from_lib:libQt5Core.so.5\n";
}
#endif

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
