#include "app/mainwindow.h"
#include "resources/resources.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    initKorvaneResources();
    MainWindow window;
    window.show();
    return application.exec();
}
