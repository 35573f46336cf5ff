// What a settings file should read as, by a second route: the C++ stream extraction whose rules the
// reader follows (skip white space, optional sign, decimal digits; no digits gives 0, out of range
// gives the nearer limit, and after a failure every later field keeps its value).
#pragma once

#include <array>
#include <cstdint>
#include <sstream>
#include <string>

inline std::array<int32_t, 11> expectedSettings(const std::string& text, std::array<int32_t, 11> fields)
{
    std::istringstream in(text);
    for (int32_t& field : fields) {
        int32_t value = field;
        in >> value;
        field = value;
        if (!in)
            break;
    }
    return fields;
}
