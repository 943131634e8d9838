// kztool serial show and convert on a hand-written XML file with declared and undeclared keys.

#include "Fixtures/KZTestCommand.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(KZToolSerial, ShowAndConvert)
{
    const fs::path dir = fs::temp_directory_path() / ("kztoolserial_" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "in.xml") << "<root><version>3</version><object><uint key=\"vec.size\">3</uint>"
                                     "<uint key=\"not.declared.anywhere\">1</uint><object key=\"sub\">"
                                     "<string>hi</string></object></object></root>";
    const std::string tool = KZ_BINARY_DIR "/kztool serial ";
    const std::string shown = KZTestRunCommand(tool + "show " + (dir / "in.xml").string());
    EXPECT_EQ(shown, "index\tkey\tname\tflags\ttype\tvalue\n"
                     "0\t0\t\t00000100\tobject\troot\n"
                     "1\t191211717\tvec.size\t00000202\tuint\t3\n"
                     "2\t197940677\t197940677\t00000202\tuint\t1\n"
                     "3\t31410\t31410\t00000100\tobject\tparent 0\n"
                     "4\t0\t\t00000204\tstring\thi\n");
    ASSERT_EQ(system((tool + "convert " + (dir / "in.xml").string() + " " + (dir / "out.bin").string()).c_str()), 0);
    ASSERT_EQ(system((tool + "convert " + (dir / "out.bin").string() + " " + (dir / "back.xml").string()).c_str()), 0);
    EXPECT_EQ(KZTestRunCommand(tool + "show " + (dir / "back.xml").string()), shown);
    EXPECT_NE(system((tool + "show " + (dir / "missing").string() + " 2>/dev/null").c_str()), 0);
    fs::remove_all(dir);
}
