#pragma once

#include <string>
#include <vector>

// What exec and posix_spawn take for argv or envp: a pointer to each word, then a null pointer.
// The pointers point into `words`, which must outlive them and stay unchanged.
inline std::vector<char*> exec_words(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    pointers.reserve(words.size() + 1);
    for (auto& word : words) {
        pointers.push_back(word.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}
