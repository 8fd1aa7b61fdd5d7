// bus.h - a virtual CAN bus shared by simulators on one machine.
//
// Every simulator on bus NAME binds a Unix datagram socket
// /tmp/korva-bus-UID/NAME/PID.sock (KORVA_BUS_DIR/NAME/PID.sock when that is
// set).  Both directories are ours alone (mode 0700, no links), and so is
// every socket connected; a simulator refuses to join otherwise.  On
// joining it lists the directory, connects one socket to each member found
// and greets it ("h" + own path), so that the member connects back.  A frame goes to every member as one
// datagram "f" + frame line (no time stamp, no carriage return); a member
// that leaves says "b" + its path.  Members that vanished without a word are
// dropped when a send to them is refused.
//
// Datagrams to a member whose receive queue is full wait in a queue of our
// own and leave when its socket becomes writable again (a connected Unix
// datagram socket polls writable once the peer has room), so short bursts
// are not lost on a busy machine.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korva_sim {

class Bus {
public:
    Bus() = default;
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;
    ~Bus() { Leave(); }

    // Joins bus name (letters, digits, ".", "_", "-"; at most 64).  On
    // failure returns false with the reason in error.
    bool Join(const std::string &name, std::string &error);
    // Says goodbye to every member and removes our socket.
    void Leave();

    bool Joined() const { return fd_ >= 0; }
    const std::string &Name() const { return name_; }
    size_t PeerCount() const { return peers_.size(); }
    // Datagrams given up because a member's queue overflowed.
    uint64_t Lost() const { return lost_; }

    // Sends a frame line to every member.
    void Broadcast(std::string_view line);
    // Adds the descriptors poll should watch: our socket for reading, members
    // with waiting datagrams for writing.
    void AddPollFds(std::vector<pollfd> &fds) const;
    // Receives what has arrived and sends what waits, without blocking;
    // onFrame gets the line of every frame received.
    void Service(const std::function<void(std::string_view)> &onFrame);

private:
    struct Peer {
        std::string path;               // the member's socket
        int fd = -1;                    // our socket connected to it
        std::deque<std::string> queue;  // datagrams waiting for room
    };
    bool AddPeer(const std::string &path, bool greet);
    // Sends msg, or queues it; false when the member is gone.
    bool SendTo(Peer &peer, std::string msg);
    // Sends queued datagrams; false when the member is gone.
    bool Drain(Peer &peer);
    void RemovePeer(size_t index);

    std::string name_;         // bus name
    std::string dir_;          // directory of the members' sockets
    std::string path_;         // our own socket
    int fd_ = -1;              // our receiving socket
    std::vector<Peer> peers_;  // the other members
    uint64_t lost_ = 0;
};

} // namespace korva_sim
