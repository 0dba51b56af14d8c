// The option scanner on arbitrary argument vectors.
#include "fuzz_input.h"
#include "option_scanner.h"

#include <cstring>

std::string fuzz_input::scratch_dir() {
    return "/tmp";
}

namespace {

constexpr const char* option_names[] = {
    "-selftest",      "-vid",         "-pid",         "-hub1bin",
    "-hubpdsharespi", "-readveronly", "-readbinonly", "-checkupdateonly",
    "-backuponly",    "-bus",         "-path",
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    auto pieces = fuzz_input::split(data, size);
    std::vector<char*> argv{const_cast<char*>("tovrela-update")};
    for (auto& piece : pieces) {
        argv.push_back(piece.data());
    }
    argv.push_back(nullptr);

    auto text = build_command_line_text(static_cast<int>(argv.size() - 1), argv.data());
    if (!text) {
        return 0;
    }
    for (const char* name : option_names) {
        char small[64];
        char large[512];
        uint32_t number = 0;
        get_option_value(text.get(), name, small, sizeof small);
        get_option_value(text.get(), name, large, sizeof large);
        get_option_number(text.get(), name, 16, &number);
        get_option_number(text.get(), name, 10, &number);
    }
    // An arbitrary name, and normalisation of raw input with its white space and high bytes.
    std::string name = pieces.front();
    (void)find_option(text.get(), name.c_str());
    std::string raw(reinterpret_cast<const char*>(data), size);
    normalize_text(raw.data());
    return 0;
}
