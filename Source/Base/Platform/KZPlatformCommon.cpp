// Platform services that both systems offer in the same form.

#include "Base/Platform/KZPlatform.h"

#include <uuid/uuid.h>

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

std::string NewUUIDText()
{
    uuid_t uuid;
    uuid_generate(uuid);
    char szText[37];
    uuid_unparse_lower(uuid, szText);
    return szText;
}
}
