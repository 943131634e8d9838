#pragma once
// Runs a shell command for a test and answers what it wrote on standard output.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

inline std::string KZTestRunCommand(const std::string& strCommand)
{
    std::string strOutput;
    FILE* pPipe = popen(strCommand.c_str(), "r");
    if (!pPipe)
        return strOutput;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof(buffer), pPipe))
        strOutput.append(buffer, n);
    pclose(pPipe);
    return strOutput;
}

// What a command did: its exit status and what it wrote on each stream.
struct SKZTestCommandResult
{
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a shell command in a directory with its streams caught in files beside it.
inline SKZTestCommandResult KZTestRunCommandIn(const std::string& strDirectory, const std::string& strCommand,
                                               const std::string& strCapture)
{
    SKZTestCommandResult result;
    const std::string strOut = strCapture + ".out";
    const std::string strErr = strCapture + ".err";
    const int status =
        system(("cd '" + strDirectory + "' && " + strCommand + " >'" + strOut + "' 2>'" + strErr + "'").c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    for (std::string* pText : {&result.out, &result.err})
    {
        FILE* pFile = fopen((pText == &result.out ? strOut : strErr).c_str(), "rb");
        if (!pFile)
            continue;
        char buffer[4096];
        while (size_t n = fread(buffer, 1, sizeof(buffer), pFile))
            pText->append(buffer, n);
        fclose(pFile);
    }
    remove(strOut.c_str());
    remove(strErr.c_str());
    return result;
}

// Starts a shell command beside the test ("exec PROGRAM ..." makes the answered process the program).
inline pid_t KZTestStartCommand(const std::string& strCommand)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        execl("/bin/sh", "sh", "-c", strCommand.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// How a child process ended: its exit status, 128 + the signal that ended it, or -1 when it ran past
// the limit (it is then killed).
inline int KZTestWaitForProcess(pid_t pid, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0)
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
