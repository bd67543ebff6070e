#include "platform/system/Instance.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace platform::session {

namespace {

// Letters, digits, '.', '_' and '-' stay; anything else (a path's '/', a host's ':') is '_'.
std::string fileSafe(const std::string& s) {
    std::string out = s;
    for (char& ch : out) {
        const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                        (ch >= '0' && ch <= '9') || ch == '.' || ch == '_' || ch == '-';
        if (!ok) ch = '_';
    }
    return out;
}

bool offscreen() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    return platform.startsWith("offscreen") || platform.startsWith("minimal");
}

} // namespace

std::string Key() {
    if (offscreen()) return {};
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    if (!wayland.isEmpty()) return "wl-" + fileSafe(wayland.toStdString());
    const QByteArray x = qgetenv("DISPLAY");
    if (x.isEmpty()) return {};
    char* host = nullptr;
    int display = 0;
    if (!xcb_parse_display(x.constData(), &host, &display, nullptr)) return {};
    // "unix:0" is the local display ":0".
    const std::string where = host && std::string(host) != "unix" ? host : "";
    std::string key = "x" + fileSafe(where) + "-" + std::to_string(display);
    std::free(host);
    return key;
}

bool XDisplayOpens() {
    if (qgetenv("DISPLAY").isEmpty()) return false;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const bool ok = !xcb_connection_has_error(c);
    xcb_disconnect(c);
    return ok;
}

bool DisplayOpens() {
    if (offscreen()) return true;
    if (XDisplayOpens()) return true;
    // The Wayland connection is the toolkit's to make.
    return !qgetenv("WAYLAND_DISPLAY").isEmpty();
}

} // namespace platform::session

namespace platform::instance {

namespace {

int g_lock = -1;
int g_listen = -1;
std::string g_socketPath;
QSocketNotifier* g_notifier = nullptr;

// $XDG_RUNTIME_DIR, or a folder of our own under /tmp where the session gives none.
std::string runtimeDir() {
    const QByteArray xdg = qgetenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (!xdg.isEmpty() && ::stat(xdg.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return xdg.toStdString();
    const std::string dir = "/tmp/kelvaro-runtime-" + std::to_string(::getuid());
    ::mkdir(dir.c_str(), 0700);
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077))
        return {};
    return dir;
}

std::string basePath(const std::string& key) {
    const std::string dir = runtimeDir();
    if (dir.empty() || key.empty()) return {};
    return dir + "/kelvaro-" + std::to_string(::getuid()) + "-" + key;
}

bool addressOf(const std::string& path, sockaddr_un& addr) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    path.copy(addr.sun_path, path.size());
    return true;
}

// Reads up to the first newline, or until the peer closes or waitMs pass.
std::optional<std::string> readLine(int fd, int waitMs) {
    std::string line;
    char buf[256];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, waitMs) > 0) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        line.append(buf, size_t(n));
        const auto nl = line.find('\n');
        if (nl != std::string::npos) return line.substr(0, nl);
        if (line.size() > 4096) break;
    }
    return std::nullopt;
}

// One connection of a later start, read as it arrives without holding up the event loop.
class Client : public QObject {
public:
    Client(int fd, std::function<std::string(const std::string&)> answer, QObject* parent)
        : QObject(parent), fd_(fd), answer_(std::move(answer)),
          notifier_(fd, QSocketNotifier::Read, this) {
        connect(&notifier_, &QSocketNotifier::activated, this, [this] { readable(); });
    }
    ~Client() override { ::close(fd_); }

private:
    void readable() {
        char buf[256];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n > 0) buffer_.append(buf, size_t(n));
        const auto nl = buffer_.find('\n');
        if (nl == std::string::npos && n > 0 && buffer_.size() <= 4096) return;
        notifier_.setEnabled(false);
        if (nl != std::string::npos) {
            const std::string reply = answer_(buffer_.substr(0, nl)) + "\n";
            [[maybe_unused]] const auto sent =
                ::send(fd_, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        deleteLater();
    }

    int fd_;
    std::string buffer_;
    std::function<std::string(const std::string&)> answer_;
    QSocketNotifier notifier_;
};

} // namespace

std::string SocketPath(const std::string& key) {
    const std::string base = basePath(key);
    return base.empty() ? base : base + ".socket";
}

std::optional<std::string> Request(const std::string& key, const std::string& request, int waitMs) {
    sockaddr_un addr;
    if (!addressOf(SocketPath(key), addr)) return std::nullopt;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd); // no socket, or one left by a copy that is gone
        return std::nullopt;
    }
    const std::string line = request + "\n";
    std::optional<std::string> answer;
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size()))
        answer = readLine(fd, waitMs).value_or(std::string());
    ::close(fd);
    return answer;
}

Claim ClaimSession(const std::string& key) {
    const std::string base = basePath(key);
    sockaddr_un addr;
    if (base.empty() || !addressOf(base + ".socket", addr)) return Claim::Failed;
    const int lock = ::open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) return Claim::Failed;
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        const bool taken = errno == EWOULDBLOCK;
        ::close(lock);
        return taken ? Claim::Taken : Claim::Failed;
    }
    // Holding the lock, any socket there is a dead copy's.
    ::unlink(addr.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 16) != 0) {
        if (fd >= 0) ::close(fd);
        ::close(lock);
        return Claim::Failed;
    }
    g_lock = lock;
    g_listen = fd;
    g_socketPath = addr.sun_path;
    return Claim::Ours;
}

void Serve(std::function<std::string(const std::string& request)> answer) {
    if (g_listen < 0 || g_notifier || !QCoreApplication::instance()) return;
    g_notifier = new QSocketNotifier(g_listen, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(g_notifier, &QSocketNotifier::activated, g_notifier, [answer] {
        int fd;
        while ((fd = ::accept4(g_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0)
            new Client(fd, answer, g_notifier); // gone at the latest with the listener
    });
}

void Release() {
    delete g_notifier;
    g_notifier = nullptr;
    if (g_listen >= 0) {
        ::close(g_listen);
        ::unlink(g_socketPath.c_str());
    }
    g_listen = -1;
    // The lock last, so no later start sees the session free while the socket is there.
    if (g_lock >= 0) ::close(g_lock);
    g_lock = -1;
}

} // namespace platform::instance
