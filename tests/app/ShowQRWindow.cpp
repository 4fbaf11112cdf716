#include "QRWindowController.h"

#include <QApplication>
#include <QClipboard>
#include <QFontInfo>
#include <QTextEdit>
#include <QTextStream>

// Shows the pairing QR window for the text on standard input, until killed, so a
// script can take its picture from the X server. Prints the font family the window
// resolved, on a line, and then what Select All and Copy put on the clipboard.
int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    kestrune::app::QRWindowController controller(QTextStream(stdin).readAll());
    QTextEdit* view = controller.textView();
    view->selectAll();
    view->copy();
    view->moveCursor(QTextCursor::Start);
    QTextStream(stdout) << QFontInfo(view->font()).family() << '\n' << QGuiApplication::clipboard()->text();
    controller.showWindow();
    return QApplication::exec();
}
