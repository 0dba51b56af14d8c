// Settings loading on an arbitrary profile and argument vector, in a scratch working directory
// that holds two small image files.
#include "file.h"
#include "fuzz_input.h"
#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

std::string fuzz_input::scratch_dir() {
    static std::string dir = [] {
        char pattern[] = "/dev/shm/tovrela-fuzz-XXXXXX";
        std::string made(mkdtemp(pattern));
        for (const char* image : {"/a.bin", "/b.bin"}) {
            if (const File file{std::fopen((made + image).c_str(), "wb")}) {
                std::fputs("image", file.get());
            }
        }
        return made;
    }();
    return dir;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The settings printouts would flood the fuzzer's own output.
    if (!std::freopen("/dev/null", "w", stdout)) {
        return 0;
    }
    if (chdir(fuzz_input::scratch_dir().c_str()) != 0) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // profile \0 argument \0 argument ...
    auto pieces = fuzz_input::split(data, size);
    if (const File file{std::fopen("update.ini", "wb")}) {
        std::fwrite(pieces.front().data(), 1, pieces.front().size(), file.get());
    }
    std::vector<char*> argv{const_cast<char*>("tovrela-update")};
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        argv.push_back(pieces[i].data());
    }
    argv.push_back(nullptr);

    gSettings = RunSettings{};
    (void)load_settings(static_cast<int>(argv.size() - 1), argv.data());
    unlink("debug.log"); // a profile may turn logging on; keep the file from growing
    return 0;
}
