#pragma once
// Writes a serializer to a file and reads a file back into one: as XML when the path ends in
// "xml", else as the binary image (node count, version 3, nodes, content).

#include "Base/Core/FileIO/KZPath.h"
#include "Base/Core/KZFile.h"
#include "Base/Serialize/KZSerialize.h"

#include <memory>

class CKZFileParser
{
public:
    enum ELoadResult : int
    {
        LOAD_OK = 0,
        LOAD_NO_DATA = 1,    // the XML text holds no root object
        LOAD_NOT_IN_MEMORY = 3,
    };

    virtual ~CKZFileParser() = default;

    static bool Save(CKZFile& file, CKZSerializer& serializer);
    static bool Save(const CKZPath& path, CKZSerializer& serializer);
    // The file must be loaded in memory (or virtual) and stay open while the serializer is used:
    // a binary image is read where it lies.
    static int Load(CKZFile& file, std::unique_ptr<CKZSerializer>& pSerializer);
    // Binary to XML or back, by the endings of the two paths. 0 done, 1 the source cannot be
    // loaded, 2 the destination cannot be created, or a Load result.
    static int ConvertScene(const char* szSource, const char* szDestination);

    static bool IsXmlPath(const std::string& strPath);

protected:
    virtual void InternalSaveToFile(CKZFile& file, CKZSerializer& serializer) = 0;
    virtual std::unique_ptr<CKZSerializer> InternalLoadFromFile(CKZFile& file) = 0;
};
