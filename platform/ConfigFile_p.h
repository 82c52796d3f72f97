#pragma once

// Internal to the settings library and its tests: the write path with a hook between
// "new contents written to the temporary file" and "temporary file renamed over the old
// one", so that a test can stop a write at the moment a crash would hurt most.

#include <QString>
#include <functional>

namespace tw::detail {

// Runs after the whole new file has been written to the temporary file beside `path`
// and before it replaces `path`. Returning false abandons the write: the temporary file
// is removed and `path` keeps its old contents.
using BeforeCommit = std::function<bool()>;

bool writeProfileString(const QString& path, const QString& section, const QString& key,
                        const QString& value, const BeforeCommit& beforeCommit);

} // namespace tw::detail
