#include "platform/QtFileDialogs.h"

#include <QFileDialog>
#include <QFileInfo>

namespace tw {

QStringList qtNameFilters(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        const int paren = description.indexOf(QLatin1Char('('));
        if (paren >= 0)
            description = description.left(paren);
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        out << description.trimmed() + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return out;
}

namespace {
std::optional<QString> run(QFileDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}
} // namespace

std::optional<QString> QtFileDialogs::save(const QString& fileName, const QString& filter) {
    QFileDialog dialog;
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(qtNameFilters(filter));
    dialog.setDefaultSuffix(QStringLiteral("wav"));
    if (!fileName.isEmpty()) {
        const QFileInfo info(fileName);
        if (info.isAbsolute())
            dialog.setDirectory(info.absolutePath());
        dialog.selectFile(info.fileName());
    }
    return run(dialog);
}

std::optional<QString> QtFileDialogs::open(const QString& filter) {
    QFileDialog dialog;
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(qtNameFilters(filter));
    return run(dialog);
}

} // namespace tw
