// The XML form of a serializer from arbitrary text, read as catalogue records and written out as a
// binary image.
#include "Fuzz/KZFuzzSupport.h"
#include "Base/Serialize/KZFileParser.h"
#include "System/Util/KZFileTimeCache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    const std::filesystem::path source = KZFuzz::ScratchDirectory() / "form.xml";
    const std::filesystem::path image = KZFuzz::ScratchDirectory() / "form.bin";
    KZFuzz::WriteFile(source, pData, size);
    {
        CKZFile file;
        std::unique_ptr<CKZSerializer> pForm;
        if (file.OpenInMemory(source.c_str()) && CKZFileParser::Load(file, pForm) == CKZFileParser::LOAD_OK)
        {
            CKZFileTimeCache cache;
            cache.Serialize(pForm.get(), nullptr);
        }
    }
    if (CKZFileParser::ConvertScene(source.c_str(), image.c_str()) != 0)
        return 0;
    CKZFile written;
    std::unique_ptr<CKZSerializer> pImage;
    if (!written.OpenInMemory(image.c_str()) || CKZFileParser::Load(written, pImage) != CKZFileParser::LOAD_OK ||
        !pImage->IsImageValid())
        KZFuzz::Finding("the image written from XML does not load");
    return 0;
}
