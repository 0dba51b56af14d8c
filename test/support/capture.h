// What a piece of the tool prints on standard output, taken through a temporary file that stands
// in for file descriptor 1 while it runs.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

// The same for standard error with fd 2.
template <typename F> std::string capture_stdout(F&& run, int fd = 1) {
    std::fflush(fd == 1 ? stdout : stderr);
    std::FILE* file = std::tmpfile();
    const int saved = dup(fd);
    dup2(fileno(file), fd);
    run();
    std::fflush(fd == 1 ? stdout : stderr);
    dup2(saved, fd);
    close(saved);
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) {
        text += static_cast<char>(c);
    }
    std::fclose(file);
    return text;
}
