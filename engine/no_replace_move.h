// Moving a file to a name without ever replacing a file there. Plain C++ on the system calls,
// shared by the recording engine (which places its captures) and the session (which moves a
// take to a free name and recovers interrupted ones), so both behave alike on every file system.
#pragma once

#include <string>

namespace tw::files {

enum class Moved { Yes, NameTaken, Failed };

// A rename where the file system refuses nothing; else a hard link and an unlink; across file
// systems, a copy beside `to` that appears there only once whole and on disk (on file systems
// without hard links, FAT and exFAT, a copy made with an exclusive create). Unless it is moved,
// `from` stays as it was and `error` (if given) holds the errno of what stopped the move.
Moved moveNoReplace(const std::string& from, const std::string& to, int* error = nullptr);

// A rename or a new file lasts through a crash of the machine only once its folder's entry
// does: this syncs the folder that holds `path`, as well as it can.
void syncFolderOf(const std::string& path);

} // namespace tw::files
