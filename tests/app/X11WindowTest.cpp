#include "AgentErrorAlert.h"
#include "AppTestSupport.h"
#include "QRWindowController.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QWindow>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

using namespace kestrune;
using namespace kestrune::testkit;

// On a real X server: an alert answered with Return, and an alert and a QR window
// whose X windows another client destroys (as `xdotool windowclose` does), are each
// released, not merely hidden or left to Qt, which ignores such a destruction.
TEST(X11Windows, AnsweredOrDestroyedElsewhereEachWindowIsReleased)
{
    QObject context;
    const QPointer<QMessageBox> answered = app::openAgentErrorAlert("answered", &context, [] {});
    const QPointer<QMessageBox> destroyed = app::openAgentErrorAlert("destroyed", &context, [] {});
    app::QRWindowController controller(QStringLiteral("\u2588\u2580\u2584\n"));
    controller.showWindow();
    const QPointer<QWidget> qrWindow = controller.window();
    // Shown on the X server itself: a window destroyed before Qt's request to make it
    // reached the server would be made afterwards.
    ASSERT_TRUE(waitUntil([&] {
        return answered->windowHandle()->isExposed() && destroyed->windowHandle()->isExposed() &&
               qrWindow->windowHandle()->isExposed();
    }));

    QKeyEvent returnKey(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(answered, &returnKey);
    xcb_connection_t* elsewhere = xcb_connect(nullptr, nullptr);
    for (const QWidget* window : {static_cast<QWidget*>(destroyed), qrWindow.data()}) {
        // Checked, so that the server has done it before this client hangs up.
        const xcb_void_cookie_t done =
            xcb_destroy_window_checked(elsewhere, static_cast<xcb_window_t>(window->winId()));
        EXPECT_EQ(xcb_request_check(elsewhere, done), nullptr);
    }
    xcb_disconnect(elsewhere);
    EXPECT_TRUE(waitUntil([&] { return answered.isNull(); }, std::chrono::seconds(5))) << "answered, not released";
    EXPECT_TRUE(waitUntil([&] { return destroyed.isNull() && qrWindow.isNull(); }, std::chrono::seconds(5)))
        << "destroyed elsewhere, not released";
}
