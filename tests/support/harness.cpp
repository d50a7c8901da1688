#include "harness.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

extern char **environ;

namespace harness {

namespace {

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

std::vector<std::string> SplitWords(const std::string &text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::vector<std::string> MergeEnvironment(const std::vector<std::string> &changes)
{
    std::vector<std::string> merged;
    for (char **e = environ; *e != nullptr; ++e)
        merged.emplace_back(*e);
    for (const std::string &change : changes) {
        bool remove = change[0] == '-';
        std::string name = remove ? change.substr(1) : change.substr(0, change.find('='));
        for (auto it = merged.begin(); it != merged.end();) {
            if (it->compare(0, name.size() + 1, name + "=") == 0)
                it = merged.erase(it);
            else
                ++it;
        }
        if (!remove)
            merged.push_back(change);
    }
    return merged;
}

std::vector<char *> Pointers(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (std::string &s : strings)
        pointers.push_back(&s[0]);
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/ombrelle-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    path_ = buffer.data();
}

TempDir::~TempDir()
{
    nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string &path)
{
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

void WriteFile(const std::string &path, const std::string &content, mode_t mode)
{
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        MakeDirs(path.substr(0, slash));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    chmod(path.c_str(), mode);
}

std::string Emulator()
{
    return OMBRELLE_TEST_EMULATOR;
}

pid_t StartProgram(const std::string &program, const std::vector<std::string> &args,
                   const std::vector<std::string> &env, const std::string &stdoutPath,
                   const std::string &stderrPath)
{
    std::vector<std::string> argv = SplitWords(Emulator());
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envv = MergeEnvironment(env);
    std::vector<char *> argp = Pointers(argv);
    std::vector<char *> envp = Pointers(envv);

    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int in = open("/dev/null", O_RDONLY);
    int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0)
        _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    /* Start the child with the default dispositions the platform would give it. */
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvpe(argp[0], argp.data(), envp.data());
    _exit(127);
}

int WaitProgram(pid_t pid, int timeoutMs)
{
    long deadline = NowMs() + timeoutMs;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status))
                return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        if (done < 0 && errno != EINTR)
            return -1;
        if (NowMs() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(5000);
    }
}

RunResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                     const std::vector<std::string> &env, int timeoutMs)
{
    TempDir outputs;
    pid_t pid = StartProgram(program, args, env, outputs.sub("out"), outputs.sub("err"));
    RunResult result;
    result.status = WaitProgram(pid, timeoutMs);
    result.out = ReadFile(outputs.sub("out"));
    result.err = ReadFile(outputs.sub("err"));
    return result;
}

void InstallProgram(const std::string &program, const std::string &dest)
{
    unlink(dest.c_str());
    if (Emulator().empty()) {
        if (symlink(program.c_str(), dest.c_str()) != 0)
            ADD_FAILURE() << "symlink " << dest << ": " << strerror(errno);
        return;
    }
    WriteFile(dest, "#!/bin/sh\nexec " + Emulator() + " '" + program + "' \"$@\"\n", 0755);
}

bool WaitFor(const std::function<bool()> &condition, int timeoutMs)
{
    long deadline = NowMs() + timeoutMs;
    while (!condition()) {
        if (NowMs() > deadline)
            return false;
        usleep(5000);
    }
    return true;
}

bool WaitForFileContains(const std::string &path, const std::string &needle, int timeoutMs)
{
    return WaitFor([&] { return ReadFile(path).find(needle) != std::string::npos; }, timeoutMs);
}

size_t CountOccurrences(const std::string &haystack, const std::string &needle)
{
    size_t count = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + needle.size()))
        ++count;
    return count;
}

void ExpectInOrder(const std::string &text, const std::vector<std::string> &parts)
{
    size_t at = 0;
    for (const std::string &part : parts) {
        size_t found = text.find(part, at);
        EXPECT_NE(std::string::npos, found) << "missing, in order: " << part << "\nin:\n" << text;
        if (found != std::string::npos)
            at = found + part.size();
    }
}

}  // namespace harness
