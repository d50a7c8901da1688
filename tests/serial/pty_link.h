/*
 * pty_link.h - a pseudo-terminal behind the root prefix's "/dev/ttyS1".
 *
 *   PtyLink         a fresh root prefix whose dev/ttyS1 links to a pty slave; the
 *                   test plays the peer on the master side. The slave is kept
 *                   open and holds distinctive settings (`original`), so that a
 *                   restore shows and the line never hangs up between exchanges.
 *   StderrCapture   standard error into a file while it lives
 *   FdCount         the descriptors open in this process
 */
#ifndef OMBRELLE_TEST_PTY_LINK_H
#define OMBRELLE_TEST_PTY_LINK_H

#include <stdint.h>
#include <termios.h>

#include <string>
#include <vector>

#include "harness.h"

using Bytes = std::vector<uint8_t>;

class PtyLink {
public:
    PtyLink();
    ~PtyLink();
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;

    const harness::TempDir &root() const { return root_; }
    int master() const { return master_; }
    int slave() const { return holder_; }

    /* The slave's settings as the master sees them now. */
    struct termios Seen() const;
    /* What the kernel keeps of the settings-driver bit 0x01000000 on this line (0 or the bit). */
    tcflag_t KeptDriverBit() const { return kept_driver_bit_; }

    void Send(const Bytes &bytes) const;
    /* Puts bytes into the slave's input queue and waits until they are queued there. */
    void Preload(const Bytes &bytes) const;
    /* Reads exactly n bytes from the master within timeoutMs; fewer on timeout. */
    Bytes Receive(size_t n, int timeoutMs) const;

    struct termios original;

private:
    harness::TempDir root_;
    int master_ = -1;
    int holder_ = -1;
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
