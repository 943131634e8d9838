// Platform services that both systems offer in the same form.

#include "Base/Platform/KZPlatform.h"


namespace KZPlatform
{
std::string ShellQuote(const std::string& strText)
{
    std::string strQuoted = "'";
    for (char c : strText)
        strQuoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return strQuoted + "'";
}

int64_t TimeGm(struct tm* pTime)
{
    return static_cast<int64_t>(timegm(pTime));
}

}
