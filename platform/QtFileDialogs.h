#pragma once

#include "platform/IFileDialogs.h"

namespace tw {

class QtFileDialogs final : public IFileDialogs {
  public:
    std::optional<QString> save(const QString& fileName, const QString& filter) override;
    std::optional<QString> open(const QString& filter) override;
};

} // namespace tw
