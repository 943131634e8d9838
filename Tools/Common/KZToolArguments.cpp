#include "Tools/Common/KZToolArguments.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace
{
bool LooksLikeOption(const std::string& strWord)
{
    return strWord.size() > 1 && strWord[0] == '-';
}

std::string Arguments(size_t count)
{
    return std::to_string(count) + (count == 1 ? " argument" : " arguments");
}
}

CKZToolArguments::CKZToolArguments(size_t positionals) : CKZToolArguments(positionals, positionals)
{
}

CKZToolArguments::CKZToolArguments(size_t least, size_t most, EPlacement placement)
    : m_least(least), m_most(most), m_placement(placement)
{
}

CKZToolArguments& CKZToolArguments::AddFlag(const std::string& strName, ERepeat repeat)
{
    return AddOption(strName, 0, repeat);
}

CKZToolArguments& CKZToolArguments::AddOption(const std::string& strName, size_t values, ERepeat repeat)
{
    SOption option;
    option.strName = strName;
    option.values = values;
    option.repeat = repeat;
    m_vecOptions.push_back(option);
    return *this;
}

CKZToolArguments& CKZToolArguments::AddNumber(const std::string& strName, long long low, long long high,
                                              const std::string& strWhat)
{
    AddOption(strName);
    SOption& option = m_vecOptions.back();
    option.bNumber = true;
    option.low = low;
    option.high = high;
    option.strWhat = strWhat;
    return *this;
}

CKZToolArguments& CKZToolArguments::AddNumberAt(size_t index, long long low, long long high)
{
    m_vecNumbersAt.push_back({index, low, high});
    return *this;
}

CKZToolArguments& CKZToolArguments::AddStop(const std::string& strName)
{
    AddFlag(strName);
    m_vecOptions.back().bStop = true;
    return *this;
}

CKZToolArguments& CKZToolArguments::Expect(const std::string& strWhat)
{
    m_strExpected = strWhat;
    return *this;
}

bool CKZToolArguments::Parse(const std::vector<std::string>& args)
{
    m_vecPositionals.clear();
    m_vecOccurrences.clear();
    m_strStopped.clear();
    m_strError.clear();
    for (size_t at = 0; at < args.size(); ++at)
    {
        const std::string& strWord = args[at];
        const SOption* pOption = Find(strWord);
        if (IsPositional(strWord, pOption))
            m_vecPositionals.push_back(strWord);
        else if (!pOption)
            return Refuse((LooksLikeOption(strWord) ? "unknown option " : "unexpected argument ") + strWord);
        else if (pOption->bStop)
        {
            m_strStopped = strWord;
            return true;
        }
        else if (!ReadOption(*pOption, args, at))
            return false;
    }
    return CheckPositionals();
}

long long CKZToolArguments::NumberAt(size_t index) const
{
    long long value = 0;
    ParseInteger((*this)[index], LLONG_MIN, LLONG_MAX, value);
    return value;
}

bool CKZToolArguments::Has(const std::string& strName) const
{
    for (const SOccurrence& occurrence : m_vecOccurrences)
        if (occurrence.strName == strName)
            return true;
    return false;
}

std::string CKZToolArguments::Value(const std::string& strName, const std::string& strDefault) const
{
    for (auto it = m_vecOccurrences.rbegin(); it != m_vecOccurrences.rend(); ++it)
        if (it->strName == strName && !it->vecValues.empty())
            return it->vecValues[0];
    return strDefault;
}

long long CKZToolArguments::Number(const std::string& strName, long long fallback) const
{
    long long value = fallback;
    if (Has(strName))
        ParseInteger(Value(strName), LLONG_MIN, LLONG_MAX, value);
    return value;
}

bool CKZToolArguments::ParseInteger(const std::string& strText, long long low, long long high, long long& value)
{
    if (strText.empty() || strText.find_first_not_of("-0123456789") != std::string::npos)
        return false;
    errno = 0;
    char* pEnd = nullptr;
    const long long parsed = strtoll(strText.c_str(), &pEnd, 10);
    if (errno || *pEnd || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

const CKZToolArguments::SOption* CKZToolArguments::Find(const std::string& strWord) const
{
    for (const SOption& option : m_vecOptions)
        if (option.strName == strWord)
            return &option;
    return nullptr;
}

bool CKZToolArguments::IsPositional(const std::string& strWord, const SOption* pOption) const
{
    if (m_placement == POSITIONALS_ANYWHERE)
        return !pOption && !LooksLikeOption(strWord);
    if (!m_vecOccurrences.empty())
        return false;
    return m_vecPositionals.size() < m_least || (!pOption && m_vecPositionals.size() < m_most);
}

// The option at args[at] with its values; at is left on its last value.
bool CKZToolArguments::ReadOption(const SOption& option, const std::vector<std::string>& args, size_t& at)
{
    if (option.repeat == REPEAT_REFUSED && Has(option.strName))
        return Refuse(option.strName + " given more than once");
    if (args.size() - at - 1 < option.values)
        return Refuse(option.strName +
                      (option.values == 1 ? " needs a value" : " needs " + std::to_string(option.values) + " values"));
    const auto itFirst = args.begin() + static_cast<std::ptrdiff_t>(at + 1);
    SOccurrence occurrence{option.strName, {itFirst, itFirst + static_cast<std::ptrdiff_t>(option.values)}};
    long long value = 0;
    if (option.bNumber && !ParseInteger(occurrence.vecValues[0], option.low, option.high, value))
        return Refuse(option.strName + " takes " + option.strWhat + " from " + std::to_string(option.low) + " to " +
                      std::to_string(option.high) + ": " + occurrence.vecValues[0]);
    m_vecOccurrences.push_back(occurrence);
    at += option.values;
    return true;
}

bool CKZToolArguments::CheckPositionals()
{
    if (Count() < m_least || Count() > m_most)
    {
        if (!m_strExpected.empty())
            return Refuse("expected " + m_strExpected);
        if (m_least == m_most)
            return Refuse("expected " + Arguments(m_least));
        if (m_most == UNLIMITED)
            return Refuse("expected at least " + Arguments(m_least));
        return Refuse("expected " + std::to_string(m_least) + " to " + Arguments(m_most));
    }
    for (const SNumberAt& number : m_vecNumbersAt)
    {
        long long value = 0;
        if (number.index < Count() && !ParseInteger(m_vecPositionals[number.index], number.low, number.high, value))
            return Refuse("argument " + std::to_string(number.index + 1) + " takes a number from " +
                          std::to_string(number.low) + " to " + std::to_string(number.high) + ": " +
                          m_vecPositionals[number.index]);
    }
    return true;
}

bool CKZToolArguments::Refuse(const std::string& strError)
{
    m_strError = strError;
    return false;
}
