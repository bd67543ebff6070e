// The user's folders as the XDG base directory rules name them, and files kept in them that
// no other account may have a hand in.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace platform::xdg {

// $XDG_CONFIG_HOME, or ~/.config when it is unset, empty or not an absolute path.
QString configHome();

// $XDG_RUNTIME_DIR when it is a folder of this user's that nobody else can enter (mode 0700).
// A set value that isn't is said once on standard error and then ignored: in a folder others
// can write, another account could plant the program's socket, lock or journal.
std::optional<std::string> sessionRuntimeDir();

// The folder for the one-copy socket and lock: the session's runtime folder, or else
// /tmp/kelvaro-runtime-<uid>, made safely. Empty when neither can be used; then *problem says
// why.
std::string runtimeDir(std::string* problem = nullptr);

// A folder of this user's that no one else can enter, opened without following a link at its
// own name (O_DIRECTORY descriptor), made (mode 0700) when create is set and it is missing; a
// folder of ours that others can enter is closed to them. -1 with errno set otherwise: ELOOP a
// link, ENOTDIR not a folder, EPERM another user's.
int openPrivateFolder(const std::string& path, bool create);

// A regular file of this user's in such a folder, opened with flags (O_RDONLY, O_RDWR,
// O_CREAT...; mode 0600 when made) and never through a link at its name, nor blocking on a
// FIFO or device. -1 with errno set otherwise: ELOOP a link, EISDIR a folder, EINVAL another
// kind of file, EPERM another user's. st receives the file's status when given.
int openPrivateFile(int folder, const std::string& name, int flags, struct stat* st = nullptr);

// Reads such a file whole; nothing when it can't be opened so or holds more than maxBytes.
std::optional<QByteArray> readPrivateFile(int folder, const std::string& name, qint64 maxBytes,
                                          struct stat* st = nullptr);
// The same for a file named by its absolute path, whose folder must be such a folder too.
std::optional<QByteArray> readPrivateFile(const std::string& path, qint64 maxBytes,
                                          struct stat* st = nullptr);

// Replaces name in the folder with bytes, atomically: written to a new file beside it and
// renamed over it, so a reader sees the old file or the new one, and a link at the name is
// replaced, never followed.
bool replacePrivateFile(int folder, const std::string& name, const QByteArray& bytes);

// The words for an errno left by the functions above, after a path: "is a symbolic link".
std::string privateFileProblem(int error);

} // namespace platform::xdg
