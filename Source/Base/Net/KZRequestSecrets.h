#pragma once
// The secrets that sign JSON requests, shared with the web service.

#include <string>

namespace KZRequestSecrets
{
constexpr unsigned kCount = 21;
// Entry `index` (0 to 20) of the table; a request uses the entry of its version number (0 to 19).
const std::string& Get(unsigned index);
}
