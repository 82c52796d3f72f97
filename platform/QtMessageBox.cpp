#include "platform/QtMessageBox.h"

#include <QGuiApplication>
#include <QMessageBox>

namespace tw {

QtMessageBox::QtMessageBox(QWidget* parent) : parent_(parent) {}

void QtMessageBox::critical(const QString& text) {
    // No caption of its own: the box bears the application's title.
    QMessageBox::critical(parent_.data(), QGuiApplication::applicationDisplayName(), text,
                          QMessageBox::Ok);
}

bool QtMessageBox::question(const QString& text) {
    // No is the default: Enter pressed by habit leaves the desktop as it is.
    return QMessageBox::question(parent_.data(), QGuiApplication::applicationDisplayName(), text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

} // namespace tw
