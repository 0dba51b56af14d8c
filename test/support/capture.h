// What a piece of the tool prints on standard output, taken through a temporary file that stands
// in for file descriptor 1 while it runs.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

template <typename F> std::string capture_stdout(F&& run) {
    std::fflush(stdout);
    std::FILE* file = std::tmpfile();
    const int saved = dup(1);
    dup2(fileno(file), 1);
    run();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) {
        text += static_cast<char>(c);
    }
    std::fclose(file);
    return text;
}
