// The profile reader on arbitrary file contents, section and key names.
#include "IniUpdate.h"
#include "file.h"
#include "fuzz_input.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

std::string fuzz_input::scratch_dir() {
    static std::string dir = [] {
        char pattern[] = "/dev/shm/tovrela-fuzz-XXXXXX";
        return std::string(mkdtemp(pattern));
    }();
    return dir;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // section \0 key \0 file content (which may hold further zero bytes)
    auto pieces = fuzz_input::split(data, size);
    std::string section = pieces.size() > 1 ? pieces[0] : "Config";
    std::string key = pieces.size() > 2 ? pieces[1] : "DbgMsg";
    std::size_t skip = pieces.size() > 2 ? section.size() + key.size() + 2 : 0;
    if (skip > size) {
        skip = size;
    }

    const std::string path = fuzz_input::scratch_dir() + "/update.ini";
    if (const File file{std::fopen(path.c_str(), "wb")}) {
        std::fwrite(data + skip, 1, size - skip, file.get());
    }

    char value[256] = {};
    if (!section.empty() && !key.empty()) {
        (void)read_profile_string(section.c_str(), key.c_str(), value, sizeof value, "NA",
                                  path.c_str());
        (void)read_profile_stringS(section.c_str(), key.c_str(), value, sizeof value, "NA",
                                   path.c_str());
    }
    (void)read_profile_int(section.c_str(), key.c_str(), 7, path.c_str());
    (void)read_profile_hex(section.c_str(), key.c_str(), 7, path.c_str());
    return 0;
}
