#pragma once
// Runs a shell command for a test and answers what it wrote on standard output.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>

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
