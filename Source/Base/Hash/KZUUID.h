#pragma once
// A binary UUID. Generated only on request (the tag constructor); the default one is all zeros.

#include <array>
#include <cstdint>
#include <string>

class CKZUUID
{
public:
    enum EGenerate
    {
        GENERATE
    };

    CKZUUID();
    explicit CKZUUID(EGenerate);
    virtual ~CKZUUID();

    std::string ValueAsString() const;
    std::array<uint8_t, 16> ValueAsArray() const;

private:
    uint8_t m_abValue[16];
};
