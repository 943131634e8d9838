#include "System/KZContainerBuilder.h"

#include "Base/Core/ColdStorageArchive/csa.h"

namespace
{
struct SContainerCloser
{
    void operator()(void* pContainer) const { csaClose(pContainer); }
};
} // namespace

void CKZContainerBuilder::SListDeleter::operator()(void* pList) const
{
    csaDestroyGroceryList(pList);
}

CKZContainerBuilder::CKZContainerBuilder() : m_pList(csaCreateGroceryList())
{
}

bool CKZContainerBuilder::AddGrocery(const std::string& strInternalPath, const std::string& strSourcePath)
{
    return m_pList && csaAddGrocery(m_pList.get(), strInternalPath.c_str(), strSourcePath.c_str());
}

bool CKZContainerBuilder::Store(const std::string& strPath, const CSA_WRITEFUNCTION& writeFunction)
{
    if (!m_pList)
        return false;
    std::unique_ptr<void, SContainerCloser> pContainer(csaCreate(strPath.c_str(), 256, 0, 1));
    if (!pContainer)
        return false;
    if (!csaStoreGroceryList(pContainer.get(), m_pList.get(), writeFunction))
    {
        // A failed store of a valid list into a new container has destroyed the container.
        static_cast<void>(pContainer.release());
        return false;
    }
    return true;
}

bool CKZContainerBuilder::WriteHeaderFile(const std::string& strHeaderPath, CSA_HEADER& header,
                                          CSA_DIRECTORY& directory)
{
    // The order csaStoreGroceryList serializes in: the header values, then the directory.
    CKZSerializer serializer;
    header.Serialize(&serializer);
    directory.dwnumfiles = static_cast<uint32_t>(directory.pfileinfo.size());
    directory.Serialize(&serializer);
    CKZFile headerFile;
    return headerFile.Open(strHeaderPath.c_str(), "wb") && csaSaveHeaderImage(headerFile, serializer);
}
