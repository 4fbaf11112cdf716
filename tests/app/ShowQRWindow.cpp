#include "QRWindowController.h"

#include <QApplication>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QTextEdit>
#include <QTextStream>

// Shows the pairing QR window for the text on standard input, until killed, so a
// script can take its picture from the X server. Prints the font family the window
// resolved and, on the next line, the width of a space in device pixels in that font
// zoomed by the whole steps given as the argument: the width the code's modules must
// have once the window is zoomed so.
int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    kestrune::app::QRWindowController controller(QTextStream(stdin).readAll());
    QFont font = controller.textView()->font();
    font.setPointSizeF(font.pointSizeF() + (argc > 1 ? QString(argv[1]).toInt() : 0));
    QTextStream(stdout) << QFontInfo(font).family() << '\n'
                        << qRound(QFontMetricsF(font).horizontalAdvance(u' ') * application.devicePixelRatio()) << '\n';
    controller.showWindow();
    return QApplication::exec();
}
