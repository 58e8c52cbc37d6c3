// The Ethernet suite runs a QCoreApplication: the transport's sockets need
// an event loop in the thread that owns them.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
