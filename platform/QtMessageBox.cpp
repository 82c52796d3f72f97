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

} // namespace tw
