#include "Base/Core/KZIOInterface.h"

#include "Base/Core/KZFile.h"
#include "Base/Core/KZFileMem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

// Named for the thread-sanitizer run, which picks the multi-threaded suites by name.
TEST(KZConcurrentIOInterface, DefaultInterfaceChangesWhileFilesAreMade)
{
    CKZIOInterfaceMem memory;
    std::atomic<int> wrongInterfaces{0};
    std::thread switcher([&memory] {
        for (int i = 0; i < 2000; ++i)
        {
            KZFileIO::SetDefaultInterface(&memory);
            KZFileIO::SetDefaultInterface();
        }
    });
    for (int i = 0; i < 2000; ++i)
    {
        CKZFile file;
        if (file.GetIOInterface() != &memory && file.GetIOInterface() != KZFileIO::GetStandardInterface())
            ++wrongInterfaces;
    }
    switcher.join();
    EXPECT_EQ(wrongInterfaces, 0);
    EXPECT_EQ(KZFileIO::GetDefaultInterface(), KZFileIO::GetStandardInterface());
}
