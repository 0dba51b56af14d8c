// Runs a program as a user would and captures what it prints and its exit status.
#pragma once

#include <string>
#include <vector>

namespace test_process {

struct Result {
    int exit_status = -1; // 0 to 255, or -1 when the process did not exit normally
    int signal = 0;       // the signal that ended it, if any
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments in `workdir`, standard input from /dev/null. `env` entries
// ("NAME=value") are added to the environment.
Result run(const std::vector<std::string>& argv, const std::string& workdir,
           const std::vector<std::string>& env = {});

} // namespace test_process
