#include "sim_camera.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

SimCamera::SimCamera()
    : root_(dir_.sub("root")), home_(dir_.sub("home")), sim_(dir_.sub("sim"))
{
    harness::MakeDirs(root_ + "/var/log");
    harness::MakeDirs(home_ + "/html");
    harness::MakeDirs(sim_);
}

SimCamera::~SimCamera()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        harness::WaitProgram(pid_, 5000);
    }
}

void SimCamera::Start(const std::vector<std::string> &env)
{
    std::vector<std::string> all = {"OMBRELLE_ROOT=" + root_, "TS_APP_HOME=" + home_, "TSDK_SIM_DIR=" + sim_};
    all.insert(all.end(), env.begin(), env.end());
    pid_ = harness::StartProgram(OMBRELLE_BIN, {}, all, dir_.sub("stdout"), dir_.sub("stderr"));
}

void SimCamera::Signal(int sig)
{
    if (pid_ > 0)
        kill(pid_, sig);
}

int SimCamera::WaitExit(int timeoutMs)
{
    int status = harness::WaitProgram(pid_, timeoutMs);
    pid_ = -1;
    return status;
}

bool SimCamera::WaitLog(const std::string &needle, int timeoutMs) const
{
    return harness::WaitForFileContains(LogPath(), needle, timeoutMs);
}

bool SimCamera::WaitLogCount(const std::string &needle, size_t count, int timeoutMs) const
{
    return harness::WaitFor([&] { return harness::CountOccurrences(Log(), needle) >= count; }, timeoutMs);
}

bool SimCamera::Inject(const std::string &command, int timeoutMs)
{
    std::string handledPath = sim_ + "/handled";
    std::string line = command + "\n";
    size_t before = harness::CountOccurrences(harness::ReadFile(handledPath), line);
    int fd = -1;
    bool opened = harness::WaitFor([&] {
        fd = open((sim_ + "/control").c_str(), O_WRONLY | O_NONBLOCK);
        return fd >= 0;
    }, timeoutMs);
    if (!opened)
        return false;
    ssize_t written = write(fd, line.data(), line.size());
    close(fd);
    if (written != (ssize_t)line.size())
        return false;
    return harness::WaitFor([&] {
        return harness::CountOccurrences(harness::ReadFile(handledPath), line) > before;
    }, timeoutMs);
}
