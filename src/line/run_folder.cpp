#include "run_folder.h"

#include "unique_fd.h"
#include "utc_time.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace line {

namespace {

bool make_folders(const std::string& path, std::string& error) {
    for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            error = "folder \"" + part + "\" cannot be made: " + std::strerror(errno);
            return false;
        }
        if (at == std::string::npos) {
            return true;
        }
    }
}

bool write_file(const std::string& path, const void* bytes, std::size_t size, std::string& error) {
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd || !write_all(fd.get(), static_cast<const char*>(bytes), size) ||
        fsync(fd.get()) != 0) {
        error = "\"" + path + "\" cannot be written: " + std::strerror(errno);
        return false;
    }
    return true;
}

// `base`, or `base`.2, .3 and so on: the first that mkdir makes anew.
std::optional<std::string> new_folder(const std::string& base, std::string& error) {
    for (int n = 1; n < 10000; ++n) {
        const std::string path = n == 1 ? base : base + "." + std::to_string(n);
        if (mkdir(path.c_str(), 0755) == 0) {
            return path;
        }
        if (errno != EEXIST) {
            error = "folder \"" + path + "\" cannot be made: " + std::strerror(errno);
            return std::nullopt;
        }
    }
    error = "no new folder for \"" + base + "\"";
    return std::nullopt;
}

} // namespace

std::optional<RunFolder> make_run_folder(const std::string& logs, const ImageSet& images,
                                         std::chrono::system_clock::time_point start,
                                         std::string& error) {
    if (!make_folders(logs, error)) {
        return std::nullopt;
    }
    RunFolder run;
    auto path = new_folder(logs + "/" + compact_utc(start), error);
    if (!path) {
        return std::nullopt;
    }
    run.path = *path;
    run.run = run.path.substr(run.path.rfind('/') + 1);
    for (std::size_t image = 0; image < 2; ++image) {
        const auto& bytes = images.images[image].bytes;
        if (!write_file(run.path + "/" + copy_names[image], bytes.data(), bytes.size(), error)) {
            return std::nullopt;
        }
    }
    run.hub_profile = hub_profile(images.profile);
    return run;
}

ListFolder::~ListFolder() {
    if (!run_.path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(run_.path, ignored);
    }
}

bool ListFolder::make(std::chrono::system_clock::time_point start, std::string& error) {
    std::error_code error_code;
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(error_code);
    std::string path =
        (error_code ? std::filesystem::path("/tmp") : temporary) / "tovrela-line-list.XXXXXX";
    if (mkdtemp(path.data()) == nullptr) {
        error = "folder \"" + path + "\" cannot be made: " + std::strerror(errno);
        return false;
    }
    run_.path = path;
    run_.run = compact_utc(start);
    run_.temporary = true;
    run_.hub_profile = "[Config]\nTovrelaBin0=../" + std::string(copy_names[0]) +
                       "\nTovrelaBin1=../" + copy_names[1] + "\n";
    return write_file(path + "/" + copy_names[0], "", 0, error) &&
           write_file(path + "/" + copy_names[1], "", 0, error);
}

std::optional<HubFolder> make_hub_folder(const RunFolder& run, const std::string& place,
                                         std::string& error) {
    auto path = new_folder(run.path + "/" + place, error);
    if (!path) {
        return std::nullopt;
    }
    const std::string profile = *path + "/update.ini";
    if (!write_file(profile, run.hub_profile.data(), run.hub_profile.size(), error)) {
        return std::nullopt;
    }
    return HubFolder{*path, *path + "/" + place + ".log"};
}

} // namespace line
