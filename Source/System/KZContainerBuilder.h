#pragma once
// A cold storage container written in one pass from a grocery list. The owner frees the list and
// the container whichever way the writing ends, so no failure path leaves a handle to free.

#include "Base/Core/ColdStorageArchive/csatypes.h"

#include <memory>
#include <string>

class CKZContainerBuilder
{
public:
    CKZContainerBuilder();

    // False when the list could not be made; nothing can then be added or stored.
    bool IsValid() const { return m_pList != nullptr; }
    bool AddGrocery(const std::string& strInternalPath, const std::string& strSourcePath);
    // Creates the container at strPath (version 256, mode 0, alignment 1) and stores every grocery
    // through the write function; true when the container was written and closed.
    bool Store(const std::string& strPath, const CSA_WRITEFUNCTION& writeFunction);
    // Writes the header file strHeaderPath for data that is already in its data file: the same
    // serializer image that Store writes, of this header and directory (offsets as they are given).
    // True when it was written; a failure may leave a partial file for the caller to remove.
    static bool WriteHeaderFile(const std::string& strHeaderPath, CSA_HEADER& header, CSA_DIRECTORY& directory);

private:
    struct SListDeleter
    {
        void operator()(void* pList) const;
    };
    std::unique_ptr<void, SListDeleter> m_pList;
};
