#pragma once

#include "platform/IFileDialogs.h"

#include <QStringList>

namespace tw {

class FakeFileDialogs final : public IFileDialogs {
  public:
    std::optional<QString> save(const QString& fileName, const QString& filter) override {
        log.append("save " + fileName + " " + filter);
        return answer;
    }
    std::optional<QString> open(const QString& filter) override {
        log.append("open " + filter);
        return answer;
    }
    std::optional<QString> answer; // nullopt: the user cancels
    QStringList log;
};

} // namespace tw
