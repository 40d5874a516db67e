#include "cli/packcommand.h"
#include "core/image/imagereaderlimit.h"
#include "core/inputs.h"

#include <QCoreApplication>
#include <QTextStream>

#include <csignal>
#include <cstdio>

// QCoreApplication, not QGuiApplication: image files are read and written
// through QtGui's QImage and plugins without a platform plugin, so the
// command runs in build pipelines that have no display.
int main(int argc, char *argv[])
{
    // A reader of standard output that went away (`| head`) is a write
    // that fails, reported with status 1 once the files are in place, not
    // a death by SIGPIPE part way through.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication application(argc, argv);
    liftImageReaderLimit();
    QCoreApplication::setApplicationName(QStringLiteral("korvane-pack"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVANE_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    // Decoded here rather than by QCoreApplication::arguments(), which drops
    // a leading byte-order mark and turns undecodable bytes into U+FFFD:
    // both would name another file.
    QStringList arguments;
    QMap<QString, QByteArrayList> undecodable;
    for (int i = 0; i < argc; ++i) {
        bool exact = false;
        arguments << Inputs::decodeFileName(QByteArray(argv[i]), &exact);
        if (!exact)
            undecodable[arguments.last()].append(QByteArray(argv[i]));
    }
    const int status = PackCommand::runPack(arguments, out, err, undecodable);
    // A report lost on a full disk is a failure, as for any command whose
    // output a script may read.
    out.flush();
    if (out.status() != QTextStream::Ok || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        err << "korvane-pack: could not write to standard output\n";
        err.flush();
        return status == 0 ? 1 : status;
    }
    return status;
}
