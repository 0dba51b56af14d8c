// Command-line option scanner: all arguments joined into one cleaned text, searched for option
// names without regard to case; a value is the run of graphic characters after the next '='.
// Character classes are those of the "C" locale, tested by byte value.
#include "option_scanner.h"

#include "result_codes.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

bool is_printable(unsigned char c) {
    return c >= 0x20 && c <= 0x7E;
}
bool is_graphic(unsigned char c) {
    return c >= 0x21 && c <= 0x7E;
}
bool is_space(unsigned char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}
char to_lower(unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// A zero-filled copy of `text`, or null when no memory was available.
std::unique_ptr<char[]> normalized_copy(const char* text) {
    const std::size_t length = std::strlen(text);
    std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 1]());
    if (copy) {
        std::memcpy(copy.get(), text, length);
        normalize_text(copy.get());
    }
    return copy;
}

} // namespace

std::unique_ptr<char[]> build_command_line_text(int argc, char** argv) {
    std::size_t capacity = 1;
    for (int i = 1; i < argc; ++i) {
        capacity += (argv[i] != nullptr ? std::strlen(argv[i]) : 0) + 1;
    }
    std::unique_ptr<char[]> text(new (std::nothrow) char[capacity]);
    if (!text) {
        return nullptr;
    }

    std::size_t end = 0;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr) {
            const std::size_t length = std::strlen(argv[i]);
            std::memcpy(text.get() + end, argv[i], length);
            end += length;
        }
        text[end++] = ' ';
    }
    text[end] = '\0';

    // Keep printable characters only and fold each run of spaces into one; dropped bytes do not
    // interrupt a run.
    std::size_t write = 0;
    bool in_run = false;
    for (std::size_t read = 0; read < capacity; ++read) {
        const auto c = static_cast<unsigned char>(text[read]);
        if (!is_printable(c)) {
            continue;
        }
        if (c == ' ') {
            if (!in_run) {
                text[write++] = ' ';
                in_run = true;
            }
        } else {
            text[write++] = static_cast<char>(c);
            in_run = false;
        }
    }
    text[write] = '\0';
    return text;
}

void normalize_text(char* text) {
    if (text == nullptr) {
        return;
    }
    const std::size_t length = std::strlen(text);
    std::size_t write = 0;
    bool in_run = false;
    for (std::size_t read = 0; read < length; ++read) {
        const auto c = static_cast<unsigned char>(text[read]);
        if (is_space(c)) {
            if (in_run) {
                continue;
            }
            if (c == '\n' && read == length - 1) {
                continue;
            }
            text[write++] = ' ';
            in_run = true;
        } else {
            text[write++] = to_lower(c);
            in_run = false;
        }
    }
    text[write] = '\0';
}

const char* find_option(const char* text, const char* name) {
    if (text == nullptr || name == nullptr || *text == '\0' || *name == '\0') {
        return nullptr;
    }
    const std::unique_ptr<char[]> text_copy = normalized_copy(text);
    if (!text_copy) {
        return nullptr;
    }
    const std::unique_ptr<char[]> name_copy = normalized_copy(name);
    if (!name_copy) {
        return nullptr;
    }
    const char* match = std::strstr(text_copy.get(), name_copy.get());
    if (match == nullptr) {
        return nullptr;
    }
    // Normalising never lengthens a text, so the offset stays inside the given text.
    return text + (match - text_copy.get());
}

int get_option_value(const char* text, const char* name, char* dest, std::size_t dest_size) {
    if (text == nullptr || name == nullptr || dest == nullptr || dest_size == 0) {
        return rc::missing;
    }
    const char* match = find_option(text, name);
    if (match == nullptr) {
        return rc::not_found;
    }
    // The next '=' may belong to a later option; that is the scanner's rule.
    const char* equals = std::strchr(match, '=');
    if (equals == nullptr) {
        return rc::not_found;
    }
    auto value = reinterpret_cast<const unsigned char*>(equals + 1);
    while (*value != '\0' && !is_graphic(*value)) {
        ++value;
    }
    if (*value == '\0') {
        return rc::not_found;
    }
    std::size_t length = 0;
    while (length < dest_size - 1 && is_graphic(value[length])) {
        dest[length] = static_cast<char>(value[length]);
        ++length;
    }
    dest[length] = '\0';
    return rc::ok;
}

int get_option_number(const char* text, const char* name, int base, uint32_t* dest) {
    if (dest == nullptr) {
        return rc::missing;
    }
    char value[64] = {};
    const int result = get_option_value(text, name, value, sizeof value);
    if (result != rc::ok) {
        return result;
    }
    // strtol saturates out-of-range values; the low 32 bits of what it returns are stored.
    const long number = std::strtol(value, nullptr, base);
    *dest = static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(number)));
    return rc::ok;
}
