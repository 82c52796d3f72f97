#pragma once

#include <QString>

namespace tw {

// Linux has no short (8.3) names: the short form of a path is the path itself while the
// file exists, and "" when it does not.
QString shortPathName(const QString& path);

// Each component of an absolute path replaced by the name under which its folder lists
// it (an exact match first, else one differing only in letter case); "" when a component
// does not exist. Hidden entries count.
QString expandLongPath(const QString& path);

} // namespace tw
