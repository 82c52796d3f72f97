#pragma once

#include <QString>

namespace tw {

// Take 0 is saved under the output path itself, take n as "<path less its last four
// characters>_n.wav".
QString takeFileName(const QString& outputPath, int number);
// The first take number from `number` on whose file does not exist yet, so that no take
// replaces a file of an earlier run or one listed before "Clear list".
int nextFreeTake(const QString& outputPath, int number);
// Moves `file` under the first take name from `number` on that is free at the moment of the
// move (never replacing one: a name taken meanwhile is skipped). Answers the take number
// used, or -1 with the reason in `why`.
int moveToFreeTake(const QString& file, const QString& outputPath, int number, QString* why);
// An MP3 beside its WAV: the last three characters become "mp3".
QString mp3PathFor(const QString& wav);
// `mp3` itself while no file has that name, else the first free "<mp3 less .mp3>_n.mp3"
// from n = 1 on, so that an MP3 never replaces a file the user already has.
QString freeMp3Path(const QString& mp3);

} // namespace tw
