#pragma once
// A tool's command line: positional words, flags, options with values and options whose value is a
// bounded number, read by one set of rules so that every command treats wrong usage alike. Declare
// what a command takes, Parse() its words, then ask for what was given. A false Parse() is wrong
// usage: the caller prints its usage text (Error() says what was wrong) and exits with status 2.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CKZToolArguments
{
public:
    enum EPlacement
    {
        // The first words are positional whatever they look like, as many as the least count;
        // after them a word is an option if it names one, else positional while there is room.
        // The first option ends the positional words ("kztool fs list DIR --recursive").
        POSITIONALS_LEADING,
        // Positional words stand anywhere among the options; a word that starts with "-" and names
        // no option is wrong usage ("-" alone is positional). The count is checked after the last word.
        POSITIONALS_ANYWHERE,
    };
    enum ERepeat
    {
        REPEAT_ALLOWED, // the last occurrence gives Value(); Occurrences() keeps every one in order
        REPEAT_REFUSED, // a second occurrence is wrong usage
    };
    static constexpr size_t UNLIMITED = SIZE_MAX;

    // Exactly `positionals` positional words, or from `least` to `most`.
    explicit CKZToolArguments(size_t positionals);
    CKZToolArguments(size_t least, size_t most, EPlacement placement = POSITIONALS_LEADING);

    CKZToolArguments& AddFlag(const std::string& strName, ERepeat repeat = REPEAT_ALLOWED);
    // An option followed by `values` words, taken whatever they look like.
    CKZToolArguments& AddOption(const std::string& strName, size_t values = 1, ERepeat repeat = REPEAT_ALLOWED);
    // An option whose value is a whole number in [low, high], refused where it stands; strWhat names
    // the value in the message ("--zip-size takes a number of bytes from 1 to 2147483647: 12x").
    CKZToolArguments& AddNumber(const std::string& strName, long long low, long long high, const std::string& strWhat);
    // The positional word at index, when given, must be a whole number in [low, high].
    CKZToolArguments& AddNumberAt(size_t index, long long low, long long high);
    // A word that ends the parse where it stands (--help, --version): the words after it are not read.
    CKZToolArguments& AddStop(const std::string& strName);
    // What the message on a wrong count of positional words expects ("CLIENT_DIR and SERVER_DIR").
    CKZToolArguments& Expect(const std::string& strWhat);

    // False on wrong usage, with one line in Error(). Each parse starts afresh.
    bool Parse(const std::vector<std::string>& args);
    const std::string& Error() const { return m_strError; }
    // The stop word that ended the parse; empty when every word was read.
    const std::string& Stopped() const { return m_strStopped; }

    size_t Count() const { return m_vecPositionals.size(); }
    const std::string& operator[](size_t index) const { return m_vecPositionals.at(index); }
    const std::vector<std::string>& Positionals() const { return m_vecPositionals; }
    // A positional word declared with AddNumberAt.
    long long NumberAt(size_t index) const;

    bool Has(const std::string& strName) const;
    // The first value of the option's last occurrence, or strDefault when it was not given.
    std::string Value(const std::string& strName, const std::string& strDefault = std::string()) const;
    // The value of an option declared with AddNumber, or fallback when it was not given.
    long long Number(const std::string& strName, long long fallback) const;

    struct SOccurrence
    {
        std::string strName;
        std::vector<std::string> vecValues;
    };
    // Every flag and option as given, in order: for commands whose options are steps taken in turn.
    const std::vector<SOccurrence>& Occurrences() const { return m_vecOccurrences; }

    // A whole decimal number (digits, a leading "-" at most) within [low, high]; false for anything
    // else: "", "12x", " 12", "+12", out of range.
    static bool ParseInteger(const std::string& strText, long long low, long long high, long long& value);

private:
    struct SOption
    {
        std::string strName;
        size_t values = 0;
        ERepeat repeat = REPEAT_ALLOWED;
        bool bStop = false;
        bool bNumber = false;
        long long low = 0;
        long long high = 0;
        std::string strWhat;
    };
    struct SNumberAt
    {
        size_t index;
        long long low;
        long long high;
    };

    const SOption* Find(const std::string& strWord) const;
    bool IsPositional(const std::string& strWord, const SOption* pOption) const;
    bool ReadOption(const SOption& option, const std::vector<std::string>& args, size_t& at);
    bool CheckPositionals();
    bool Refuse(const std::string& strError);

    size_t m_least;
    size_t m_most;
    EPlacement m_placement;
    std::string m_strExpected;
    std::vector<SOption> m_vecOptions;
    std::vector<SNumberAt> m_vecNumbersAt;

    std::vector<std::string> m_vecPositionals;
    std::vector<SOccurrence> m_vecOccurrences;
    std::string m_strStopped;
    std::string m_strError;
};
