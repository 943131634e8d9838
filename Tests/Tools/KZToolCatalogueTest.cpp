// A content team's session with kztool catalogue: add files, stage, split, inspect, report.

#include "Fixtures/KZTestCommand.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(KZToolCatalogue, BuildAndInspectByHand)
{
    const fs::path dir = fs::temp_directory_path() / ("kztoolcat_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "Data");
    std::ofstream(dir / "Data" / "a.bin") << "aaaa";
    std::ofstream(dir / "Data" / "b.bin") << "bbbbbbbb";
    const std::string tool = KZ_BINARY_DIR "/kztool catalogue ";
    const std::string cache = (dir / "Data.ccx").string();
    const std::string a = (dir / "Data" / "a.bin").string(), b = (dir / "Data" / "b.bin").string();
    ASSERT_EQ(system((tool + "add " + cache + " " + a + " " + a + " --prio 2 --relative Data/a.bin").c_str()), 0);
    ASSERT_EQ(system((tool + "add " + cache + " " + b + " " + b + " --relative Data/b.bin").c_str()), 0);
    ASSERT_EQ(system((tool + "stage " + cache + " b.bin 1").c_str()), 0);
    ASSERT_EQ(system((tool + "split " + cache + " 3").c_str()), 0);
    const std::string shown = KZTestRunCommand(tool + "show " + cache);
    EXPECT_EQ(shown.substr(0, shown.find('\n')),
              "name\tpath\tsize\tcompressedSize\ttime\toriginalCrc\texportedCrc\tprio\tstage\tzipIndex\tuserData\t"
              "dependee");
    EXPECT_NE(shown.find("a.bin\tData/a.bin\t4\t4\t"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\t2\t0\t0\t0\t\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("b.bin\tData/b.bin\t8\t8\t"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\t0\t1\t1\t0\t\n"), std::string::npos) << "stage 1, zip 1: " << shown;

    const std::string zips = (dir / "zips.txt").string(), stages = (dir / "stages.txt").string();
    ASSERT_EQ(system((tool + "report " + cache + " " + dir.string() + " " + zips + " " + stages).c_str()), 0);
    std::ifstream stageFile(stages);
    std::string content((std::istreambuf_iterator<char>(stageFile)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "stage\tsize\tcompressedSize\tPercentage\n0\t4\t4\t33.3333\n1\t8\t8\t66.6667\n");

    EXPECT_NE(system((tool + "stage " + cache + " missing.bin 1 2>/dev/null").c_str()), 0);
    EXPECT_NE(system((tool + "show " + (dir / "none.ccx").string() + " 2>/dev/null").c_str()), 0);
    EXPECT_EQ(WEXITSTATUS(system((tool + "split " + cache + " notanumber 2>/dev/null").c_str())), 2);
    fs::remove_all(dir);
}
