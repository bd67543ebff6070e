#include "platform/system/Instance.h"

#include "platform/system/XdgDirs.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
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

// At most this many later starts are heard at once; one more drops the one waiting longest.
constexpr std::size_t MaxClients = 8;
// A connection that has not sent its whole request by then is closed.
constexpr int ClientWaitMs = 2000;
constexpr std::size_t MaxRequest = 4096;

int g_lock = -1;
int g_listen = -1;
std::string g_socketPath;
QSocketNotifier* g_notifier = nullptr;

std::string basePath(const std::string& key, std::string* problem = nullptr) {
    if (key.empty()) return {};
    const std::string dir = xdg::runtimeDir(problem);
    if (dir.empty()) return {};
    return dir + "/kelvaro-" + std::to_string(::getuid()) + "-" + key;
}

// The folder and the file name of a path in it.
std::pair<std::string, std::string> split(const std::string& path) {
    const auto slash = path.rfind('/');
    return {path.substr(0, slash), path.substr(slash + 1)};
}

bool addressOf(const std::string& path, sockaddr_un& addr) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    path.copy(addr.sun_path, path.size());
    return true;
}

std::string tooLong(const std::string& path) {
    return "the socket path " + path + " is longer than the " +
           std::to_string(sizeof(sockaddr_un::sun_path) - 1) + " bytes a socket's name may have";
}

// The user id of the process at the other end of a Unix socket, or -1.
long peerUid(int fd) {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) return -1;
    return long(cred.uid);
}

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// Reads up to the first newline, or until the peer closes or the deadline passes.
std::optional<std::string> readLine(int fd, Clock::time_point deadline) {
    std::string line;
    char buf[256];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, msLeft(deadline)) > 0) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) break;
        line.append(buf, size_t(n));
        const auto nl = line.find('\n');
        if (nl != std::string::npos) return line.substr(0, nl);
        if (line.size() > MaxRequest) break;
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
        // A client that connects and says nothing gives its place up.
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, [this] { finish(); });
        timer_.start(ClientWaitMs);
        clients().push_back(this);
    }
    ~Client() override {
        if (fd_ >= 0) ::close(fd_);
        leave();
    }
    // The connections heard now, the one waiting longest first.
    static std::deque<Client*>& clients() {
        static std::deque<Client*> all;
        return all;
    }
    // Closes the connection at once (a burst of new ones may be waiting for its place) and
    // the object soon after.
    void finish() {
        notifier_.setEnabled(false);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        deleteLater();
    }

private:
    void readable() {
        char buf[256];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n > 0) buffer_.append(buf, size_t(n));
        const auto nl = buffer_.find('\n');
        if (nl == std::string::npos && n > 0 && buffer_.size() <= MaxRequest) return;
        notifier_.setEnabled(false);
        if (nl != std::string::npos) {
            // Answering may run an event loop (a window shown): nothing ends this connection
            // meanwhile.
            timer_.stop();
            leave();
            const std::string reply = answer_(buffer_.substr(0, nl)) + "\n";
            [[maybe_unused]] const auto sent =
                ::send(fd_, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        finish();
    }

    void leave() {
        auto& all = clients();
        all.erase(std::remove(all.begin(), all.end(), this), all.end());
    }

    int fd_;
    QTimer timer_;
    std::string buffer_;
    std::function<std::string(const std::string&)> answer_;
    QSocketNotifier notifier_;
};

void acceptClients(const std::function<std::string(const std::string&)>& answer) {
    for (;;) {
        const int fd = ::accept4(g_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors or memory: the waiting connection stays in the queue, so
                // listening pauses a moment instead of waking the loop again at once.
                g_notifier->setEnabled(false);
                QTimer::singleShot(200, g_notifier, [] { g_notifier->setEnabled(true); });
            }
            return;
        }
        // Only this user's own programs are heard.
        if (peerUid(fd) != long(::getuid())) {
            ::close(fd);
            continue;
        }
        auto& clients = Client::clients();
        while (clients.size() >= MaxClients) {
            Client* oldest = clients.front();
            clients.pop_front();
            oldest->finish();
        }
        new Client(fd, answer, g_notifier); // gone at the latest with the listener
    }
}

// The process id written in the lock by the copy holding it, or 0.
long holderOf(const std::string& lockPath) {
    const auto bytes = xdg::readPrivateFile(lockPath, 64);
    return bytes ? bytes->trimmed().toLong() : 0;
}

} // namespace

std::string SocketPath(const std::string& key) {
    const std::string base = basePath(key);
    return base.empty() ? base : base + ".socket";
}

std::optional<std::string> Request(const std::string& key, const std::string& request, int waitMs) {
    sockaddr_un addr;
    if (!addressOf(SocketPath(key), addr)) return std::nullopt;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return std::nullopt;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    // A copy whose queue of connections is full refuses for now (EAGAIN): try again until the
    // time is up rather than block.
    int rc;
    while ((rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr)) != 0 &&
           (errno == EAGAIN || errno == EINTR) && msLeft(deadline) > 0)
        ::poll(nullptr, 0, 20);
    // No socket, one left by a copy that is gone, or one another user's program holds.
    if (rc != 0 || peerUid(fd) != long(::getuid())) {
        ::close(fd);
        return std::nullopt;
    }
    const std::string line = request + "\n";
    std::optional<std::string> answer;
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) == ssize_t(line.size()))
        answer = readLine(fd, deadline).value_or(std::string());
    ::close(fd);
    return answer;
}

Claim ClaimSession(const std::string& key, std::string* problem, long* holder) {
    std::string why;
    const std::string base = basePath(key, &why);
    auto say = [&](const std::string& text) {
        if (problem) *problem = text;
    };
    if (base.empty()) {
        say(why.empty() ? "no folder for the one-copy lock" : why);
        return Claim::Failed;
    }
    const auto [dir, lockName] = split(base + ".lock");
    const int folder = xdg::openPrivateFolder(dir, false);
    if (folder < 0) {
        say("the folder " + dir + " " + xdg::privateFileProblem(errno));
        return Claim::Failed;
    }
    const int lock = xdg::openPrivateFile(folder, lockName, O_RDWR | O_CREAT);
    const int lockError = errno;
    if (lock < 0) {
        ::close(folder);
        say("the lock " + base + ".lock " + xdg::privateFileProblem(lockError));
        return Claim::Failed;
    }
    sockaddr_un addr;
    const bool addressable = addressOf(base + ".socket", addr);
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        const bool taken = errno == EWOULDBLOCK;
        ::close(lock);
        ::close(folder);
        if (taken) {
            if (holder) *holder = holderOf(base + ".lock");
            // Nothing will ever answer there: the copy holding it could not listen either.
            say(addressable ? std::string() : tooLong(base + ".socket"));
            return Claim::Taken;
        }
        say("the lock " + base + ".lock can't be taken: " + std::strerror(errno));
        return Claim::Failed;
    }
    // Later starts that find the lock held can say which copy holds it.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(lock, 0) == 0) {
        [[maybe_unused]] const auto n = ::pwrite(lock, pid.data(), pid.size(), 0);
    }
    g_lock = lock;
    if (!addressable) {
        ::close(folder);
        say(tooLong(base + ".socket"));
        return Claim::Alone;
    }
    // Holding the lock, anything at the socket's name is a dead copy's (the folder is ours).
    ::unlinkat(folder, split(base + ".socket").second.c_str(), 0);
    ::close(folder);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // Only this user may connect, whatever the umask (the process has no other threads yet).
    const mode_t mask = ::umask(0177);
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::umask(mask);
    if (!bound || ::listen(fd, 16) != 0) {
        say("the socket " + base + ".socket can't be made: " + std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return Claim::Alone;
    }
    g_listen = fd;
    g_socketPath = addr.sun_path;
    return Claim::Ours;
}

void Serve(std::function<std::string(const std::string& request)> answer) {
    if (g_listen < 0 || g_notifier || !QCoreApplication::instance()) return;
    g_notifier = new QSocketNotifier(g_listen, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(g_notifier, &QSocketNotifier::activated, g_notifier,
                     [answer] { acceptClients(answer); });
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
