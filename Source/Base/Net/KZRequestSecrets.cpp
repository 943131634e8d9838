// DEPLOYMENT DATA. These 21 eight-character secrets are shared with the web service that checks
// request signatures; a deployment replaces this file with its own table. The values below are
// placeholders for development and tests only.

#include "Base/Net/KZRequestSecrets.h"

#include <array>

namespace
{
// Built at run time from the pieces below, so the table does not sit in the binary as one string.
std::array<std::string, KZRequestSecrets::kCount> BuildTable()
{
    static const char* const s_pieces[KZRequestSecrets::kCount][2] = {
        {"dev0", "a1b2"}, {"dev1", "c3d4"}, {"dev2", "e5f6"}, {"dev3", "g7h8"}, {"dev4", "i9j0"},
        {"dev5", "k1l2"}, {"dev6", "m3n4"}, {"dev7", "o5p6"}, {"dev8", "q7r8"}, {"dev9", "s9t0"},
        {"devA", "u1v2"}, {"devB", "w3x4"}, {"devC", "y5z6"}, {"devD", "A7B8"}, {"devE", "C9D0"},
        {"devF", "E1F2"}, {"devG", "G3H4"}, {"devH", "I5J6"}, {"devI", "K7L8"}, {"devJ", "M9N0"},
        {"devK", "O1P2"},
    };
    std::array<std::string, KZRequestSecrets::kCount> table;
    for (unsigned i = 0; i < KZRequestSecrets::kCount; ++i)
        table[i] = std::string(s_pieces[i][0]) + s_pieces[i][1];
    return table;
}
}

namespace KZRequestSecrets
{
const std::string& Get(unsigned index)
{
    static const std::array<std::string, kCount> s_table = BuildTable();
    return s_table[index < kCount ? index : kCount - 1];
}
}
