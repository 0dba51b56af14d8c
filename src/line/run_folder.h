// The run's folder under the logs folder: DIR/RUN/ (RUN: the UTC start time) with the copies of
// the images, and one working folder per hub and attempt, DIR/RUN/BUS-PATH/ (BUS-PATH.2/ for a
// second board at the same place), with its own "update.ini", its tools' whole output in
// BUS-PATH.log, each tool's events (check.events, update.events, version_after.events,
// read_version.events), its "attempt.json" while it is open (open_attempts.h) and its own
// "debug.log" when LogFile is on. The list's folders are temporary.
#pragma once

#include "images.h"

#include <chrono>
#include <optional>
#include <string>

namespace line {

struct RunFolder {
    std::string run; // the run's name
    std::string path;
    std::string hub_profile; // "update.ini" of every hub's folder
    bool temporary = false;  // removed at the end: the record names no log in it
};

// Makes DIR (and its parents), the run's folder and the image copies. On failure `error` holds
// one line for the user.
std::optional<RunFolder> make_run_folder(const std::string& logs, const ImageSet& images,
                                         std::chrono::system_clock::time_point start,
                                         std::string& error);

struct HubFolder {
    std::string path;
    std::string log; // path of the tool's output
};

// The list's run folder, as the list needs neither "update.ini" nor the images and writes no
// run folder: a private temporary folder with two empty images, which each hub's profile names
// (a tool whose profile's images do not open would not read its own options); removed with its
// owner.
class ListFolder {
  public:
    ListFolder() = default;
    ~ListFolder();
    ListFolder(const ListFolder&) = delete;
    ListFolder& operator=(const ListFolder&) = delete;

    // Makes the folder, in $TMPDIR or /tmp; false with `error` set when it cannot be made.
    bool make(std::chrono::system_clock::time_point start, std::string& error);
    [[nodiscard]] const RunFolder& run() const { return run_; }

  private:
    RunFolder run_;
};

// A new working folder for one attempt on the hub at `place`.
std::optional<HubFolder> make_hub_folder(const RunFolder& run, const std::string& place,
                                         std::string& error);

} // namespace line
