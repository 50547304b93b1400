// Text forms of numbers as Python prints them, for report and diagnostic lines.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/numeric.hpp"

namespace kestrel::fmt {

// The shortest text that reads back to the same double, laid out like
// Python's repr(float): fixed notation for decimal exponents -4..15,
// scientific with a signed two-digit exponent otherwise.
inline std::string repr(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    const auto epos = sci.find('e');
    const int exp10 = std::atoi(sci.c_str() + epos + 1);
    std::string mant = sci.substr(0, epos);
    std::string sign;
    if (mant[0] == '-') {
        sign = "-";
        mant.erase(0, 1);
    }
    std::string digits;
    for (char c : mant)
        if (c != '.') digits += c;

    if (exp10 < -4 || exp10 >= 16) {
        std::string out = sign + digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        const int a = std::abs(exp10);
        out += exp10 < 0 ? "e-" : "e+";
        if (a < 10) out += "0";
        return out + std::to_string(a);
    }
    const int point = exp10 + 1;  // digits before the decimal point
    if (point <= 0) return sign + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    if (static_cast<std::size_t>(point) >= digits.size())
        return sign + digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0') + ".0";
    return sign + digits.substr(0, static_cast<std::size_t>(point)) + "." +
           digits.substr(static_cast<std::size_t>(point));
}

template <class Seq, class Each>
std::string bracketed(const Seq& values, Each each) {
    std::string out = "[";
    bool first = true;
    for (const auto& v : values) {
        if (!first) out += ' ';
        first = false;
        out += each(v);
    }
    return out + "]";
}

inline std::string vec(CSpan values) {
    return bracketed(values, [](double v) { return repr(v); });
}

inline std::string indices(const std::vector<Index>& values) {
    return bracketed(values, [](Index v) { return std::to_string(v); });
}

}  // namespace kestrel::fmt
