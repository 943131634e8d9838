// The owner of a container written from a grocery list: what it writes, read back by the
// independent generator, and its failure paths, after which nothing is left to free (the sanitizer
// build checks for leaks and double frees).

#include "System/KZContainerBuilder.h"

#include "Base/Core/ColdStorageArchive/csa.h"
#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <fstream>

namespace
{
class KZContainerBuilderTest : public CKZTestWithDirectory
{
protected:
    KZContainerBuilderTest() : CKZTestWithDirectory("kzcontainerbuilder") {}
    void SetUp() override
    {
        CKZTestWithDirectory::SetUp();
        std::ofstream(Path("a.txt")) << "alpha";
        std::ofstream(Path("b.txt")) << "bravo!";
    }
    std::string Listing(const std::string& strContainer)
    {
        return KZTestRunCommand("python3 " KZ_SOURCE_DIR "/Tests/Fixtures/csa_gen.py read " + Path(strContainer));
    }
};
} // namespace

TEST_F(KZContainerBuilderTest, StoresItsGroceriesInOrder)
{
    CKZContainerBuilder builder;
    ASSERT_TRUE(builder.IsValid());
    ASSERT_TRUE(builder.AddGrocery("Dir\\b.txt", Path("b.txt")));
    ASSERT_TRUE(builder.AddGrocery("a.txt", Path("a.txt")));
    ASSERT_TRUE(builder.Store(Path("p.csa"), csaWriteFile));
    const std::string strListing = Listing("p.csa");
    EXPECT_NE(strListing.find("file\t0\t0\t6\t"), std::string::npos) << strListing;
    EXPECT_NE(strListing.find("\tDir\\b.txt\nfile\t1\t6\t5\t"), std::string::npos) << strListing;
    EXPECT_NE(strListing.find("\nok\n"), std::string::npos) << strListing;
}

// A store that fails has destroyed its container itself; the owner neither closes it again nor
// leaves the list behind, and the path can be written afresh.
TEST_F(KZContainerBuilderTest, FailedStoresLeaveNothingToFree)
{
    {
        CKZContainerBuilder builder;
        ASSERT_TRUE(builder.AddGrocery("a.txt", Path("a.txt")));
        ASSERT_TRUE(builder.AddGrocery("gone.txt", Path("gone.txt")));
        EXPECT_FALSE(builder.Store(Path("p.csa"), csaWriteFile));
        EXPECT_STREQ(csaGetLastMessage(), "Write error.");
    }
    {
        int calls = 0;
        CKZContainerBuilder builder;
        ASSERT_TRUE(builder.AddGrocery("a.txt", Path("a.txt")));
        const auto refuse = [&calls](void*, void*, CSA_LENGTHS&, CSA_FILEINFO&) { return ++calls < 0; };
        EXPECT_FALSE(builder.Store(Path("p.csa"), refuse));
        EXPECT_EQ(calls, 1);
    }
    // A container that cannot be created.
    CKZContainerBuilder builder;
    ASSERT_TRUE(builder.AddGrocery("a.txt", Path("a.txt")));
    EXPECT_FALSE(builder.Store(Path("no/such/folder/p.csa"), csaWriteFile));
    ASSERT_TRUE(builder.Store(Path("p.csa"), csaWriteFile));
    EXPECT_NE(Listing("p.csa").find("\nok\n"), std::string::npos);
}
