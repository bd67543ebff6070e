#include "platform/system/XdgDirs.h"

#include <QDir>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace platform::xdg {

namespace {

// Closes a descriptor when it goes out of scope, unless released.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

int failWith(int fd, int error) {
    if (fd >= 0) ::close(fd);
    errno = error;
    return -1;
}

} // namespace

QString configHome() {
    const QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) return QDir::homePath() + "/.config";
    return base;
}

std::optional<std::string> sessionRuntimeDir() {
    const QByteArray dir = qgetenv("XDG_RUNTIME_DIR");
    if (dir.isEmpty()) return std::nullopt;
    struct stat st {};
    if (dir.startsWith('/') && ::stat(dir.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::getuid() && (st.st_mode & 07777) == 0700)
        return dir.toStdString();
    static bool said = false;
    if (!said)
        std::fprintf(stderr,
                     "kelvaro: XDG_RUNTIME_DIR (%s) is not a folder of this user's with mode "
                     "0700; it is not used\n",
                     dir.constData());
    said = true;
    return std::nullopt;
}

std::string runtimeDir(std::string* problem) {
    if (auto session = sessionRuntimeDir()) return *session;
    const std::string fallback = "/tmp/kelvaro-runtime-" + std::to_string(::getuid());
    const int fd = openPrivateFolder(fallback, true);
    if (fd < 0) {
        if (problem) *problem = "the folder " + fallback + " " + privateFileProblem(errno);
        return {};
    }
    ::close(fd);
    return fallback;
}

int openPrivateFolder(const std::string& path, bool create) {
    if (create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // A link at the name answers ELOOP, anything else that isn't a folder ENOTDIR.
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) return failWith(fd, errno);
    if (st.st_uid != ::getuid()) return failWith(fd, EPERM);
    if ((st.st_mode & 077) && ::fchmod(fd, st.st_mode & 0700) != 0) return failWith(fd, errno);
    return fd;
}

int openPrivateFile(int folder, const std::string& name, int flags, struct stat* st) {
    const int fd =
        ::openat(folder, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat own {};
    if (::fstat(fd, &own) != 0) return failWith(fd, errno);
    if (!S_ISREG(own.st_mode)) return failWith(fd, S_ISDIR(own.st_mode) ? EISDIR : EINVAL);
    if (own.st_uid != ::getuid()) return failWith(fd, EPERM);
    if (st) *st = own;
    return fd;
}

std::optional<QByteArray> readPrivateFile(int folder, const std::string& name, qint64 maxBytes,
                                          struct stat* st) {
    struct stat own {};
    Fd fd{openPrivateFile(folder, name, O_RDONLY, &own)};
    if (fd.fd < 0 || own.st_size > maxBytes) return std::nullopt;
    QByteArray bytes;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        if (bytes.size() + n > maxBytes) return std::nullopt; // grew while read
        bytes.append(buf, n);
    }
    if (st) *st = own;
    return bytes;
}

std::optional<QByteArray> readPrivateFile(const std::string& path, qint64 maxBytes,
                                          struct stat* st) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    Fd folder{openPrivateFolder(path.substr(0, slash), false)};
    if (folder.fd < 0) return std::nullopt;
    return readPrivateFile(folder.fd, path.substr(slash + 1), maxBytes, st);
}

bool replacePrivateFile(int folder, const std::string& name, const QByteArray& bytes) {
    static std::mt19937_64 random{std::random_device{}()};
    std::string temp;
    Fd fd{-1};
    for (int attempt = 0; attempt < 16 && fd.fd < 0; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random()));
        temp = "." + name + suffix;
        fd.fd = ::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         0600);
        if (fd.fd < 0 && errno != EEXIST) return false;
    }
    if (fd.fd < 0) return false;
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    const bool written = done == bytes.size() && ::fsync(fd.fd) == 0;
    if (::close(fd.release()) != 0 || !written ||
        ::renameat(folder, temp.c_str(), folder, name.c_str()) != 0) {
        ::unlinkat(folder, temp.c_str(), 0);
        return false;
    }
    return true;
}

std::string privateFileProblem(int error) {
    switch (error) {
    case ELOOP:
        return "is a symbolic link";
    case ENOTDIR:
        return "is not a folder";
    case EISDIR:
        return "is a folder";
    case EINVAL:
        return "is not a regular file";
    case EPERM:
        return "belongs to another user";
    default:
        return std::string("can't be used: ") + std::strerror(error);
    }
}

} // namespace platform::xdg
