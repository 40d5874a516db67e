// The main window's file list: picking, dropping and removing files.

#include "window/mainwindow.h"

#include "core/image/imageprobe.h"
#include "core/inputs.h"
#include "window/configdialog.h"
#include "window/mainwindowform.h"

#include <QAction>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QLinearGradient>
#include <QListView>
#include <QMimeData>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QUrl>

#include <algorithm>
#include <functional>

namespace {

// A drop's local files, and what else its URLs name, shown as text.
struct DroppedUrls
{
    QStringList paths;
    QStringList others;
    QStringList unnamable; // local files whose names do not decode, as shownBytes()
};

DroppedUrls droppedUrls(const QMimeData *mime)
{
    DroppedUrls dropped;
    if (!mime || !mime->hasUrls())
        return dropped;
    const QList<QUrl> urls = mime->urls();
    for (const QUrl &url : urls) {
        if (!url.isLocalFile()) {
            dropped.others << url.toDisplayString();
            continue;
        }
        // A URL carries a file's name as its bytes; bytes that are not valid
        // in the file-name encoding decode into another name, which no file has.
        const QByteArray raw =
            QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
        if (QFile::encodeName(url.path(QUrl::FullyDecoded)) == raw)
            dropped.paths << url.toLocalFile();
        else
            dropped.unnamable << QLatin1Char('"') +
                                     Inputs::shownBytes(raw.mid(raw.lastIndexOf('/') + 1)) +
                                     QLatin1Char('"');
    }
    return dropped;
}

// A tooltip that looks like markup is taken for it: such a name is given as
// escaped markup, so that it shows as it is.
QString toolTipFor(const QString &path)
{
    const QString shown = QDir::toNativeSeparators(path);
    return Qt::mightBeRichText(shown)
               ? QStringLiteral("<p style=\"white-space:pre\">%1</p>").arg(shown.toHtmlEscaped())
               : shown;
}

// Adding to the list never takes the files away from where they came from:
// a move offered by the source is turned into a copy (or a link).
bool acceptAsCopy(QDropEvent *event)
{
    for (const Qt::DropAction action : {Qt::CopyAction, Qt::LinkAction}) {
        if (event->possibleActions() & action) {
            event->setDropAction(action);
            event->accept();
            return true;
        }
    }
    event->ignore();
    return false;
}

// Rows as wide as the view at most, so that long paths are elided (in the
// middle, keeping the file name) instead of running off the right edge.
class FitWidthDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (const auto *view = qobject_cast<const QAbstractItemView *>(parent()))
            size.setWidth(qMin(size.width(), view->viewport()->width()));
        return size;
    }
};

} // namespace

void MainWindow::setUpFileList()
{
    QListView *view = ui->lstFile;
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    // Paths that differ only in their file name must not look the same.
    view->setTextElideMode(Qt::ElideMiddle);
    view->setItemDelegate(new FitWidthDelegate(view));
    view->setResizeMode(QListView::Adjust);
    view->viewport()->setAcceptDrops(true);
    view->viewport()->installEventFilter(this);

    removeAction = new QAction(tr("Remove"), view);
    removeAction->setShortcuts(
        {QKeySequence(QKeySequence::Delete), QKeySequence(Qt::Key_Backspace)});
    removeAction->setShortcutContext(Qt::WidgetShortcut);
    connect(removeAction, &QAction::triggered, this, &MainWindow::removeSelectedFiles);
    cleanAction = new QAction(tr("Clean List"), view);
    connect(cleanAction, &QAction::triggered, this, &MainWindow::on_btnCleanList_clicked);
    view->addAction(removeAction);
    view->addAction(cleanAction);
    view->setContextMenuPolicy(Qt::ActionsContextMenu);

    // A row edited in place is packed by its new text; its tooltip says so.
    // (Setting the same tooltip again changes nothing and signals nothing.)
    connect(fileModel, &QStandardItemModel::itemChanged, this,
            [](QStandardItem *item) { item->setToolTip(toolTipFor(item->text())); });
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::updateRemoveAction);
    // A model reset clears the selection without a selectionChanged signal.
    connect(fileModel, &QAbstractItemModel::modelReset, this, &MainWindow::updateRemoveAction);
    connect(fileModel, &QAbstractItemModel::rowsRemoved, this, &MainWindow::updateRemoveAction);
    updateRemoveAction();
}

void MainWindow::updateRemoveAction()
{
    removeAction->setEnabled(ui->lstFile->selectionModel()->hasSelection());
}

void MainWindow::on_btnPickFile_clicked()
{
    const QStringList paths = QFileDialog::getOpenFileNames(this, QStringLiteral("Select Files"),
                                                            settingsDialog->defaultSelectPath,
                                                            QStringLiteral("PNG Files(*.png)"));
    for (const QString &path : paths)
        addFileItem(path);
    if (!paths.isEmpty())
        statusBar()->clearMessage(); // it told of an earlier drop
}

void MainWindow::on_btnCleanList_clicked()
{
    fileModel->clear();
    statusBar()->clearMessage();
}

void MainWindow::addFileItem(const QString &path)
{
    auto *item = new QStandardItem(path);
    // Each row keeps the gradient of the view's size at the time it was added.
    QLinearGradient gradient(QPointF(0, 0), QPointF(ui->lstFile->width(), ui->lstFile->height()));
    gradient.setColorAt(0, Qt::white);
    gradient.setColorAt(1, Qt::red);
    item->setData(QBrush(gradient), Qt::BackgroundRole);
    item->setToolTip(toolTipFor(path));
    fileModel->appendRow(item);
}

void MainWindow::addPaths(const QStringList &paths, const QStringList &notLocal,
                          const QStringList &unnamable)
{
    const int before = fileModel->rowCount();
    QStringList leftOut;
    for (const QString &url : notLocal)
        leftOut << tr("%1 (not a local file)").arg(url);
    for (const QString &name : unnamable)
        leftOut << tr("%1 (name not valid in this system's encoding)").arg(name);
    for (const QString &path : paths) {
        const QFileInfo info(path);
        const QString shown =
            info.fileName().isEmpty() ? QDir::toNativeSeparators(path) : info.fileName();
        if (!info.isDir()) {
            const QString reason = whyNotAnImage(info);
            if (reason.isEmpty())
                addFileItem(path);
            else
                leftOut << tr("%1 (%2)").arg(shown, reason);
            continue;
        }
        QMap<QString, QString> names;
        QString error;
        if (!Inputs::expandInputs({path}, names, &error)) {
            leftOut << tr("%1 (%2)").arg(shown, error.section(QStringLiteral(": "), -1));
            continue;
        }
        if (names.isEmpty())
            leftOut
                << tr("%1 (no .png file directly inside; subfolders are not searched)").arg(shown);
        for (auto it = names.constBegin(); it != names.constEnd(); ++it)
            addFileItem(it.key());
    }
    reportDrop(fileModel->rowCount() - before, leftOut);
}

QString MainWindow::whyNotAnImage(const QFileInfo &info)
{
    if (!info.exists())
        return tr("no such file");
    // Anything else could block on reading, as a FIFO does.
    if (!info.isFile())
        return tr("not a regular file");
    // A drawing (SVG) is refused by the run whatever its name, so it is not
    // taken here either.
    const QByteArray suffix = info.suffix().toLower().toLatin1();
    if (!suffix.isEmpty() && !Compose::isVectorFormat(suffix) &&
        QImageReader::supportedImageFormats().contains(suffix))
        return QString();
    const QByteArray format = QImageReader::imageFormat(info.filePath());
    if (!format.isEmpty() && !Compose::isVectorFormat(format))
        return QString();
    return tr("not an image");
}

void MainWindow::reportDrop(int added, const QStringList &leftOut)
{
    if (leftOut.isEmpty()) {
        statusBar()->clearMessage();
        return;
    }
    constexpr int shownAtMost = 3;
    QString list = leftOut.mid(0, shownAtMost).join(QStringLiteral(", "));
    if (leftOut.size() > shownAtMost)
        list += tr(" and %1 more").arg(leftOut.size() - shownAtMost);
    statusBar()->showMessage(added == 0 ? tr("Nothing added: %1").arg(list)
                                        : tr("Added %1, left out: %2").arg(added).arg(list));
}

void MainWindow::removeSelectedFiles()
{
    QItemSelectionModel *selection = ui->lstFile->selectionModel();
    // The list has one column, so a selected index is a selected row.
    // (selectedRows() checks each row against every range: quadratic for
    // thousands of rows apart.)
    const QModelIndexList selected = selection->selectedIndexes();
    QVector<int> rows;
    for (const QModelIndex &index : selected)
        rows << index.row();
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    // The selection goes with its rows anyway. Kept, every removal would
    // update each of its ranges: quadratic for thousands of rows apart.
    selection->clearSelection();
    // Adjacent rows go together, bottom run first, so that the rows still
    // to remove keep their numbers.
    for (int i = 0; i < rows.size();) {
        const int last = rows[i];
        int first = last;
        while (++i < rows.size() && rows[i] == first - 1)
            first = rows[i];
        fileModel->removeRows(first, last - first + 1);
    }
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != ui->lstFile->viewport())
        return QMainWindow::eventFilter(watched, event);
    // Only local files are taken, and only here: the view's own drop
    // handling would put another program's list rows into the model unchecked.
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        const DroppedUrls dropped = droppedUrls(drag->mimeData());
        if (dropped.paths.isEmpty() && dropped.unnamable.isEmpty())
            drag->ignore();
        else
            acceptAsCopy(drag);
        return true;
    }
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        const DroppedUrls dropped = droppedUrls(drop->mimeData());
        if (dropped.paths.isEmpty() && dropped.unnamable.isEmpty())
            drop->ignore();
        else if (acceptAsCopy(drop))
            addPaths(dropped.paths, dropped.others, dropped.unnamable);
        return true;
    }
    default:
        return QMainWindow::eventFilter(watched, event);
    }
}
