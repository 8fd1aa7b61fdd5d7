// bus.cpp - the virtual CAN bus over Unix datagram sockets.
#include "bus.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

namespace korva_sim {

namespace {
constexpr size_t kMaxQueue = 65536; // datagrams waiting per member

bool ValidName(const std::string &name) {
    if (name.empty() || name.size() > 64) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-';
    }) && name != "." && name != "..";
}

bool MakeAddress(const std::string &path, sockaddr_un &addr) {
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

int DatagramSocket() {
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

bool MemberGone(int err) {
    return err == ECONNREFUSED || err == ENOENT || err == ENOTCONN || err == ECONNRESET;
}

enum class Kind { kDirectory, kSocket };

// Another local user must neither read nor inject frames: every directory
// and socket of a bus is one of our own, reached without following a link.
// path must be a directory or socket (not a link to one) owned by us; a
// directory must give group and others no access.  A path that does not
// exist passes when missingOk (our own socket, before bind).  False with
// "PATH what is wrong" in error.
bool CheckOwn(const std::string &path, Kind kind, bool missingOk, std::string &error) {
    const bool dir = kind == Kind::kDirectory;
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) {
        if (missingOk && errno == ENOENT) return true;
        error = "lstat " + path + ": " + strerror(errno);
        return false;
    }
    const std::string what = dir ? "directory" : "socket";
    if (S_ISLNK(st.st_mode)) error = path + " is a symbolic link, not a " + what + " of its own";
    else if (dir ? !S_ISDIR(st.st_mode) : !S_ISSOCK(st.st_mode)) error = path + " is not a " + what;
    else if (st.st_uid != geteuid())
        error = path + " belongs to user " + std::to_string(st.st_uid) + ", not to us (" +
                std::to_string(geteuid()) + ")";
    else if (dir && (st.st_mode & 077)) {
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = path + " has mode " + mode + ": group or others may use it (it must be 0700)";
    } else return true;
    return false;
}

// Creates path with mode 0700, or accepts it when it exists and is a
// directory of our own.
bool MakeOwnDirectory(const std::string &path, std::string &error) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "mkdir " + path + ": " + strerror(errno);
        return false;
    }
    return CheckOwn(path, Kind::kDirectory, false, error);
}
} // namespace

bool Bus::Join(const std::string &name, std::string &error) {
    if (!ValidName(name)) {
        error = "bus name must be 1..64 of A-Z a-z 0-9 . _ -";
        return false;
    }
    // KORVA_BUS_DIR puts the buses elsewhere (the tests do, leaving the
    // shared directory of the user alone).
    const char *other = getenv("KORVA_BUS_DIR");
    const std::string base = other && *other ? other : "/tmp/korva-bus-" + std::to_string(getuid());
    const std::string dir = base + "/" + name;
    const std::string own = std::to_string(getpid()) + ".sock";
    const std::string path = dir + "/" + own;
    sockaddr_un addr;
    if (!MakeAddress(path, addr)) {
        error = "socket path too long: " + path;
        return false;
    }
    if (!MakeOwnDirectory(base, error) || !MakeOwnDirectory(dir, error) || !CheckOwn(path, Kind::kSocket, true, error))
        return false;
    fd_ = DatagramSocket();
    if (fd_ < 0) {
        error = std::string("socket: ") + strerror(errno);
        return false;
    }
    unlink(path.c_str()); // left behind by an earlier process with our pid
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        error = "bind " + path + ": " + strerror(errno);
        close(fd_);
        fd_ = -1;
        return false;
    }
    // Bound before listing: a member that joins at the same time either is
    // in our listing or finds us in its own.  Every member must be sound
    // before we greet any: a refused join has joined nobody.
    std::vector<std::string> members;
    DIR *d = opendir(dir.c_str());
    bool refused = d == nullptr;
    if (refused) error = "opendir " + dir + ": " + strerror(errno);
    while (dirent *e = refused ? nullptr : readdir(d)) {
        const std::string entry = e->d_name;
        if (entry.size() > 5 && entry.ends_with(".sock") && entry != own) {
            members.push_back(dir + "/" + entry);
            refused = !CheckOwn(members.back(), Kind::kSocket, true, error);
        }
    }
    if (d) closedir(d);
    if (refused) {
        close(fd_);
        fd_ = -1;
        unlink(path.c_str());
        return false;
    }
    name_ = name;
    dir_ = dir;
    path_ = path;
    for (const std::string &m : members) AddPeer(m, true);
    return true;
}

void Bus::Leave() {
    if (fd_ < 0) return;
    while (!peers_.empty()) {
        Peer &p = peers_.back();
        std::string bye = "b" + path_;
        send(p.fd, bye.data(), bye.size(), 0); // best effort
        close(p.fd);
        peers_.pop_back();
    }
    close(fd_);
    fd_ = -1;
    unlink(path_.c_str());
    rmdir(dir_.c_str()); // only when we were the last member
    rmdir(dir_.substr(0, dir_.rfind('/')).c_str()); // and the last bus
}

bool Bus::AddPeer(const std::string &path, bool greet) {
    if (path == path_) return false;
    for (const Peer &p : peers_)
        if (p.path == path) return false;
    sockaddr_un addr;
    if (!MakeAddress(path, addr)) return false;
    int s = DatagramSocket();
    if (s < 0) return false;
    if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (errno == ECONNREFUSED) unlink(path.c_str()); // nobody reads it any more
        close(s);
        return false;
    }
    peers_.push_back(Peer{path, s, {}});
    if (greet && !SendTo(peers_.back(), "h" + path_)) RemovePeer(peers_.size() - 1);
    return true;
}

void Bus::RemovePeer(size_t index) {
    close(peers_[index].fd);
    peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(index));
}

bool Bus::SendTo(Peer &peer, std::string msg) {
    if (peer.queue.empty()) {
        ssize_t n = send(peer.fd, msg.data(), msg.size(), 0);
        if (n >= 0) return true;
        if (MemberGone(errno)) return false;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) return true;
    }
    if (peer.queue.size() >= kMaxQueue) {
        ++lost_;
        return true;
    }
    peer.queue.push_back(std::move(msg));
    return true;
}

bool Bus::Drain(Peer &peer) {
    while (!peer.queue.empty()) {
        const std::string &msg = peer.queue.front();
        ssize_t n = send(peer.fd, msg.data(), msg.size(), 0);
        if (n < 0) {
            if (MemberGone(errno)) return false;
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return true;
            ++lost_; // anything else: give this datagram up
        }
        peer.queue.pop_front();
    }
    return true;
}

void Bus::Broadcast(std::string_view line) {
    std::string msg = "f";
    msg += line;
    for (size_t i = peers_.size(); i-- > 0;)
        if (!SendTo(peers_[i], msg)) RemovePeer(i);
}

void Bus::AddPollFds(std::vector<pollfd> &fds) const {
    if (fd_ < 0) return;
    fds.push_back({fd_, POLLIN, 0});
    for (const Peer &p : peers_)
        if (!p.queue.empty()) fds.push_back({p.fd, POLLOUT, 0});
}

void Bus::Service(const std::function<void(std::string_view)> &onFrame) {
    if (fd_ < 0) return;
    char buf[512];
    for (;;) {
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n < 1) continue;
        std::string_view body(buf + 1, static_cast<size_t>(n) - 1);
        switch (buf[0]) {
        case 'h': {
            // Only a sound socket of our own bus directory is greeted back.
            const std::string path(body);
            std::string why;
            const bool inDir = path.size() > dir_.size() + 1 && path.compare(0, dir_.size() + 1, dir_ + "/") == 0 &&
                               path.find('/', dir_.size() + 1) == std::string::npos;
            if (!inDir)
                fprintf(stderr, "korva_sim: bus: ignored a greeting from %s: not in %s\n", path.c_str(), dir_.c_str());
            else if (!CheckOwn(path, Kind::kSocket, false, why))
                fprintf(stderr, "korva_sim: bus: ignored a greeting: %s\n", why.c_str());
            else AddPeer(path, false);
            break;
        }
        case 'b':
            for (size_t i = 0; i < peers_.size(); ++i)
                if (peers_[i].path == body) {
                    RemovePeer(i);
                    break;
                }
            break;
        case 'f':
            onFrame(body);
            break;
        default:
            break;
        }
    }
    for (size_t i = peers_.size(); i-- > 0;)
        if (!Drain(peers_[i])) RemovePeer(i);
}

} // namespace korva_sim
