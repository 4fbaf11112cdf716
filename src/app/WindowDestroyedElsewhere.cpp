#include "WindowDestroyedElsewhere.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QWidget>

#ifndef Q_OS_MACOS
#include <xcb/xcb.h>
#endif

namespace kestrune::app {

#ifndef Q_OS_MACOS

namespace {

// Qt 6.4.2's xcb plugin acts on an UnmapNotify for its own top-level window but not on
// its DestroyNotify (QXcbConnection::handleXcbEvent passes it to no window). A window
// that another client destroys (`xdotool windowclose` does, where a window manager asks
// with WM_DELETE_WINDOW) therefore stays open for Qt: the widget lives on with its
// backing store, a shared-memory segment of the X server's (/memfd:xorg) as large as
// the window; an alert stays modal and blocks every other window. Each alert lost so
// kept about 200 KiB. Closing the widget when its window goes frees all of it.
class DestroyWatch : public QObject, public QAbstractNativeEventFilter {
  public:
    explicit DestroyWatch(QWidget* window) : QObject(window), window_(window), id_(window->winId())
    {
        QCoreApplication::instance()->installNativeEventFilter(this); // removed by the base's destructor
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/) override
    {
        if (eventType != "xcb_generic_event_t") {
            return false;
        }
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) == XCB_DESTROY_NOTIFY &&
            reinterpret_cast<const xcb_destroy_notify_event_t*>(event)->window == id_) {
            // Not from inside Qt's event handling: closing may delete the widget.
            QMetaObject::invokeMethod(window_, &QWidget::close, Qt::QueuedConnection);
        }
        return false;
    }

  private:
    QPointer<QWidget> window_;
    WId id_;
};

} // namespace

void closeWhenDestroyedElsewhere(QWidget* window)
{
    if (window != nullptr && QCoreApplication::instance() != nullptr) {
        new DestroyWatch(window); // a child of the window: ends with it
    }
}

#else

void closeWhenDestroyedElsewhere(QWidget* /*window*/) {}

#endif

} // namespace kestrune::app
