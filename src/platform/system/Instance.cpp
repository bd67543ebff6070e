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

namespace platform {

namespace {

// The connection to the X display that holds the display's one-copy lock (see ClaimSession),
// open from the first look at the lock until Release; null without one.
xcb_connection_t* g_lockConnection = nullptr;

xcb_connection_t* lockConnection() {
    if (!g_lockConnection && !qgetenv("DISPLAY").isEmpty()) {
        g_lockConnection = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(g_lockConnection)) {
            xcb_disconnect(g_lockConnection);
            g_lockConnection = nullptr;
        }
    }
    return g_lockConnection;
}

} // namespace

namespace session {

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
    if (g_lockConnection) return true; // the one-copy lock's
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

} // namespace session

namespace instance {

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

// The display's own lock. Two copies whose runtime folders differ (one started where
// XDG_RUNTIME_DIR is unset, or through su) take different locks there, but show on the same
// X display: the copy that runs also owns an X selection named for the program, as window
// managers and trays own theirs, from an unmapped window of its own that names the copy and
// its socket ("<pid> <uid> <socket path>"). The X server gives the selection up when the copy's
// connection closes, however it ends.
constexpr char DisplayLockName[] = "_KELVARO_S0";
constexpr char HolderName[] = "_KELVARO_HOLDER";

struct DisplayHolder {
    long pid = 0;
    long uid = -1;
    std::string socket;
};

bool isXKey(const std::string& key) {
    return !key.empty() && key[0] == 'x';
}

// The lock's atoms, asked for together (one round trip); XCB_ATOM_NONE where the server failed.
std::pair<xcb_atom_t, xcb_atom_t> lockAtoms(xcb_connection_t* c) {
    const xcb_intern_atom_cookie_t cookies[] = {
        xcb_intern_atom(c, 0, uint16_t(std::strlen(DisplayLockName)), DisplayLockName),
        xcb_intern_atom(c, 0, uint16_t(std::strlen(HolderName)), HolderName)};
    xcb_atom_t atoms[2] = {XCB_ATOM_NONE, XCB_ATOM_NONE};
    for (int i = 0; i < 2; ++i) {
        auto* reply = xcb_intern_atom_reply(c, cookies[i], nullptr);
        if (reply) atoms[i] = reply->atom;
        std::free(reply);
    }
    return {atoms[0], atoms[1]};
}

// The window that owns the display's lock, and what it says of its copy; nullopt when nobody
// owns it (or there is no X display).
std::optional<DisplayHolder> displayHolder(xcb_connection_t* c, xcb_atom_t lock,
                                           xcb_atom_t holder) {
    auto* owner = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, lock), nullptr);
    const xcb_window_t window = owner ? owner->owner : XCB_NONE;
    std::free(owner);
    if (window == XCB_NONE) return std::nullopt;
    DisplayHolder h;
    auto* p = xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, holder, XCB_ATOM_STRING, 0, 1024), nullptr);
    if (p && p->format == 8) {
        const std::string text(static_cast<const char*>(xcb_get_property_value(p)),
                               std::size_t(xcb_get_property_value_length(p)));
        char* rest = nullptr;
        h.pid = std::strtol(text.c_str(), &rest, 10);
        h.uid = std::strtol(rest, &rest, 10);
        if (*rest == ' ') h.socket = rest + 1;
    }
    std::free(p);
    return h;
}

std::optional<DisplayHolder> displayHolder() {
    xcb_connection_t* c = lockConnection();
    if (!c) return std::nullopt;
    const auto [lock, holder] = lockAtoms(c);
    return displayHolder(c, lock, holder);
}

// Takes the display's lock for this process, naming socket (empty: none) as its own; or tells
// who holds it. nullopt: the lock is ours, or there is no X display to hold one on.
std::optional<DisplayHolder> claimDisplay(const std::string& socket) {
    xcb_connection_t* c = lockConnection();
    if (!c) return std::nullopt;
    const auto [lock, holder] = lockAtoms(c);
    if (lock == XCB_ATOM_NONE || holder == XCB_ATOM_NONE) return std::nullopt;
    // Looking and taking are one step for the server: no other copy comes between.
    xcb_grab_server(c);
    std::optional<DisplayHolder> other = displayHolder(c, lock, holder);
    if (!other) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const xcb_window_t window = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, -1, -1, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        const std::string text =
            std::to_string(::getpid()) + " " + std::to_string(::getuid()) + " " + socket;
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, holder, XCB_ATOM_STRING, 8,
                            uint32_t(text.size()), text.data());
        xcb_set_selection_owner(c, window, lock, XCB_CURRENT_TIME);
    }
    xcb_ungrab_server(c);
    xcb_flush(c);
    return other;
}

} // namespace

std::string SocketPath(const std::string& key) {
    const std::string base = basePath(key);
    return base.empty() ? base : base + ".socket";
}

namespace {

std::optional<std::string> requestAt(const std::string& socket, const std::string& request,
                                     int waitMs) {
    sockaddr_un addr;
    if (!addressOf(socket, addr)) return std::nullopt;
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

} // namespace

std::optional<std::string> Request(const std::string& key, const std::string& request, int waitMs) {
    const std::string own = SocketPath(key);
    std::optional<std::string> answer = requestAt(own, request, waitMs);
    if (answer || !isXKey(key)) return answer;
    // The copy on this display may listen in another runtime folder: it names its socket there.
    const std::optional<DisplayHolder> holder = displayHolder();
    if (!holder || holder->socket.empty() || holder->socket == own) return answer;
    return requestAt(holder->socket, request, waitMs);
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
    // The runtime folder's lock is ours; the display's may be another copy's, one that keeps
    // its lock in another runtime folder.
    if (isXKey(key)) {
        if (const auto other = claimDisplay(addressable ? base + ".socket" : std::string())) {
            ::close(lock);
            ::close(folder);
            if (holder) *holder = other->pid;
            if (other->uid != long(::getuid()))
                say("it is another user's");
            else if (other->socket.empty())
                say("it has no socket to reach it by");
            return Claim::Taken;
        }
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
    // The locks last, so no later start sees the session free while the socket is there.
    if (g_lockConnection) xcb_disconnect(g_lockConnection); // gives the display's lock up
    g_lockConnection = nullptr;
    if (g_lock >= 0) ::close(g_lock);
    g_lock = -1;
}

} // namespace instance

} // namespace platform
