// bus.cpp - the virtual CAN bus over Unix datagram sockets.
#include "bus.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
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
} // namespace

bool Bus::Join(const std::string &name, std::string &error) {
    if (!ValidName(name)) {
        error = "bus name must be 1..64 of A-Z a-z 0-9 . _ -";
        return false;
    }
    std::string base = "/tmp/korva-bus-" + std::to_string(getuid());
    if (mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "mkdir " + base + ": " + strerror(errno);
        return false;
    }
    dir_ = base + "/" + name;
    if (mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "mkdir " + dir_ + ": " + strerror(errno);
        return false;
    }
    path_ = dir_ + "/" + std::to_string(getpid()) + ".sock";
    sockaddr_un addr;
    if (!MakeAddress(path_, addr)) {
        error = "socket path too long: " + path_;
        return false;
    }
    fd_ = DatagramSocket();
    if (fd_ < 0) {
        error = std::string("socket: ") + strerror(errno);
        return false;
    }
    unlink(path_.c_str()); // left behind by an earlier process with our pid
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        error = "bind " + path_ + ": " + strerror(errno);
        close(fd_);
        fd_ = -1;
        return false;
    }
    name_ = name;
    // Bound before listing: a member that joins at the same time either is
    // in our listing or finds us in its own.
    if (DIR *d = opendir(dir_.c_str())) {
        std::string own = std::to_string(getpid()) + ".sock";
        while (dirent *e = readdir(d)) {
            std::string entry = e->d_name;
            if (entry.size() > 5 && entry.ends_with(".sock") && entry != own)
                AddPeer(dir_ + "/" + entry, true);
        }
        closedir(d);
    }
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
        case 'h':
            AddPeer(std::string(body), false);
            break;
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
