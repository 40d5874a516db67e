#include "core/image/imagereaderlimit.h"
#include "window/mainwindow.h"
#include "window/resources/resources.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    liftImageReaderLimit();
    initKorvaneResources();
    MainWindow window;
    window.show();
    return application.exec();
}
