#include "app/mainwindow.h"
#include "compose/imagereaderlimit.h"
#include "resources/resources.h"

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
