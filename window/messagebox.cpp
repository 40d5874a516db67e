#include "window/messagebox.h"

#include <QIcon>
#include <QMessageBox>

namespace Boxes {

QMessageBox *aboutBox(QWidget *parent, const QString &title, const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(Qt::PlainText);
    const QIcon icon = box->windowIcon();
    box->setIconPixmap(icon.pixmap(icon.actualSize(QSize(64, 64))));
    return box;
}

void about(QWidget *parent, const QString &title, const QString &text)
{
    aboutBox(parent, title, text)->exec();
}

void warn(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool askYesNo(QWidget *parent, const QString &title, const QString &question)
{
    QMessageBox box(QMessageBox::Warning, title, question, QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.setDefaultButton(QMessageBox::No);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
}

} // namespace Boxes
