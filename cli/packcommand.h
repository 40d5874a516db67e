#pragma once

// korvane-pack: the Generate command from the command line. Same layout,
// placement file and sheet as the window for the same image paths and
// margin, without the window's 99-image limit.

#include <QByteArray>
#include <QByteArrayList>
#include <QMap>
#include <QString>
#include <QStringList>

class QTextStream;

namespace PackCommand {

enum ExitStatus {
    ExitOk = 0,
    ExitFailure = 1,
    ExitUsage = 2,
};

inline const QString programName = QStringLiteral("korvane-pack");

// Runs the command; `arguments` includes the program name first. Writes
// normal output to `out`, every diagnostic to `err`, and returns the exit
// status. `undecodable` maps the text of the arguments whose bytes do not
// decode in the system's encoding to those bytes, one entry per argument.
int runPack(const QStringList &arguments, QTextStream &out, QTextStream &err,
            const QMap<QString, QByteArrayList> &undecodable = {});

} // namespace PackCommand
