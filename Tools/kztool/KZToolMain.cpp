#include "KZTool.h"

#include <algorithm>
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
    fprintf(pOut, "usage: kztool COMMAND [ARGS]\ncommands:\n");
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
    size_t wordsUsed = 0;
    const KZTool::SCommand* pCommand = FindCommand(args, wordsUsed);
    if (!pCommand)
    {
        fprintf(stderr, "kztool: unknown command '%s'\n", args[0].c_str());
        PrintHelp(stderr);
        return KZTool::RESULT_USAGE;
    }
    const std::vector<std::string> commandArgs(args.begin() + static_cast<long>(wordsUsed), args.end());
    const std::string strProblem = InputProblem(*pCommand, commandArgs);
    if (!strProblem.empty())
        return KZTool::Fail(strProblem);
    // Whatever a command meets, it ends with one line and a failure status, never an abort.
    try
    {
        return pCommand->run(commandArgs);
    }
    catch (const std::exception& e)
    {
        return KZTool::Fail(e.what());
    }
}
