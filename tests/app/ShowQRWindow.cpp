#include "QRWindowController.h"

#include <QApplication>
#include <QFile>

// Shows the pairing QR window for the text on standard input, until killed, so a
// script can take its picture from the X server.
int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QFile input;
    (void)input.open(stdin, QIODevice::ReadOnly);
    kestrune::app::QRWindowController controller(QString::fromUtf8(input.readAll()));
    controller.showWindow();
    return QApplication::exec();
}
