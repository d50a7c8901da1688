/*
 * harness.h - what the tests need around the programs under test.
 *
 *   TempDir            a fresh directory, removed with everything in it
 *   ReadFile / WriteFile / MakeDirs / FileExists
 *   StartProgram / WaitProgram / RunProgram
 *                      start a program with extra environment, its output in
 *                      files, and wait for it with a bound; in a cross build the
 *                      program is started through the emulator
 *   InstallProgram     make a path run a built program (a link on the host, a
 *                      wrapper script through the emulator in a cross build), for
 *                      programs that another program starts through the shell
 *   WaitFor / WaitForFileContains
 *                      poll a condition with a bound
 *   NowMs              the monotonic clock in milliseconds, for deadlines
 *   ExpectInOrder      a failure for each part missing from a text in the given order
 */
#ifndef OMBRELLE_TEST_HARNESS_H
#define OMBRELLE_TEST_HARNESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace harness {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string sub(const std::string &relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

std::string ReadFile(const std::string &path);  /* "" when missing */
bool FileExists(const std::string &path);
void MakeDirs(const std::string &path);
/* Creates the parent directories as needed. */
void WriteFile(const std::string &path, const std::string &content, mode_t mode = 0644);

/* env entries: "NAME=value" sets or overrides, "-NAME" removes. */
pid_t StartProgram(const std::string &program, const std::vector<std::string> &args,
                   const std::vector<std::string> &env, const std::string &stdoutPath,
                   const std::string &stderrPath);

/* Exit status 0..255, 128 + signal number after a signal, or -1 after the
 * bound (the program is then killed and reaped). */
int WaitProgram(pid_t pid, int timeoutMs);

struct RunResult {
    int status;
    std::string out;
    std::string err;
};
RunResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                     const std::vector<std::string> &env, int timeoutMs = 30000);

void InstallProgram(const std::string &program, const std::string &dest);

/* The emulator words that start a target program ("" on the host). */
std::string Emulator();

bool WaitFor(const std::function<bool()> &condition, int timeoutMs);
bool WaitForFileContains(const std::string &path, const std::string &needle, int timeoutMs);
size_t CountOccurrences(const std::string &haystack, const std::string &needle);

long NowMs();
void ExpectInOrder(const std::string &text, const std::vector<std::string> &parts);

}  // namespace harness

#endif
