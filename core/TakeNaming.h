#pragma once

#include <QString>

class QDateTime;

namespace tw {

// The take name a date pattern gives: `pattern` filled in with the time `when` (strftime's
// fields: %Y, %m, %d, %H, %M, %S, …) and ".wav", in the folder of `outputPath`. A "/" the
// fields put in would make a folder of it and becomes "-"; a pattern that gives no name gives
// "take".
QString patternedTakePath(const QString& outputPath, const QString& pattern, const QDateTime& when);

// Take 0 is saved under the output path itself, take n as "<path less its last four
// characters>_n.wav". A take in another format has that format's extension instead.
QString takeFileName(const QString& outputPath, int number,
                     const QString& extension = QStringLiteral("wav"));
// The first take number from `number` on whose file does not exist yet, so that no take
// replaces a file of an earlier run or one listed before "Clear list". With an `extension`
// (a take encoded from its WAV), neither the WAV's name nor that format's may exist.
int nextFreeTake(const QString& outputPath, int number, const QString& extension = {});
// Moves `file` under the first take name from `number` on that is free at the moment of the
// move (never replacing one: a name taken meanwhile is skipped). Answers the take number
// used, or -1 with the reason in `why`.
int moveToFreeTake(const QString& file, const QString& outputPath, int number, QString* why);

} // namespace tw
