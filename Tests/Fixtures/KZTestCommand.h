#pragma once
// Runs a shell command for a test and answers what it wrote on standard output.

#include <cstdio>
#include <string>

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
