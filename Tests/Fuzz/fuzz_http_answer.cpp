// The answer of a signed request parsed into its key/value map, then read with the typed getters.
#include "Base/Net/KZHttpRequest.h"
#include "Fuzz/KZFuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    CKZHttpRequest request;
    request.ParseResult(std::string(reinterpret_cast<const char*>(pData), size));
    for (const char* szKey : {"status", "error", "result", "id", "value", "message", ""})
    {
        request.GetValueString(szKey, "");
        request.GetValueInt(szKey, -1);
        request.GetValueUInt(szKey, 0);
        request.GetValueFloat(szKey, 0.0f);
    }
    return 0;
}
