// A serializer image of arbitrary bytes (the current layout and the old one, which is converted in
// place), read as catalogue records and written out as XML, which visits every node.
#include "Fuzz/KZFuzzSupport.h"
#include "Base/Serialize/KZFileParser.h"
#include "System/Util/KZFileTimeCache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size)
{
    const std::filesystem::path source = KZFuzz::ScratchDirectory() / "image.bin";
    const std::filesystem::path xml = KZFuzz::ScratchDirectory() / "image.xml";
    KZFuzz::WriteFile(source, pData, size);
    {
        CKZFile file;
        std::unique_ptr<CKZSerializer> pImage;
        if (file.OpenInMemory(source.c_str()) && CKZFileParser::Load(file, pImage) == CKZFileParser::LOAD_OK &&
            pImage->IsImageValid())
        {
            CKZFileTimeCache cache;
            cache.Serialize(pImage.get(), nullptr);
        }
    }
    if (CKZFileParser::ConvertScene(source.c_str(), xml.c_str()) != 0)
        return 0;
    // What the writer made is read again by the XML reader.
    CKZFile written;
    std::unique_ptr<CKZSerializer> pReread;
    if (!written.OpenInMemory(xml.c_str()))
        KZFuzz::Finding("the written XML cannot be opened");
    CKZFileParser::Load(written, pReread);
    return 0;
}
