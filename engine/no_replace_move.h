// Moving a file to a name without ever replacing a file there. Plain C++ on the system calls,
// shared by the recording engine (which places its captures) and the session (which moves a
// take to a free name and recovers interrupted ones), so both behave alike on every file system.
// The unfinished files that a move across file systems or a conversion makes beside its target
// are kept track of here too, so that those a killed run left behind can be found and removed.
#pragma once

#include <string>
#include <vector>

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

// A file made under a hidden name beside its target (".NAME.<kind>-PID-N") is listed, while it
// exists, as a symbolic link to it in a folder of its own, so that a start after a kill finds it
// wherever it lies and removes it once its process is gone. The list's folder is the capture
// folder's "unfinished": $XDG_CACHE_HOME when it is an absolute path, else ~/.cache, then
// "tunewright/unfinished".
std::string unfinishedListFolder();
// The program's own cache folder, which holds the captures and that list: $XDG_CACHE_HOME when
// it is an absolute path, else ~/.cache, then "tunewright"; "" when neither can be told.
std::string programCacheFolder();
// Makes the absolute folder `path` and its missing parents (mode 0700); true when it is a
// folder now.
bool makeFolders(const std::string& path);

enum class Unfinished { Copy, Conversion };

// A hidden name beside `target` that nothing has yet, listed in `listFolder` before anything is
// written under it; forgetting the listing is the owner's, once the file has been placed or
// removed. Without a list (its folder cannot be made) the name is still given: a file lying in
// the folder of the takes is found there too.
class UnfinishedFile {
  public:
    UnfinishedFile(const std::string& target, Unfinished kind,
                   const std::string& listFolder = unfinishedListFolder());
    // Forgets the listing, not the file.
    ~UnfinishedFile();
    UnfinishedFile(const UnfinishedFile&) = delete;
    UnfinishedFile& operator=(const UnfinishedFile&) = delete;

    const std::string& path() const { return path_; }
    bool listed() const { return !listing_.empty(); }

  private:
    std::string path_;
    std::string listing_;
};

struct Leftover {
    std::string path;
    Unfinished kind;
};

// Removes each file listed in `listFolder` whose process is no longer running, with its
// listing; the listings of running processes stay. Only a regular file whose name is one this
// program makes, with the listing's process in it, is ever removed.
std::vector<Leftover> removeListedLeftovers(const std::string& listFolder);
// The same for the hidden files lying in `folder` under a name this program makes, listed or
// not (a program killed before it could list them, or one from before there was a list).
std::vector<Leftover> removeLeftoversIn(const std::string& folder);

// The process exists, as far as this one can tell (one of another user's counts).
bool processRunning(long pid);

// Puts `from` at `to` in the same folder without ever replacing a file there, and never by a
// copy: a rename that refuses to replace, else a hard link, else (a file system with neither) an
// exclusive create of `to` that the rename then replaces. As moveNoReplace otherwise.
Moved placeNoReplace(const std::string& from, const std::string& to, int* error = nullptr);

} // namespace tw::files
