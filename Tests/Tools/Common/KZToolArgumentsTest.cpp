// The tools' argument parser on the mistakes people make at a command line: a value left off, a
// number out of range or with text after it, an option nobody declared, an option given twice.

#include "Tools/Common/KZToolArguments.h"

#include <gtest/gtest.h>

#include <climits>

namespace
{
// kzpublish's form: two folders anywhere among options, --help and --version ending the parse.
CKZToolArguments Publisher()
{
    CKZToolArguments arguments(2, 2, CKZToolArguments::POSITIONALS_ANYWHERE);
    arguments.Expect("CLIENT_DIR and SERVER_DIR")
        .AddStop("--help")
        .AddStop("--version")
        .AddOption("--previous")
        .AddNumber("--zip-size", 1, INT32_MAX, "a number of bytes");
    return arguments;
}
}

TEST(KZToolArgumentsTest, MissingValuesAndValuesThatLookLikeOptions)
{
    CKZToolArguments arguments = Publisher();
    EXPECT_FALSE(arguments.Parse({"a", "b", "--previous"}));
    EXPECT_EQ(arguments.Error(), "--previous needs a value");

    // A value is the next word, whatever it looks like: --help here is a folder, not a request.
    ASSERT_TRUE(arguments.Parse({"--previous", "--help", "a", "b"})) << arguments.Error();
    EXPECT_EQ(arguments.Stopped(), "");
    EXPECT_EQ(arguments.Value("--previous"), "--help");
    EXPECT_EQ(arguments.Positionals(), (std::vector<std::string>{"a", "b"}));

    CKZToolArguments steps(1);
    steps.AddOption("--move", 3);
    EXPECT_FALSE(steps.Parse({"dir", "--move", "1", "2"}));
    EXPECT_EQ(steps.Error(), "--move needs 3 values");
}

TEST(KZToolArgumentsTest, NumbersAreWholeDecimalsWithinTheirBounds)
{
    CKZToolArguments arguments = Publisher();
    for (const char* szBad : {"0", "2147483648", "12x", "", " 12", "+12", "1e3", "0x10", "99999999999999999999"})
    {
        EXPECT_FALSE(arguments.Parse({"a", "b", "--zip-size", szBad})) << szBad;
        EXPECT_EQ(arguments.Error(), std::string("--zip-size takes a number of bytes from 1 to 2147483647: ") + szBad);
    }
    ASSERT_TRUE(arguments.Parse({"a", "b", "--zip-size", "2147483647"}));
    EXPECT_EQ(arguments.Number("--zip-size", 5), INT32_MAX);
    ASSERT_TRUE(arguments.Parse({"a", "b"}));
    EXPECT_EQ(arguments.Number("--zip-size", 5), 5);

    // Keys span the signed and the unsigned 32-bit range, both ends included.
    CKZToolArguments keys(2);
    keys.AddNumberAt(1, INT32_MIN, UINT32_MAX);
    EXPECT_TRUE(keys.Parse({"zip", "-2147483648"}));
    EXPECT_EQ(keys.NumberAt(1), INT32_MIN);
    EXPECT_TRUE(keys.Parse({"zip", "4294967295"}));
    EXPECT_EQ(keys.NumberAt(1), UINT32_MAX);
    for (const char* szBad : {"4294967296", "-2147483649", "--1", "1-", "-"})
        EXPECT_FALSE(keys.Parse({"zip", szBad})) << szBad;
    EXPECT_EQ(keys.Error(), "argument 2 takes a number from -2147483648 to 4294967295: -");

    long long value = 7;
    EXPECT_FALSE(CKZToolArguments::ParseInteger("9223372036854775808", LLONG_MIN, LLONG_MAX, value));
    EXPECT_EQ(value, 7) << "a refused number leaves the value alone";
}

TEST(KZToolArgumentsTest, UnknownOptionsAndSurplusWords)
{
    CKZToolArguments arguments = Publisher();
    EXPECT_FALSE(arguments.Parse({"a", "--bogus", "b"}));
    EXPECT_EQ(arguments.Error(), "unknown option --bogus");
    ASSERT_TRUE(arguments.Parse({"-", "b"})) << "a lone dash is a name";
    EXPECT_FALSE(arguments.Parse({"a", "b", "c"}));
    EXPECT_EQ(arguments.Error(), "expected CLIENT_DIR and SERVER_DIR");

    CKZToolArguments list(1);
    list.AddFlag("--recursive");
    EXPECT_FALSE(list.Parse({"dir", "--recursive", "more"}));
    EXPECT_EQ(list.Error(), "unexpected argument more");
    EXPECT_FALSE(list.Parse({"dir", "-r"}));
    EXPECT_EQ(list.Error(), "unknown option -r");
    EXPECT_FALSE(list.Parse({}));
    EXPECT_EQ(list.Error(), "expected 1 argument");
}

TEST(KZToolArgumentsTest, RepeatedOptions)
{
    CKZToolArguments verify(1);
    verify.AddFlag("--json", CKZToolArguments::REPEAT_REFUSED);
    EXPECT_TRUE(verify.Parse({"project", "--json"}));
    EXPECT_FALSE(verify.Parse({"project", "--json", "--json"}));
    EXPECT_EQ(verify.Error(), "--json given more than once");

    // The last value counts, and each occurrence is still checked where it stands.
    CKZToolArguments arguments = Publisher();
    ASSERT_TRUE(arguments.Parse({"a", "--zip-size", "10", "b", "--zip-size", "20"}));
    EXPECT_EQ(arguments.Number("--zip-size", 0), 20);
    EXPECT_FALSE(arguments.Parse({"a", "b", "--zip-size", "x", "--zip-size", "20"}));

    // Steps keep their order across options; a new parse forgets the last one.
    CKZToolArguments patch(1);
    patch.AddOption("--add", 2).AddOption("--remove");
    ASSERT_TRUE(patch.Parse({"dir", "--remove", "a", "--add", "1", "b", "--remove", "c"}));
    std::vector<std::string> vecSteps;
    for (const CKZToolArguments::SOccurrence& step : patch.Occurrences())
        vecSteps.push_back(step.strName + " " + step.vecValues.back());
    EXPECT_EQ(vecSteps, (std::vector<std::string>{"--remove a", "--add b", "--remove c"}));
    ASSERT_TRUE(patch.Parse({"dir"}));
    EXPECT_TRUE(patch.Occurrences().empty());
    EXPECT_FALSE(patch.Has("--add"));
}

// kztool's form: the leading words are positional whatever they look like; after them a word
// that names an option is that option, even where an optional positional word could stand.
TEST(KZToolArgumentsTest, LeadingPositionals)
{
    CKZToolArguments verify(1);
    verify.AddFlag("--json");
    ASSERT_TRUE(verify.Parse({"--json"}));
    EXPECT_EQ(verify[0], "--json");
    EXPECT_FALSE(verify.Has("--json"));

    CKZToolArguments hash(1, 2);
    hash.AddOption("--file");
    ASSERT_TRUE(hash.Parse({"sha1", "--file", "path"}));
    EXPECT_EQ(hash.Count(), 1u);
    EXPECT_EQ(hash.Value("--file"), "path");
    ASSERT_TRUE(hash.Parse({"sha1", "--text"}));
    EXPECT_EQ(hash.Count(), 2u);
    EXPECT_FALSE(hash.Parse({"sha1", "--file", "path", "text"})) << "no positional word after an option";
}

TEST(KZToolArgumentsTest, StopWordsEndTheParseWhereTheyStand)
{
    CKZToolArguments arguments = Publisher();
    ASSERT_TRUE(arguments.Parse({"--help", "--bogus"}));
    EXPECT_EQ(arguments.Stopped(), "--help");
    ASSERT_TRUE(arguments.Parse({"a", "b", "c", "--version"})) << "the count is not checked";
    EXPECT_EQ(arguments.Stopped(), "--version");
    EXPECT_FALSE(arguments.Parse({"--bogus", "--help"}));
    EXPECT_FALSE(arguments.Parse({"--zip-size", "0", "--help"}));
    ASSERT_TRUE(arguments.Parse({"a", "b"}));
    EXPECT_EQ(arguments.Stopped(), "");
}
