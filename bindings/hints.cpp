#include "hints.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace kestrel::bind {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Optimal string alignment distance, letter case ignored: a transposition
// counts as one edit, as typing slips do.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    const std::size_t n = a.size(), m = b.size();
    std::vector<std::size_t> prev2(m + 1), prev(m + 1), cur(m + 1);
    for (std::size_t j = 0; j <= m; ++j) prev[j] = j;
    for (std::size_t i = 1; i <= n; ++i) {
        cur[0] = i;
        for (std::size_t j = 1; j <= m; ++j) {
            const bool same = lower(a[i - 1]) == lower(b[j - 1]);
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (same ? 0 : 1)});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
                cur[j] = std::min(cur[j], prev2[j - 2] + 1);
        }
        std::swap(prev2, prev);
        std::swap(prev, cur);
    }
    return prev[m];
}

// Numbers in notes: six significant digits are enough to see the cause.
std::string num(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", x);
    return buf;
}

}  // namespace

std::string closest_name(std::string_view name, const std::vector<std::string_view>& candidates) {
    std::string_view best;
    std::size_t best_d = 3;
    for (std::string_view c : candidates) {
        if (c == name) return {};
        const std::size_t d = edit_distance(name, c);
        const std::size_t allowed = c.size() >= 8 ? 2 : 1;
        if (d <= allowed && d < best_d) {
            best = c;
            best_d = d;
        }
    }
    return std::string(best);
}

std::string closest_key(std::string_view name, const std::vector<std::string_view>& candidates) {
    std::string best = closest_name(name, candidates);
    if (!best.empty()) return best;
    std::size_t best_prefix = 0;
    for (std::string_view c : candidates) {
        std::size_t p = 0;
        while (p < name.size() && p < c.size() && lower(name[p]) == lower(c[p])) ++p;
        if (p > best_prefix && p >= 5 && 5 * p >= 3 * name.size()) {
            best_prefix = p;
            best = std::string(c);
        }
    }
    return best;
}

std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += i + 1 == names.size() ? " and " : ", ";
        out.append(1, '\'').append(names[i]).append(1, '\'');
    }
    return out;
}

std::string opt_name_note(std::string_view opt_name, bool is_text) {
    std::vector<std::string_view> names;
    for (const auto& a : position::kAlgorithms) names.push_back(a.name);
    std::string note = "opt_name must be one of " + quoted_list(names) + ", spelt exactly (letter case counts)";
    if (!is_text) return note + "; it is not text at all.";
    // A name cut at a NUL character or padded with blanks is still recognisable.
    std::string_view core = opt_name.substr(0, opt_name.find('\0'));
    while (!core.empty() && std::isspace(static_cast<unsigned char>(core.back()))) core.remove_suffix(1);
    while (!core.empty() && std::isspace(static_cast<unsigned char>(core.front()))) core.remove_prefix(1);
    std::string guess = closest_name(core, names);
    if (guess.empty() && core != opt_name && std::find(names.begin(), names.end(), core) != names.end())
        guess = std::string(core);
    if (core.size() != opt_name.size() && opt_name.find('\0') != std::string_view::npos)
        note += "; this one holds a NUL character";
    return guess.empty() ? note + "." : note + "; did you mean '" + guess + "'?";
}

std::string position_error_note(const position::PositionError& e, const position::DispatchParams* params,
                                bool printed) {
    std::string note;
    if (e.row() >= 0) note += "On date row " + std::to_string(e.row());
    if (params && params->algorithm != position::Algorithm::Unknown)
        note +=
            (note.empty() ? "With \"" : " of a \"") + std::string(position::info(params->algorithm).name) + "\" run";
    if (!note.empty()) note += ": ";
    if (std::isnan(e.target())) {
        note += std::string("a weight exceeds its cap (the line ") + (printed ? "printed above" : "below") +
                " lists the securities, weights and caps).";
    } else {
        note += "the weights sum to " + num(e.total()) + " against the target secu_pct=" + num(e.target());
        if (!std::isnan(e.cap_total())) note += "; the caps add up to " + num(e.cap_total());
        note += ".";
    }
    if (params && params->algorithm != position::Algorithm::Unknown) {
        const position::Caps caps = position::info(params->algorithm).caps;
        if (caps == position::Caps::Proportional)
            note += "\nThe caps come from weight_multi=" + num(params->weight_multi) +
                    " (the score-proportional caps add up to weight_multi; it must reach secu_pct)";
        else if (caps == position::Caps::Equal)
            note += "\nThe caps come from each_single_weight=" + num(params->each_single_weight) +
                    " (every security's cap; it times the number of securities must reach secu_pct)";
        if (caps != position::Caps::None) {
            note += ", max_weight=" + num(params->max_weight) +
                    (params->max_weight > 0 ? " (a ceiling on each cap)" : " (no ceiling)");
            note += ", and the floors bench_coeff=" + num(params->bench_coeff) +
                    " and pre_coeff=" + num(params->pre_coeff) + ".";
        }
    }
    if (!std::isnan(e.target()))
        note +=
            std::string("\nsecu_pct is a fraction of capital (1.0 invests all of it), not a percentage") +
            (e.target() > 1.0 ? ": " + num(e.target()) + " asks for " + num(e.target()) + " times the capital." : ".");
    return note;
}

}  // namespace kestrel::bind
