#pragma once

// Where korvane-pack speaks: normal output, and diagnostics that start with
// the program's name.

#include <QString>

class QTextStream;

namespace PackCommand {

class Console
{
public:
    Console(QTextStream &out, QTextStream &err) : out(out), err(err) {}

    void warn(const QString &message);
    // A usage error: the message and a hint at --help; returns ExitUsage.
    int usage(const QString &message);
    // The run failed; returns ExitFailure.
    int failure(const QString &message);

    // A path as messages show it: control characters as \xNN.
    static QString shown(const QString &path);

    QTextStream &out;
    QTextStream &err;
    // Put before every message: what it is about, such as a pack file's sheet.
    QString context;
};

} // namespace PackCommand
