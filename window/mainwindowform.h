#pragma once

class QHBoxLayout;
class QLabel;
class QListView;
class QMainWindow;
class QPushButton;
class QVBoxLayout;
class QWidget;

// The main window's widgets and layouts; they belong to the window's object
// tree.
struct MainWindowForm
{
    QWidget *centralWidget = nullptr;
    QVBoxLayout *verticalLayout_3 = nullptr;
    QVBoxLayout *verticalLayout_2 = nullptr;
    QLabel *label = nullptr;
    QListView *lstFile = nullptr;
    QHBoxLayout *horizontalLayout_2 = nullptr;
    QPushButton *btnPickFile = nullptr;
    QPushButton *btnCleanList = nullptr;
    QPushButton *btnGenerate = nullptr;
    QPushButton *btnSettings = nullptr;
    QPushButton *pushButton = nullptr;

    void setupUi(QMainWindow *MainWindow);
    void retranslateUi(QMainWindow *MainWindow);
};
