#include "sim_run.h"

#include <algorithm>
#include <sstream>

namespace sim_run {

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> result;
    for (std::string word; in >> word;) {
        result.push_back(word);
    }
    return result;
}

void VirtualHub::write_files(std::size_t size0, std::size_t size1, const std::string& config) {
    image0 = test_files::pattern_bytes(size0, 0);
    image1 = test_files::pattern_bytes(size1, 1);
    dir.write("image0.bin", image0);
    dir.write("image1.bin", image1);
    dir.write("update.ini",
              "[Config]\n" + config + "TovrelaBin0=image0.bin\nTovrelaBin1=image1.bin\n");
}

SimRun VirtualHub::run(std::vector<std::string> sim_options,
                       const std::vector<std::string>& tool_args,
                       const std::vector<std::string>& wrapper) const {
    std::vector<std::string> argv{TOVRELA_SIM_BIN, "--verdict", dir.file("verdict"), "--flash-out",
                                  dir.file("flash")};
    if (!real_pauses) {
        argv.insert(argv.begin() + 1, "--fast");
    }
    argv.insert(argv.end(), sim_options.begin(), sim_options.end());
    argv.push_back("--");
    argv.insert(argv.end(), wrapper.begin(), wrapper.end());
    argv.push_back(TOVRELA_UPDATE_BIN);
    argv.insert(argv.end(), tool_args.begin(), tool_args.end());
    SimRun result;
    result.process = test_process::run(argv, dir.path());
    result.violations = dir.read("verdict");
    // The closing line of an update that did not end comes last.
    const std::size_t at = result.violations.rfind("End of the run after transfer ");
    if (at != std::string::npos) {
        const std::size_t line = at == 0 ? 0 : result.violations.rfind('\n', at - 1) + 1;
        result.closing = result.violations.substr(line);
        result.violations.resize(line);
    }
    for (int image = 0; image < 2; ++image) {
        const std::string bytes = dir.read("flash/image" + std::to_string(image) + ".bin");
        result.flashed[image].assign(bytes.begin(), bytes.end());
    }
    return result;
}

SimRun VirtualHub::run_hub(const std::vector<std::string>& tool_args,
                           std::vector<std::string> sim_options) const {
    std::vector<std::string> args{"-vid=1234", "-pid=5678"};
    args.insert(args.end(), tool_args.begin(), tool_args.end());
    return run(std::move(sim_options), args);
}

void VirtualHub::expect_flashed(const SimRun& run, bool whole) const {
    for (int image = 0; image < 2; ++image) {
        const auto& bytes = image == 0 ? image0 : image1;
        const auto& flashed = run.flashed[image];
        EXPECT_TRUE(whole ? flashed == bytes
                          : flashed.size() <= bytes.size() &&
                                std::equal(flashed.begin(), flashed.end(), bytes.begin()))
            << "Image " << image << ": " << flashed.size() << " bytes flashed";
    }
}

} // namespace sim_run
