#pragma once

// Message boxes whose text is always plain text: the toolkit would take a
// file name such as "<b>x.png" on a box's first line for markup, and show
// another name than the file's.

#include <QString>

class QMessageBox;
class QWidget;

namespace Boxes {

// QMessageBox::about()'s box (the window's icon, one OK button), not yet
// shown; it deletes itself when closed.
QMessageBox *aboutBox(QWidget *parent, const QString &title, const QString &text);

// aboutBox(), run modally.
void about(QWidget *parent, const QString &title, const QString &text);

// A modal warning with one OK button.
void warn(QWidget *parent, const QString &title, const QString &text);

// A modal warning asking Yes or No, No by default; true for Yes.
bool askYesNo(QWidget *parent, const QString &title, const QString &question);

} // namespace Boxes
