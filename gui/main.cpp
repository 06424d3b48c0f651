// Program entry: one window on the stack, the event loop, its exit code.
// Closing the window ends the loop; the window then stops any run still going
// before it goes away, so the program always ends with the loop's status.
#include <QApplication>

#include "mainwindow.h"

int main(int argc, char** argv) {
    QApplication a(argc, argv);
    MainWindow w;
    w.show();
    return a.exec();
}
