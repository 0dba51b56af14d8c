// Bytes as hexadecimal text, two digits a byte, for the records of the chip model and the
// simulator: "0a1b" in the simulator's device records and trace, "0A 1B" in the model's
// violations.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

enum class HexLetters { lower, upper };

inline std::string hex_dump(std::span<const uint8_t> bytes, HexLetters letters = HexLetters::lower,
                            std::string_view separator = "") {
    const char* digits = letters == HexLetters::upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * (2 + separator.size()));
    for (const uint8_t byte : bytes) {
        if (!text.empty()) {
            text += separator;
        }
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}
