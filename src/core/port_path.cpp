#include "port_path.h"

#include <algorithm>

std::string port_path_text(std::span<const uint8_t> ports) {
    std::string text;
    for (const uint8_t port : ports) {
        text += (text.empty() ? "" : ".") + std::to_string(port);
    }
    return text;
}

std::optional<std::vector<unsigned>> dotted_numbers(std::string_view text, unsigned largest) {
    std::vector<unsigned> numbers;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t dot = std::min(text.find('.', at), text.size());
        const std::string_view digits = text.substr(at, dot - at);
        unsigned number = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9' || number > largest) {
                return std::nullopt;
            }
            number = number * 10 + static_cast<unsigned>(c - '0');
        }
        if (digits.empty() || number > largest) {
            return std::nullopt;
        }
        numbers.push_back(number);
        at = dot + 1;
    }
    return numbers;
}

std::optional<std::vector<uint8_t>> parse_port_path(std::string_view text) {
    const auto numbers = dotted_numbers(text, 255);
    if (!numbers || numbers->size() > max_port_count ||
        std::find(numbers->begin(), numbers->end(), 0U) != numbers->end()) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(numbers->begin(), numbers->end());
}
