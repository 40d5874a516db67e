#include "window/mainwindowform.h"

#include <QBoxLayout>
#include <QCoreApplication>
#include <QIcon>
#include <QLabel>
#include <QListView>
#include <QMainWindow>
#include <QMetaObject>
#include <QPushButton>

void MainWindowForm::setupUi(QMainWindow *MainWindow)
{
    if (MainWindow->objectName().isEmpty())
        MainWindow->setObjectName(QStringLiteral("MainWindow"));
    MainWindow->resize(726, 403);
    QIcon icon;
    icon.addFile(QStringLiteral(":/new/prefix1/image/Korvane.ico"), QSize(), QIcon::Normal,
                 QIcon::Off);
    MainWindow->setWindowIcon(icon);
    MainWindow->setIconSize(QSize(32, 32));

    centralWidget = new QWidget(MainWindow);
    centralWidget->setObjectName(QStringLiteral("centralWidget"));
    verticalLayout_3 = new QVBoxLayout(centralWidget);
    verticalLayout_3->setSpacing(6);
    verticalLayout_3->setContentsMargins(11, 11, 11, 11);
    verticalLayout_3->setObjectName(QStringLiteral("verticalLayout_3"));
    verticalLayout_2 = new QVBoxLayout();
    verticalLayout_2->setSpacing(6);
    verticalLayout_2->setObjectName(QStringLiteral("verticalLayout_2"));
    label = new QLabel(centralWidget);
    label->setObjectName(QStringLiteral("label"));
    label->setAlignment(Qt::AlignCenter);
    verticalLayout_2->addWidget(label);
    lstFile = new QListView(centralWidget);
    lstFile->setObjectName(QStringLiteral("lstFile"));
    verticalLayout_2->addWidget(lstFile);
    verticalLayout_3->addLayout(verticalLayout_2);

    horizontalLayout_2 = new QHBoxLayout();
    horizontalLayout_2->setSpacing(6);
    horizontalLayout_2->setObjectName(QStringLiteral("horizontalLayout_2"));
    btnPickFile = new QPushButton(centralWidget);
    btnPickFile->setObjectName(QStringLiteral("btnPickFile"));
    horizontalLayout_2->addWidget(btnPickFile);
    btnCleanList = new QPushButton(centralWidget);
    btnCleanList->setObjectName(QStringLiteral("btnCleanList"));
    horizontalLayout_2->addWidget(btnCleanList);
    btnGenerate = new QPushButton(centralWidget);
    btnGenerate->setObjectName(QStringLiteral("btnGenerate"));
    horizontalLayout_2->addWidget(btnGenerate);
    btnSettings = new QPushButton(centralWidget);
    btnSettings->setObjectName(QStringLiteral("btnSettings"));
    horizontalLayout_2->addWidget(btnSettings);
    pushButton = new QPushButton(centralWidget);
    pushButton->setObjectName(QStringLiteral("pushButton"));
    horizontalLayout_2->addWidget(pushButton);
    verticalLayout_3->addLayout(horizontalLayout_2);

    verticalLayout_3->setStretch(0, 8);
    verticalLayout_3->setStretch(1, 1);
    MainWindow->setCentralWidget(centralWidget);

    retranslateUi(MainWindow);
    QMetaObject::connectSlotsByName(MainWindow);
}

void MainWindowForm::retranslateUi(QMainWindow *MainWindow)
{
    const auto tr = [](const char *text) {
        return QCoreApplication::translate("MainWindow", text, nullptr);
    };
    MainWindow->setWindowTitle(tr("Korvane"));
    label->setText(tr("Selected  PNG  Files"));
    btnPickFile->setText(tr("Select PNG Files"));
    btnCleanList->setText(tr("Clean List"));
    btnGenerate->setText(tr("Generate"));
    btnSettings->setText(tr("Settings..."));
    pushButton->setText(tr("About..."));
}
