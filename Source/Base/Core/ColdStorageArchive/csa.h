#pragma once
// The cold storage archive: plain functions over opaque handles. A container at path P is the data
// file P and the header file P + "header". It is written once from a grocery list and read back by
// looking files up in its directory. Every function leaves a message for csaGetLastMessage.
// The last message, the callbacks and the counters are process-wide: one thread at a time.

#include "Base/Core/ColdStorageArchive/csatypes.h"

#include <fstream>
#include <string>

// Container lifetime.
void* csaCreate(const char* szPath, unsigned int version, unsigned short mode, unsigned short alignment);
void* csaOpen(const char* szPath);
bool csaClose(void* csa);

// Queries.
unsigned int csaGetNumFiles(void* csa); // 0xFFFFFFFF for a null handle
const char* csaGetFileName(void* csa, unsigned int index);
CSA_FILEINFO* csaGetFileInfo(void* csa, unsigned int index);
bool csaGetHeader(void* csa, CSA_HEADER* pHeader);
CSA_DIRECTORY* csaGetDirectory(void* csa);
// The data stream positioned at the file's first byte; the caller reads dwlength bytes.
std::fstream* csaFindFileStream(void* csa, const char* szInternalPath);
std::fstream* csaGetFileStream(void* csa, const CSA_FILEINFO* pInfo);
const char* csaGetLastMessage();

// Internal paths: relative to the root, "\" separators, no separator at either end.
std::string csaGetInternalPath(const std::string& strPath, const std::string& strRoot);
void csaParsePath(std::string& strRelative, std::string& strNormalised, std::string& strName,
                  std::string& strExtension, const std::string& strPath, const std::string& strRoot);

// Extraction is not provided by this container: these answer failure (or success for no files).
bool csaExtractFileStream(void* csa, const CSA_FILEINFO* pInfo, const char* szDestination);
bool csaExtractAllStream(void* csa, const char* szDestination);

// Writing.
void* csaCreateGroceryList();
bool csaAddGrocery(void* list, const char* szRelative, const char* szSource);
bool csaStoreGroceryList(void* csa, void* list, const CSA_WRITEFUNCTION& writeFunction);
bool csaWriteFile(void* csa, void* grocery, CSA_LENGTHS& lengths, CSA_FILEINFO& info);
bool csaDestroyGroceryList(void* list);
// Saves the header image (header values, then directory) into the open header file and closes it;
// true only when the whole image reached the file.
bool csaSaveHeaderImage(CKZFile& headerFile, CKZSerializer& serializer);
void csaSetOnStoreGroceryCallback(CSA_CALLBACK pCallback);
void csaSetOnExtractFileCallback(CSA_CALLBACK pCallback);
