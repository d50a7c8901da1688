/*
 * pty_peer.h - a pseudo-terminal behind ROOT/dev/ttyS1: the test plays the device.
 *
 *   PtyPeer      links ROOT/dev/ttyS1 to a fresh pty slave and holds the slave
 *                open, so that the line never hangs up between exchanges; the
 *                test talks on the master side, which is non-blocking so that a
 *                line nobody reads fills up instead of hanging the test.
 *     Send         every byte, waiting for room with a bound; a failure otherwise
 *     SendIfRoom   true when every byte went out within a moment; false, without
 *                  a failure, when the line stays full
 *     Receive      exactly n bytes within timeoutMs; fewer on timeout
 */
#ifndef OMBRELLE_TEST_PTY_PEER_H
#define OMBRELLE_TEST_PTY_PEER_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

class PtyPeer {
public:
    explicit PtyPeer(const std::string &root);
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    int master() const { return master_; }
    int slave() const { return holder_; }

    void Send(const Bytes &bytes) const;
    bool SendIfRoom(const Bytes &bytes) const;
    Bytes Receive(size_t n, int timeoutMs) const;

private:
    int master_ = -1;
    int holder_ = -1;
};

#endif
