#include "QRWindowController.h"

#include <QApplication>
#include <QTextStream>

// Shows the pairing QR window for the text on standard input, until killed, so a
// script can take its picture from the X server.
int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    kestrune::app::QRWindowController controller(QTextStream(stdin).readAll());
    controller.showWindow();
    return QApplication::exec();
}
