#include "line_run.h"

#include "hub_job.h"
#include "signal_names.h"
#include "utc_time.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <poll.h>

namespace line {

namespace {

using Steady = std::chrono::steady_clock;
using Wall = std::chrono::system_clock;

constexpr auto listing_period = std::chrono::milliseconds(500);
constexpr int tick_ms = 250;

double seconds_since(Steady::time_point start) {
    return std::chrono::duration<double>(Steady::now() - start).count();
}

std::string shown(const std::string& result_word) {
    std::string text = result_word;
    std::replace(text.begin(), text.end(), '_', ' ');
    return text;
}

std::string hex4(uint16_t value) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "%04x", value);
    return text.data();
}

class Line {
  public:
    Line(const LineSetup& setup, LineSignals& signals, Display& display)
        : setup_(setup), options_(setup.options), signals_(signals), display_(display) {}

    void add(const HubInfo& hub) {
        auto board = std::make_unique<Board>();
        board->hub = hub;
        boards_.push_back(std::move(board));
    }
    int run();

  private:
    void start_ready();
    void begin_board(Board& board);
    void start_step(Board& board, Step step);
    void finish_step(Board& board);
    void finish_board(Board& board, const std::string& result_word, const std::string& why = "");
    void read_output(Board& board);
    void show_progress(Board& board) const;
    void take_signals();
    void relist();
    void record(const Board& board);
    [[nodiscard]] AttemptRecord record_of(const Board& board) const;
    void end_line(Board& board) const;
    void redraw();
    void report();
    [[nodiscard]] bool finished() const;
    [[nodiscard]] std::size_t running() const;
    [[nodiscard]] std::string summary() const;

    const LineSetup& setup_;
    const LineOptions& options_;
    LineSignals& signals_;
    Display& display_;
    std::vector<std::unique_ptr<Board>> boards_;
    int stop_signal_ = 0;
    unsigned started_ = 0;
    unsigned good_ = 0;
    unsigned bad_ = 0;
    std::vector<std::string> incomplete_;
    std::vector<std::string> unrecorded_;
    bool record_failed_ = false; // a record line could not be written at its time
    Steady::time_point last_listing_ = Steady::now();
};

std::size_t Line::running() const {
    return static_cast<std::size_t>(
        std::count_if(boards_.begin(), boards_.end(), [](const auto& b) {
            return b->step != Step::queued && b->step != Step::done;
        }));
}

bool Line::finished() const {
    if (running() > 0) {
        return false;
    }
    if (stop_signal_ != 0) {
        return true;
    }
    if (options_.watch) {
        return options_.count != 0 && started_ >= options_.count;
    }
    return std::none_of(boards_.begin(), boards_.end(),
                        [](const auto& b) { return b->step == Step::queued; });
}

void Line::start_ready() {
    for (auto& board : boards_) {
        const bool room = options_.jobs == 0 || running() < options_.jobs;
        const bool allowed = options_.count == 0 || started_ < options_.count;
        if (stop_signal_ != 0 || !room || !allowed) {
            return;
        }
        if (board->step == Step::queued && board->present) {
            begin_board(*board);
        }
    }
}

void Line::begin_board(Board& board) {
    ++started_;
    board.started = Wall::now();
    board.started_steady = Steady::now();
    std::string error;
    board.folder = make_hub_folder(setup_.run, board.hub.place(), error);
    if (!board.folder) {
        board.step = Step::check;
        finish_board(board, result::failed, error);
        return;
    }
    board.log.reset(
        ::open(board.folder->log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    board.log_failed = !board.log;
    // Noted beside the record before its first tool runs: a line that dies leaves it open.
    if (!setup_.open_attempts.begin(board.folder->path, record_line(record_of(board)),
                                    board.started, options_.only_outdated, error)) {
        board.step = Step::check;
        finish_board(board, result::failed, error);
        return;
    }
    if (options_.job != Job::list) {
        const std::string serial = board.hub.serial ? " (serial " + *board.hub.serial + ")" : "";
        display_.event(board.hub.place() + serial + " started " + job_name(options_.job));
    }
    start_step(board, options_.job == Job::list ? Step::version_read : Step::check);
}

void Line::start_step(Board& board, Step step) {
    board.step = step;
    board.process.reset();
    const auto& images = setup_.images.images;
    board.output.emplace(
        ToolOutput::ImageSizes{.image0 = images[0].bytes.size(), .image1 = images[1].bytes.size()});
    const auto args = tool_args(board.hub, step);
    std::string line = "$ tovrela-update";
    for (const auto& arg : args) {
        line += " " + arg;
    }
    line += "\n";
    if (board.log && !write_all(board.log.get(), line.data(), line.size())) {
        board.log_failed = true;
    }
    if (step == Step::update) {
        board.update_began = true;
        board.update_started = Steady::now();
    }
    std::string error;
    auto process = ToolProcess::start(options_.tool, args, board.folder->path, board.log.get(),
                                      board.folder->path + "/" + events_file_name(step), error);
    if (process) {
        board.process.emplace(std::move(*process));
    } else {
        finish_board(board, result::failed, error);
    }
}

void Line::finish_step(Board& board) {
    board.output->finish();
    const std::string word = step_result(board.step, *board.process, *board.output);
    board.exit_status = board.process->exit_status();
    if (board.step == Step::check || board.step == Step::version_read) {
        board.version_before = board.output->chip_version();
    }
    if (board.step != Step::check || options_.job != Job::update) {
        finish_board(board, word);
        return;
    }
    if (word == result::busy || word == result::unplugged || word == result::not_found ||
        word == result::stopped) {
        finish_board(board, word);
    } else if (stop_signal_ != 0) {
        finish_board(board, result::stopped, "the line was stopped before this hub's update");
    } else if (options_.only_outdated && word == result::up_to_date) {
        finish_board(board, result::up_to_date);
    } else {
        start_step(board, Step::update);
    }
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a result word of result::, then prose
void Line::finish_board(Board& board, const std::string& result_word, const std::string& why) {
    board.ended = Wall::now();
    board.result = result_word;
    if (!good_result(result_word)) {
        const std::string failure = board.output ? board.output->failure() : "";
        board.message = !why.empty()        ? why
                        : !failure.empty()  ? failure
                        : board.exit_status ? "the tool ended with exit status " +
                                                  std::to_string(*board.exit_status)
                                            : "the tool did not run";
    }
    if (board.update_began && result_word != result::passed) {
        incomplete_.push_back(board.hub.place());
    }
    (good_result(result_word) ? good_ : bad_) += 1;
    board.step = Step::done;
    board.process.reset();
    board.log.reset();
    if (board.log_failed) {
        unrecorded_.push_back("the tool output of " + board.hub.place());
    }
    record(board);
    end_line(board);
}

void Line::end_line(Board& board) const {
    const std::string& place = board.hub.place();
    if (options_.job == Job::list) {
        const auto& hub = board.hub;
        display_.event(place + " bus " + std::to_string(hub.bus) + " path " +
                       (hub.ports.empty() ? "0" : hub.path_text()) + " address " +
                       std::to_string(hub.address) + " bcdDevice " + hex4(hub.bcd_device) +
                       " serial " + hub.serial.value_or("-") + " chip " +
                       board.version_before.value_or("-") + " " + shown(board.result));
        return;
    }
    std::string text = place + " " + shown(board.result) + " in " +
                       duration_text(seconds_since(board.started_steady));
    if (options_.job == Job::check && good_result(board.result)) {
        text += ": chip " + board.version_before.value_or("unknown") + ", Image 0 " +
                setup_.images.image0_version.value_or("unknown");
    }
    if (board.message) {
        text += ": " + *board.message;
    }
    display_.event(text);
}

AttemptRecord Line::record_of(const Board& board) const {
    AttemptRecord line;
    line.run = setup_.run.run;
    line.host = setup_.host;
    line.started = board.started;
    line.ended = board.ended;
    line.bus = board.hub.bus;
    line.path = board.hub.path_text();
    line.vid = board.hub.vid;
    line.pid = board.hub.pid;
    line.bcd_device = board.hub.bcd_device;
    line.serial = board.hub.serial;
    line.job = job_name(options_.job);
    line.version_before = board.version_before;
    line.image_version = setup_.images.image0_version;
    const auto& images = setup_.images.images;
    line.image0_sha256 = images[0].sha256;
    line.image1_sha256 = images[1].sha256;
    line.image0_bytes = images[0].bytes.size();
    line.image1_bytes = images[1].bytes.size();
    line.result = board.result;
    line.exit_status = board.exit_status;
    line.message = board.message;
    if (board.folder) {
        line.log = board.folder->log;
    }
    return line;
}

void Line::record(const Board& board) {
    if (!setup_.record.is_open()) {
        return;
    }
    const std::string line = record_line(record_of(board));
    if (board.folder) {
        setup_.open_attempts.settle(board.folder->path, line);
    }
    if (setup_.record.append(line)) {
        setup_.open_attempts.close_settled();
    } else {
        // Said at once; the line is kept and written with the next one.
        const std::string text = "the record of " + board.hub.place() +
                                 " could not be written; it is kept and tried again";
        std::fprintf(stderr, "tovrela-line: %s\n", text.c_str());
        display_.event(text);
        record_failed_ = true;
    }
}

void Line::show_progress(Board& board) const {
    if (board.step != Step::update) {
        return;
    }
    const int quarter = static_cast<int>(board.output->progress() * 4.0);
    if (quarter > board.quarters_shown && quarter < 4) {
        board.quarters_shown = quarter;
        display_.event(board.hub.place() + " " + std::to_string(quarter * 25) + "%");
    }
}

void Line::read_output(Board& board) {
    board.output->feed(board.process->new_events());
    show_progress(board);
}

void Line::take_signals() {
    for (const int number : signals_.take()) {
        if (number == SIGCHLD) {
            continue;
        }
        const std::size_t tools = running();
        if (stop_signal_ == 0) {
            stop_signal_ = number;
            display_.say(std::string("tovrela-line: ") + signal_name(number) + " passed on to " +
                         std::to_string(tools) +
                         " running tools; no new hub starts; waiting for them");
        } else {
            display_.say(std::string("tovrela-line: ") + signal_name(number) +
                         " again, passed on: a tool ends at once when it comes a second or more "
                         "after the first");
        }
        for (auto& board : boards_) {
            if (board->process) {
                board->process->signal(number);
            }
        }
    }
}

void Line::relist() {
    last_listing_ = Steady::now();
    const HubFilter filter{options_.vid, options_.pid, options_.bus, options_.path};
    const auto known = [this](const HubInfo& hub) {
        return std::none_of(boards_.begin(), boards_.end(), [&](const auto& b) {
            return b->present && b->hub.place() == hub.place() && b->hub.address == hub.address;
        });
    };
    const Listing listing = list_hubs(filter, known);
    if (listing.error != 0) {
        return; // the next listing tries again
    }
    for (auto& board : boards_) {
        board->present = std::any_of(listing.hubs.begin(), listing.hubs.end(), [&](const auto& h) {
            return board->present && h.place() == board->hub.place() &&
                   h.address == board->hub.address;
        });
    }
    // A board that is gone leaves the table once its tool has ended; one never started is
    // forgotten.
    std::erase_if(boards_, [](const auto& b) {
        return !b->present && (b->step == Step::done || b->step == Step::queued);
    });
    for (const HubInfo& hub : listing.hubs) {
        if (known(hub)) {
            add(hub);
        }
    }
}

std::string Line::summary() const {
    const auto queued = std::count_if(boards_.begin(), boards_.end(),
                                      [](const auto& b) { return b->step == Step::queued; });
    return "queued " + std::to_string(queued) + ", running " + std::to_string(running()) +
           ", passed " + std::to_string(good_) + ", failed " + std::to_string(bad_);
}

void Line::redraw() {
    if (!display_.terminal()) {
        return;
    }
    std::vector<HubRow> rows;
    for (const auto& board : boards_) {
        HubRow row;
        row.place = board->hub.place();
        row.serial = board->hub.serial.value_or("");
        row.state = board->step == Step::queued  ? RowState::queued
                    : board->step != Step::done  ? RowState::running
                    : good_result(board->result) ? RowState::good
                                                 : RowState::bad;
        if (row.state != RowState::queued) {
            const auto end = board->step == Step::done ? board->ended : Wall::now();
            row.elapsed = std::chrono::duration<double>(end - board->started).count();
        }
        if (board->step == Step::check || board->step == Step::version_read) {
            row.phase = "version read";
        } else if (board->step == Step::update) {
            row.phase = board->output->phase();
            const double done = board->output->progress();
            row.progress = done;
            const double spent = seconds_since(board->update_started);
            if (done > 0.02) {
                row.left = spent * (1.0 - done) / done;
            }
        }
        row.result = board->step == Step::done ? shown(board->result) : "";
        rows.push_back(std::move(row));
    }
    display_.table(rows, summary());
}

void Line::report() {
    display_.finish();
    display_.say(summary());
    if (stop_signal_ != 0) {
        std::vector<std::string> not_started;
        for (const auto& board : boards_) {
            if (board->step == Step::queued) {
                not_started.push_back(board->hub.place());
            }
        }
        std::string text = std::string("Stopped by ") + signal_name(stop_signal_) + ".";
        for (const auto& place : incomplete_) {
            text += (place == incomplete_.front() ? " Incomplete, update again: " : " ") + place;
        }
        for (const auto& place : not_started) {
            text += (place == not_started.front() ? " Not started: " : " ") + place;
        }
        display_.say(text);
    }
    for (const auto& what : unrecorded_) {
        std::fprintf(stderr, "tovrela-line: could not record %s\n", what.c_str());
    }
    if (!setup_.record.kept().empty()) {
        std::fprintf(stderr, "tovrela-line: could not record these lines:\n%s",
                     setup_.record.kept().c_str());
    }
}

int Line::run() {
    // A stop that came while the inputs were checked (a sums file read from a FIFO, say) starts
    // nothing.
    take_signals();
    start_ready();
    while (!finished()) {
        redraw();
        // The events files are read on each tick; a tool's end (SIGCHLD) wakes the loop.
        pollfd signal_ready{signals_.fd(), POLLIN, 0};
        poll(&signal_ready, 1, tick_ms);
        take_signals();
        for (auto& board : boards_) {
            if (board->process) {
                const bool ended = board->process->ended();
                read_output(*board); // after the end: every event is in the file
                if (ended) {
                    finish_step(*board);
                }
            }
        }
        if (options_.watch && stop_signal_ == 0 &&
            Steady::now() - last_listing_ >= listing_period) {
            relist();
        }
        start_ready();
    }
    redraw();
    report();
    if (stop_signal_ != 0) {
        return 128 + stop_signal_;
    }
    return bad_ > 0 || !unrecorded_.empty() || record_failed_ ? 1 : 0;
}

} // namespace

int run_line(const LineSetup& setup, LineSignals& signals, Display& display,
             const std::vector<HubInfo>& listing) {
    Line line(setup, signals, display);
    for (const HubInfo& hub : listing) {
        line.add(hub);
    }
    return line.run();
}

} // namespace line
