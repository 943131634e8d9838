#pragma once
// kztool's command registry. Each subcommand group lives in its own file and registers its
// commands with a static KZTool::CRegistration, so adding a group touches no other file.

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

// args holds the words after the command's own words (after "fs list", say).
typedef int (*CommandFunction)(const std::vector<std::string>& args);

struct SCommand
{
    std::string words;   // "fs list"
    std::string usage;   // "DIR [--recursive] [--pattern P]"
    std::string summary; // one line for kztool help
    CommandFunction run;
};

class CRegistration
{
public:
    explicit CRegistration(const SCommand& command);
};

// Prints "kztool: <message>" on stderr and answers RESULT_FAILURE.
int Fail(const std::string& strMessage);
// Prints the command's usage line on stderr and answers RESULT_USAGE.
int Usage(const std::string& strWords);
}
