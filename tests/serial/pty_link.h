/*
 * pty_link.h - a pseudo-terminal behind the root prefix's "/dev/ttyS1".
 *
 *   PtyLink         a fresh root prefix, set as OMBRELLE_ROOT, with a PtyPeer
 *                   behind its dev/ttyS1; the slave holds distinctive settings
 *                   (`original`), so that a restore shows.
 *   StderrCapture   standard error into a file while it lives
 *   FdCount         the descriptors open in this process
 */
#ifndef OMBRELLE_TEST_PTY_LINK_H
#define OMBRELLE_TEST_PTY_LINK_H

#include <stdint.h>
#include <termios.h>

#include <string>

#include "harness.h"
#include "pty_peer.h"

class PtyLink {
public:
    PtyLink();
    ~PtyLink();
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;

    const harness::TempDir &root() const { return root_; }
    int master() const { return peer_.master(); }
    int slave() const { return peer_.slave(); }

    /* The slave's settings as the master sees them now. */
    struct termios Seen() const;
    /* What the kernel keeps of the settings-driver bit 0x01000000 on this line (0 or the bit). */
    tcflag_t KeptDriverBit() const { return kept_driver_bit_; }

    void Send(const Bytes &bytes) const { peer_.Send(bytes); }
    /* Puts bytes into the slave's input queue and waits until they are queued there. */
    void Preload(const Bytes &bytes) const;
    /* Reads exactly n bytes from the master within timeoutMs; fewer on timeout. */
    Bytes Receive(size_t n, int timeoutMs) const { return peer_.Receive(n, timeoutMs); }

    struct termios original;

private:
    harness::TempDir root_;
    PtyPeer peer_{root_.path()};
    tcflag_t kept_driver_bit_ = 0;
};

/* Every member a profile sets, and the other control characters, against the expected values. */
void ExpectProfile(const struct termios &seen, tcflag_t iflag, tcflag_t cflag, cc_t vmin);
/* The settings saved before an exchange are back. */
void ExpectSameSettings(const struct termios &expected, const struct termios &seen);

class StderrCapture {
public:
    explicit StderrCapture(const std::string &path);
    ~StderrCapture();
    std::string Text() const;
    const std::string &path() const { return path_; }

private:
    std::string path_;
    int saved_ = -1;
};

int FdCount();

#endif
