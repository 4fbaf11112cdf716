#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

// Widgets need one QApplication for the whole run, created before any test.
int main(int argc, char* argv[])
{
    // The loopback relay must be reached directly, whatever the runner's proxy.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        ::unsetenv(name);
    }
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
