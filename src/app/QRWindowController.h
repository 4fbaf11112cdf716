#pragma once

#include <QPointer>
#include <QString>

class QTextEdit;
class QWidget;

namespace kestrune::app {

// One pairing QR window. The window belongs to nobody and deletes itself when the
// user closes it, so dropping the controller (a newer QR replaces it) leaves the
// window open; a window never shown is deleted with its controller.
class QRWindowController {
  public:
    explicit QRWindowController(const QString& qrText);
    ~QRWindowController();

    QRWindowController(const QRWindowController&) = delete;
    QRWindowController& operator=(const QRWindowController&) = delete;

    // Shows the window and brings it to the front.
    void showWindow();

    // Finds the window's font ahead of the first window: the first time, working out
    // which font the desktop's monospace is takes milliseconds, and the answer is
    // kept for every thread. Any thread may call it; only the first call does work.
    static void prepareFont();

    // Null once the user has closed the window.
    QWidget* window() const;
    QTextEdit* textView() const;

  private:
    QPointer<QWidget> window_;
    QPointer<QTextEdit> textView_;
};

} // namespace kestrune::app
