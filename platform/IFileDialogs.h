#pragma once

#include <QString>
#include <optional>

namespace tw {

// The common open and save dialogs. Filters are "Description|*.a;*.b|…": pairs of a caption
// and its patterns, all joined by "|". Each call is modal; std::nullopt means the user
// cancelled.
class IFileDialogs {
  public:
    virtual ~IFileDialogs() = default;
    virtual std::optional<QString> save(const QString& fileName, const QString& filter) = 0;
    virtual std::optional<QString> open(const QString& filter) = 0;
};

// "Wave Files(*.wav)|*.wav" → "Wave Files (*.wav)": Qt's name-filter form, one per entry.
QStringList qtNameFilters(const QString& filter);

} // namespace tw
