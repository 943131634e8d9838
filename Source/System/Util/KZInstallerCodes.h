#pragma once
// The installer's states and error codes, shared by the installer and its collaborators.

#include <cstdint>

namespace KZInstaller
{
enum EState : uint32_t
{
    STATE_IDLE = 1,
    STATE_NEW_INSTALL_PREPARE = 2,
    STATE_NEW_INSTALL_DOWNLOAD = 3,
    STATE_UPDATE_PREPARE = 4,
    STATE_UPDATE_COMPARE = 5,
    STATE_UPDATE_DOWNLOAD = 6,
    STATE_INSTALLED = 7,
    STATE_FAILED = 8,
};

enum EErrorCode : int32_t
{
    ERROR_NONE = 0,
    ERROR_SERVER_UNREACHABLE = 1,
    ERROR_CATALOGUE_DOWNLOAD = 2,
    ERROR_CATALOGUE_OPEN = 3,
    ERROR_CATALOGUE_VERSION = 4,
    ERROR_PACK_UPDATE = 6,
    ERROR_CANCELLED = 7,
    ERROR_DISK_SPACE = 8,
};
} // namespace KZInstaller
