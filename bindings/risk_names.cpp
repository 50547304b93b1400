#include "risk_names.hpp"

#include "settings.hpp"

namespace kestrel::bind {

std::string sector_formula(int code) { return "if(ZXZQSector==" + std::to_string(code) + ",1,0)"; }

RiskNames risk_names(py::handle risk_factor_expo, py::handle each_sector_expo, bool extend_mapping) {
    const py::handle expo_map = risk_factor_expo;
    const auto not_a_mapping = [expo_map](const char* what) {
        return py::type_error("setting 'risk_factor_expo' must be a " + std::string(what) +
                              " of risk name to limit, got " +
                              std::string(py::str(py::type::handle_of(expo_map).attr("__name__"))));
    };
    if (!py::hasattr(expo_map, "keys") || !py::hasattr(expo_map, "items")) throw not_a_mapping("mapping");
    RiskNames r;
    r.caller_count = py::len(expo_map);
    const bool sectors = setting_value(each_sector_expo, "each_sector_expo") <= 0.2;
    if (sectors && extend_mapping) {
        // Only adding the sector limits needs a mapping that can be written.
        if (!py::hasattr(expo_map, "__setitem__")) throw not_a_mapping("writable mapping");
        for (int code = 0; code < kSectorCount; ++code) expo_map[py::str(sector_formula(code))] = each_sector_expo;
    }
    std::vector<std::string> sector_names;
    Vec sector_limits;
    for (py::handle item : expo_map.attr("items")()) {
        py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
        if (!py::isinstance<py::str>(kv[0]))
            throw py::type_error("setting 'risk_factor_expo': risk names must be text, got " +
                                 std::string(py::repr(kv[0])));
        std::string name = kv[0].cast<std::string>();
        const double limit = as_double(kv[1], "setting 'risk_factor_expo' limit of '" + name + "'");
        if (!extend_mapping && is_sector_formula(name)) {
            sector_names.push_back(std::move(name));
            sector_limits.push_back(limit);
            continue;
        }
        r.limits.push_back(limit);
        r.names.push_back(std::move(name));
    }
    if (extend_mapping) return r;
    r.caller_count = r.names.size();
    if (sectors) {
        const double limit = setting_value(each_sector_expo, "each_sector_expo");
        for (int code = 0; code < kSectorCount; ++code) {
            r.names.push_back(sector_formula(code));
            r.limits.push_back(limit);
        }
    } else {
        r.names.insert(r.names.end(), sector_names.begin(), sector_names.end());
        r.limits.insert(r.limits.end(), sector_limits.begin(), sector_limits.end());
    }
    return r;
}

bool is_sector_formula(const std::string& name) {
    for (int code = 0; code < kSectorCount; ++code)
        if (name == sector_formula(code)) return true;
    return false;
}

}  // namespace kestrel::bind
