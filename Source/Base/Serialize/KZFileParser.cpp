#include "Base/Serialize/KZFileParser.h"

#include "Base/Serialize/KZFileParserXML.h"
#include "Base/Util/KZString.h"

bool CKZFileParser::IsXmlPath(const std::string& strPath)
{
    return KZStringEndsWith(strPath, "xml");
}

bool CKZFileParser::Save(CKZFile& file, CKZSerializer& serializer)
{
    if (IsXmlPath(file.GetFilePath().GetString()))
    {
        CKZFileParserXML xml;
        xml.InternalSaveToFile(file, serializer);
        return file.Good();
    }
    const uint32_t dwHeader[2] = {serializer.GetNodeCount(), 3};
    file.Write(&dwHeader[0], 4, 1);
    file.Write(&dwHeader[1], 4, 1);
    file.Write(serializer.GetNodeBuffer(), 1, static_cast<int>(serializer.GetNodeBufferSize()));
    file.Write(serializer.GetContentBuffer(), 1, static_cast<int>(serializer.GetContentBufferSize()));
    return file.Good();
}

bool CKZFileParser::Save(const CKZPath& path, CKZSerializer& serializer)
{
    CKZFile file;
    if (!file.Open(path.c_str(), "wb"))
        return false;
    return Save(file, serializer);
}

int CKZFileParser::Load(CKZFile& file, std::unique_ptr<CKZSerializer>& pSerializer)
{
    if (!file.GetFileStartPtr())
        return LOAD_NOT_IN_MEMORY;
    if (IsXmlPath(file.GetFilePath().GetString()))
    {
        CKZFileParserXML xml;
        std::unique_ptr<CKZSerializer> pNew = xml.InternalLoadFromFile(file);
        if (!pNew)
            return LOAD_NO_DATA;
        pSerializer = std::move(pNew);
    }
    else
    {
        const int64_t remaining = int64_t(file.GetLength()) - file.Tell();
        pSerializer.reset(new CKZSerializer(static_cast<char*>(file.GetFilePtr()),
                                            static_cast<uint64_t>(remaining > 0 ? remaining : 0)));
    }
    pSerializer->DecryptStrings();
    return LOAD_OK;
}

int CKZFileParser::ConvertScene(const char* szSource, const char* szDestination)
{
    CKZFile source;
    if (!source.OpenInMemory(szSource))
        return 1;
    std::unique_ptr<CKZSerializer> pSerializer;
    const int result = Load(source, pSerializer);
    if (result != LOAD_OK)
        return result;
    // Bytes that are not an image (an empty file, say) are refused, not converted to an empty tree.
    if (!pSerializer->IsImageValid())
        return 1;
    CKZFile destination;
    if (!destination.Open(szDestination, "wb"))
        return 2;
    Save(destination, *pSerializer);
    source.Close();
    return 0;
}
