// The keys of a JSON line in the order the line writes them, for the tests of tovrela-line's
// record and events (nlohmann::json itself keeps them sorted).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace json_keys {

inline std::vector<std::string> in_order(const nlohmann::ordered_json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items()) {
        keys.push_back(item.key());
    }
    return keys;
}

} // namespace json_keys
