/*
 * sim_camera.h - Ombrelle as a process in a simulated camera.
 *
 * Each SimCamera has its own root prefix (with var/log), application home
 * (with html/) and SDK simulation directory, all in one temporary directory.
 * Start() runs Ombrelle there; Inject() writes one command to the SDK's control
 * FIFO and waits until the SDK has handled it.
 */
#ifndef OMBRELLE_TEST_SIM_CAMERA_H
#define OMBRELLE_TEST_SIM_CAMERA_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "harness.h"

class SimCamera {
public:
    SimCamera();
    ~SimCamera();

    const std::string &root() const { return root_; }
    const std::string &home() const { return home_; }
    const std::string &sim() const { return sim_; }
    std::string LogPath() const { return root_ + "/var/log/Ombrelle.log"; }
    std::string Log() const { return harness::ReadFile(LogPath()); }
    std::string Stderr() const { return harness::ReadFile(dir_.sub("stderr")); }
    std::string Calls() const { return harness::ReadFile(sim_ + "/calls"); }
    std::string Events() const { return harness::ReadFile(sim_ + "/events"); }

    /* Starts Ombrelle with the camera's environment plus `env` (harness rules). */
    void Start(const std::vector<std::string> &env = {});
    void Signal(int sig);
    /* The exit status, or -1 when it did not end within the bound. */
    int WaitExit(int timeoutMs = 20000);
    bool WaitLog(const std::string &needle, int timeoutMs = 20000) const;
    /* Waits until the log holds `needle` `count` times. */
    bool WaitLogCount(const std::string &needle, size_t count, int timeoutMs = 20000) const;
    /* Sends one simulation command; false when the SDK did not handle it in time. */
    bool Inject(const std::string &command, int timeoutMs = 20000);

private:
    harness::TempDir dir_;
    std::string root_, home_, sim_;
    pid_t pid_ = -1;
};

#endif
