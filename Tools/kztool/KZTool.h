#pragma once
// kztool's command registry. Each subcommand group lives in its own file and registers its
// commands with a static KZTool::CRegistration, so adding a group touches no other file.

#include "Tools/Common/KZToolArguments.h"

#include <string>
#include <vector>

namespace KZTool
{
enum EResult
{
    RESULT_OK = 0,
    RESULT_FAILURE = 1,
    RESULT_USAGE = 2,
};

// arguments holds the words after the command's own words (after "fs list", say), parsed.
typedef int (*CommandFunction)(const CKZToolArguments& arguments);

// An input position that stands for every argument of the command.
const int INPUT_EVERY_ARGUMENT = -1;

struct SCommand
{
    std::string words;   // "fs list"
    std::string usage;   // "DIR [--recursive] [--pattern P]"
    std::string summary; // one line for kztool help
    CommandFunction run;
    // What the command takes; words that do not fit are answered with the usage line before it runs.
    CKZToolArguments arguments;
    // Positions of the arguments that name files the command reads. They are checked before the
    // command runs, as is the argument after "--file" of every command.
    std::vector<int> inputs = {};
};

class CRegistration
{
public:
    explicit CRegistration(const SCommand& command);
};

// Prints "kztool: <message>" on stderr and answers RESULT_FAILURE.
int Fail(const std::string& strMessage);
// "PATH: the system's reason" for an errno value.
std::string SystemReason(const std::string& strPath, int error);
// Prints the command's usage line on stderr and answers RESULT_USAGE.
int Usage(const std::string& strWords);

// Empty when the path names a file that can be read; otherwise one line that says why not
// (missing, a directory, unreadable).
std::string InputFileProblem(const std::string& strPath);
// The whole file; false with the reason in strError.
bool ReadInputFile(const std::string& strPath, std::string& strBytes, std::string& strError);
}
