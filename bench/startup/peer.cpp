// The yardstick for Tunewright's start-up: about the least a Qt Widgets program with a main
// window does before its window appears (a menu bar, a handful of ordinary widgets, a status
// bar), with no skins, audio libraries or hotkeys.
#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>

int main(int argc, char** argv) {
    QApplication app(argc, argv);

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Startup peer"));

    QMenu* file = window.menuBar()->addMenu(QStringLiteral("File"));
    file->addAction(QStringLiteral("Open..."));
    file->addAction(QStringLiteral("Save"));
    file->addSeparator();
    QObject::connect(file->addAction(QStringLiteral("Exit")), &QAction::triggered, &window,
                     &QMainWindow::close);
    QMenu* options = window.menuBar()->addMenu(QStringLiteral("Options"));
    options->addAction(QStringLiteral("Preferences..."));
    options->addAction(QStringLiteral("Clear list"));
    window.menuBar()->addMenu(QStringLiteral("Help"))->addAction(QStringLiteral("About"));

    auto* central = new QWidget(&window);
    auto* grid = new QGridLayout(central);
    grid->addWidget(new QPushButton(QStringLiteral("Record"), central), 0, 0);
    grid->addWidget(new QPushButton(QStringLiteral("Pause"), central), 0, 1);
    grid->addWidget(new QPushButton(QStringLiteral("Stop"), central), 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("00:00:00"), central), 1, 0, 1, 3);
    auto* list = new QListWidget(central);
    list->addItems({QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("third")});
    grid->addWidget(list, 2, 0, 1, 3);
    grid->addWidget(new QScrollBar(Qt::Horizontal, central), 3, 0, 1, 3);
    window.setCentralWidget(central);
    window.statusBar()->showMessage(QStringLiteral("Ready"));

    window.resize(340, 400);
    window.show();
    return QApplication::exec();
}
