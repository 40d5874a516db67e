#include "cli/packcommand.h"
#include "core/image/imagereaderlimit.h"

#include <QCoreApplication>
#include <QTextStream>

// QCoreApplication, not QGuiApplication: image files are read and written
// through QtGui's QImage and plugins without a platform plugin, so the
// command runs in build pipelines that have no display.
int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    liftImageReaderLimit();
    QCoreApplication::setApplicationName(QStringLiteral("korvane-pack"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVANE_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    return PackCommand::runPack(QCoreApplication::arguments(), out, err);
}
