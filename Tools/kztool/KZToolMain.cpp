#include "KZTool.h"

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <exception>
#include <map>

namespace
{
std::vector<KZTool::SCommand>& Commands()
{
    static std::vector<KZTool::SCommand> commands;
    return commands;
}

size_t WordCount(const std::string& strWords)
{
    return static_cast<size_t>(std::count(strWords.begin(), strWords.end(), ' ')) + 1;
}

void PrintHelp(FILE* pOut)
{
    fprintf(pOut, "usage: kztool COMMAND [ARGS]   (kztool COMMAND --help, kztool --version)\ncommands:\n");
    std::vector<KZTool::SCommand> sorted = Commands();
    std::sort(sorted.begin(), sorted.end(),
              [](const KZTool::SCommand& a, const KZTool::SCommand& b) { return a.words < b.words; });
    fprintf(pOut, "  help\n      lists every command\n");
    for (const KZTool::SCommand& command : sorted)
        fprintf(pOut, "  %s %s\n      %s\n", command.words.c_str(), command.usage.c_str(), command.summary.c_str());
}

// The command whose words match the longest prefix of the arguments.
const KZTool::SCommand* FindCommand(const std::vector<std::string>& args, size_t& wordsUsed)
{
    const KZTool::SCommand* pBest = nullptr;
    for (const KZTool::SCommand& command : Commands())
    {
        const size_t n = WordCount(command.words);
        if (n > args.size() || (pBest && n <= wordsUsed))
            continue;
        std::string strJoined = args[0];
        for (size_t i = 1; i < n; ++i)
            strJoined += " " + args[i];
        if (strJoined == command.words)
        {
            pBest = &command;
            wordsUsed = n;
        }
    }
    return pBest;
}

// The commands of a group ("zip"), for "kztool zip" alone or with an unknown word after it.
bool PrintGroup(const std::string& strGroup, FILE* pOut)
{
    std::vector<KZTool::SCommand> group;
    for (const KZTool::SCommand& command : Commands())
        if (command.words.compare(0, strGroup.size() + 1, strGroup + " ") == 0)
            group.push_back(command);
    if (group.empty())
        return false;
    std::sort(group.begin(), group.end(),
              [](const KZTool::SCommand& a, const KZTool::SCommand& b) { return a.words < b.words; });
    fprintf(pOut, "usage: kztool %s COMMAND [ARGS]\n%s commands:\n", strGroup.c_str(), strGroup.c_str());
    for (const KZTool::SCommand& command : group)
        fprintf(pOut, "  %s %s\n      %s\n", command.words.c_str(), command.usage.c_str(), command.summary.c_str());
    return true;
}

// The first input file of the command that cannot be read, as one line; empty when all can.
std::string InputProblem(const KZTool::SCommand& command, const std::vector<std::string>& args)
{
    for (size_t i = 0; i < args.size(); ++i)
    {
        const bool bInput =
            (i > 0 && args[i - 1] == "--file") ||
            std::any_of(command.inputs.begin(), command.inputs.end(), [i](int position) {
                return position == KZTool::INPUT_EVERY_ARGUMENT || position == static_cast<int>(i);
            });
        const std::string strProblem = bInput ? KZTool::InputFileProblem(args[i]) : std::string();
        if (!strProblem.empty())
            return strProblem;
    }
    return std::string();
}
}

namespace KZTool
{
CRegistration::CRegistration(const SCommand& command)
{
    Commands().push_back(command);
}

int Fail(const std::string& strMessage)
{
    fprintf(stderr, "kztool: %s\n", strMessage.c_str());
    return RESULT_FAILURE;
}

std::string SystemReason(const std::string& strPath, int error)
{
    return strPath + ": " + strerror(error);
}

int Usage(const std::string& strWords)
{
    for (const SCommand& command : Commands())
    {
        if (command.words == strWords)
        {
            fprintf(stderr, "usage: kztool %s %s\n", command.words.c_str(), command.usage.c_str());
            return RESULT_USAGE;
        }
    }
    PrintHelp(stderr);
    return RESULT_USAGE;
}
}

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
    {
        PrintHelp(stderr);
        return KZTool::RESULT_USAGE;
    }
    if (args[0] == "help" || args[0] == "--help" || args[0] == "-h")
    {
        PrintHelp(stdout);
        return KZTool::RESULT_OK;
    }
    if (args[0] == "--version" || args[0] == "version")
    {
        printf("kztool %s\n", KZ_VERSION);
        return KZTool::RESULT_OK;
    }
    size_t wordsUsed = 0;
    const KZTool::SCommand* pCommand = FindCommand(args, wordsUsed);
    const bool bHelp = args.size() > wordsUsed && (args[wordsUsed] == "--help" || args[wordsUsed] == "-h");
    if (!pCommand && args.size() == 2 && (args[1] == "--help" || args[1] == "-h") && PrintGroup(args[0], stdout))
        return KZTool::RESULT_OK;
    if (!pCommand && PrintGroup(args[0], stderr))
        return KZTool::RESULT_USAGE;
    if (!pCommand)
    {
        fprintf(stderr, "kztool: unknown command '%s'\n", args[0].c_str());
        PrintHelp(stderr);
        return KZTool::RESULT_USAGE;
    }
    if (bHelp)
    {
        printf("usage: kztool %s %s\n    %s\n", pCommand->words.c_str(), pCommand->usage.c_str(),
               pCommand->summary.c_str());
        return KZTool::RESULT_OK;
    }
    const std::vector<std::string> commandArgs(args.begin() + static_cast<long>(wordsUsed), args.end());
    const std::string strProblem = InputProblem(*pCommand, commandArgs);
    if (!strProblem.empty())
        return KZTool::Fail(strProblem);
    CKZToolArguments arguments = pCommand->arguments;
    if (!arguments.Parse(commandArgs))
        return KZTool::Usage(pCommand->words);
    // Whatever a command meets, it ends with one line and a failure status, never an abort.
    try
    {
        return pCommand->run(arguments);
    }
    catch (const std::exception& e)
    {
        return KZTool::Fail(e.what());
    }
}
