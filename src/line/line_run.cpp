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

// The board's place as the lines show it: with its slot's name ("1-2.4 [A3]") when it has one.
std::string label(const Board& board) {
    return board.hub.place() + (board.slot ? " [" + *board.slot + "]" : "");
}

// The board as people name it: its label, and its serial number when it has one.
std::string board_name(const Board& board) {
    return label(board) + (board.hub.serial ? " (serial " + *board.hub.serial + ")" : "");
}

// True when the chip's version ("2.14.15.4", four numbers of a byte each, the first the most
// significant) is newer than Image 0's.
bool chip_newer(const std::optional<std::string>& chip, const std::optional<std::string>& image) {
    if (!chip || !image) {
        return false;
    }
    const auto a = dotted_numbers(*chip, 255);
    const auto b = dotted_numbers(*image, 255);
    return a && b && a->size() == 4 && b->size() == 4 && *a > *b;
}

class Line {
  public:
    Line(const LineSetup& setup, LineSignals& signals, Display& display)
        : setup_(setup), options_(setup.options), signals_(signals), display_(display) {}

    void add(const HubInfo& hub) {
        if (!handled_place(options_, setup_.slots, hub.place())) {
            return;
        }
        auto board = std::make_unique<Board>();
        board->hub = hub;
        board->slot = setup_.slots.name_of(hub.place());
        boards_.push_back(std::move(board));
    }
    int run();

  private:
    void start_ready();
    void begin_board(Board& board);
    void next_attempt(Board& board);
    void start_step(Board& board, Step step);
    void finish_step(Board& board);
    void finish_board(Board& board, const std::string& result_word, const std::string& why = "");
    [[nodiscard]] bool retried(const Board& board) const;
    void make_final(Board& board);
    void read_output(Board& board);
    void show_progress(Board& board) const;
    void send_progress(Board& board);
    [[nodiscard]] static EventBoard event_board(const Board& board);
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
    unsigned finals_ = 0; // boards with a final result
    unsigned good_ = 0;
    unsigned skipped_ = 0; // of the good: up to date, not updated (--only-outdated)
    unsigned bad_ = 0;
    // The boards whose update began and did not pass, each once: its serial number, and how it
    // is named. A board with a serial number that passes later is taken off.
    std::vector<std::pair<std::optional<std::string>, std::string>> incomplete_;
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
        return options_.count != 0 && finals_ >= options_.count;
    }
    return std::none_of(boards_.begin(), boards_.end(),
                        [](const auto& b) { return b->step == Step::queued; });
}

void Line::start_ready() {
    for (auto& board : boards_) {
        const bool room = options_.jobs == 0 || running() < options_.jobs;
        const bool allowed = options_.count == 0 || finals_ + running() < options_.count;
        if (stop_signal_ != 0 || !room || !allowed) {
            return;
        }
        if (board->step == Step::queued && board->present) {
            begin_board(*board);
        }
    }
}

void Line::begin_board(Board& board) {
    board.started = Wall::now();
    board.started_steady = Steady::now();
    setup_.events.write(started_event(board.started, event_board(board)));
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
        const std::string attempt =
            board.attempt > 1 ? ", attempt " + std::to_string(board.attempt) : "";
        display_.event(label(board) + serial + " started " + job_name(options_.job) + attempt);
    }
    start_step(board, options_.job == Job::list ? Step::version_read : Step::check);
}

// The board's next attempt, from its first step, in a working folder of its own.
void Line::next_attempt(Board& board) {
    board.step = Step::queued;
    board.attempt += 1;
    board.may_come_back = false;
    board.folder.reset();
    board.log_failed = false;
    board.output.reset();
    board.update_began = false;
    board.outcome = {};
    board.quarters_shown = 0;
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
        board.percents_sent = {-1, -1};
    }
    std::string error;
    auto process = ToolProcess::start(options_.tool, args, board.folder->path, board.log.get(),
                                      board.folder->path + "/" + events_file_name(step), error);
    if (process) {
        board.process.emplace(std::move(*process));
    } else {
        // The version read after a passed update cannot fail the update.
        finish_board(board, step == Step::version_after ? result::passed : result::failed, error);
    }
}

void Line::finish_step(Board& board) {
    board.output->finish();
    const std::string word = step_result(board.step, *board.process, *board.output);
    if (board.step == Step::version_after) {
        // The update passed, with its exit status, whatever this read says: a chip may need a
        // restart to report its new version.
        if (word == result::listed) {
            board.outcome.version_after = board.output->chip_version();
        }
        finish_board(board, result::passed);
        return;
    }
    board.outcome.exit_status = board.process->exit_status();
    if (board.step == Step::check || board.step == Step::version_read) {
        board.outcome.version_before = board.output->chip_version();
    }
    if (board.step == Step::update && word == result::passed && stop_signal_ == 0) {
        start_step(board, Step::version_after);
        return;
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
    board.outcome.result = result_word;
    if (!good_result(result_word)) {
        const std::string failure = board.output ? board.output->failure() : "";
        board.outcome.message =
            !why.empty()       ? why
            : !failure.empty() ? failure
            : board.outcome.exit_status
                ? "the tool ended with exit status " + std::to_string(*board.outcome.exit_status)
                : "the tool did not run";
    }
    board.step = Step::done;
    board.process.reset();
    board.log.reset();
    if (board.log_failed) {
        unrecorded_.push_back("the tool output of " + board.hub.place());
    }
    record(board);
    setup_.events.write(ended_event(board.ended, event_board(board), board.outcome.result,
                                    board.outcome.exit_status, board.outcome.message));
    end_line(board);
    const auto& said = board.output ? board.output->result() : std::nullopt;
    if (options_.retries != 0 && board.outcome.result == result::failed && said &&
        said->unfinished_command) {
        display_.event(label(board) +
                       " not updated again: its chip was left in the middle of a command; "
                       "unplug it and plug it in again");
    }
    if (retried(board)) {
        display_.event(label(board) + " updated again: attempt " +
                       std::to_string(board.attempt + 1) + " of " +
                       std::to_string(options_.retries + 1));
        next_attempt(board);
        begin_board(board);
        return;
    }
    // A board pulled in the middle of its update, which can come back as itself, waits for it.
    board.may_come_back = options_.watch && stop_signal_ == 0 && board.hub.serial &&
                          (result_word == result::unplugged || result_word == result::not_found);
    if (!board.may_come_back) {
        make_final(board);
    }
}

bool Line::retried(const Board& board) const {
    // A chip left before it finished a command must not be given another before a restart.
    const auto& said = board.output ? board.output->result() : std::nullopt;
    return options_.job == Job::update && board.outcome.result == result::failed &&
           board.attempt <= options_.retries && stop_signal_ == 0 &&
           !(said && said->unfinished_command);
}

void Line::make_final(Board& board) {
    board.final = true;
    board.may_come_back = false;
    ++finals_;
    const bool good = good_result(board.outcome.result);
    (good ? good_ : bad_) += 1;
    if (good && options_.job == Job::update && board.outcome.result == result::up_to_date) {
        ++skipped_;
    }
    const auto& serial = board.hub.serial;
    if (board.outcome.result == result::passed && serial) {
        std::erase_if(incomplete_, [&](const auto& entry) { return entry.first == serial; });
    } else if (board.update_began && board.outcome.result != result::passed) {
        incomplete_.emplace_back(serial, board_name(board));
    }
}

EventBoard Line::event_board(const Board& board) {
    return EventBoard{board.hub.place(), board.hub.serial, board.attempt, board.slot};
}

void Line::end_line(Board& board) const {
    const std::string place = label(board);
    if (options_.job == Job::list) {
        const auto& hub = board.hub;
        display_.event(place + " bus " + std::to_string(hub.bus) + " path " +
                       (hub.ports.empty() ? "0" : hub.path_text()) + " address " +
                       std::to_string(hub.address) + " bcdDevice " + hex4(hub.bcd_device) +
                       " serial " + hub.serial.value_or("-") + " chip " +
                       board.outcome.version_before.value_or("-") + " " +
                       shown(board.outcome.result));
        return;
    }
    const bool skipped = options_.job == Job::update && board.outcome.result == result::up_to_date;
    std::string text = place + " " +
                       (skipped ? "skipped, up to date" : shown(board.outcome.result)) + " in " +
                       duration_text(seconds_since(board.started_steady));
    const auto& image = setup_.images.image0_version;
    if ((options_.job == Job::check && good_result(board.outcome.result)) || skipped) {
        text += ": chip " + board.outcome.version_before.value_or("unknown") + ", Image 0 " +
                image.value_or("unknown");
    }
    if (good_result(board.outcome.result) && chip_newer(board.outcome.version_before, image)) {
        text += ": the chip is newer than Image 0";
    }
    if (board.outcome.result == result::passed) {
        text += board.outcome.version_after
                    ? ": chip " + *board.outcome.version_after
                    : ": warning: the chip's version could not be read after "
                      "the update (a restart may be needed)";
    }
    if (board.outcome.message) {
        text += ": " + *board.outcome.message;
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
    line.slot = board.slot;
    line.job = job_name(options_.job);
    line.attempt = board.attempt;
    line.outcome = board.outcome;
    line.image_version = setup_.images.image0_version;
    if (const auto& images = setup_.images.images; !images[0].name.empty()) {
        line.image0_sha256 = images[0].sha256;
        line.image1_sha256 = images[1].sha256;
        line.image0_bytes = images[0].bytes.size();
        line.image1_bytes = images[1].bytes.size();
    } // none read for a list
    if (board.folder && !setup_.run.temporary) {
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
        // Said at once, on standard error and among the plain lines, once when they are the
        // same; the line is kept and written with the next one.
        const std::string text = "the record of " + board.hub.place() +
                                 " could not be written; it is kept and tried again";
        if (!display_.on_standard_error()) {
            std::fprintf(stderr, "tovrela-line: %s\n", text.c_str());
        }
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
        display_.event(label(board) + " " + std::to_string(quarter * 25) + "%");
    }
}

void Line::send_progress(Board& board) {
    if (board.step != Step::update) {
        return;
    }
    // Image 1 is written first.
    for (const int image : {1, 0}) {
        const auto percent = board.output->image_percent(image);
        int& sent = board.percents_sent.at(static_cast<std::size_t>(image));
        if (percent && *percent > sent) {
            sent = *percent;
            setup_.events.write(progress_event(Wall::now(), event_board(board), {image, sent}));
        }
    }
}

void Line::read_output(Board& board) {
    board.output->feed(board.process->new_events());
    show_progress(board);
    send_progress(board);
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
    const auto known = [this](const HubInfo& hub) {
        if (!handled_place(options_, setup_.slots, hub.place())) {
            return false; // not handled: its serial number is not read
        }
        return std::none_of(boards_.begin(), boards_.end(), [&](const auto& b) {
            return b->present && b->hub.place() == hub.place() && b->hub.address == hub.address;
        });
    };
    const Listing listing = list_hubs(options_.hubs, known);
    if (listing.error != 0) {
        return; // the next listing tries again
    }
    for (auto& board : boards_) {
        board->present = std::any_of(listing.hubs.begin(), listing.hubs.end(), [&](const auto& h) {
            return board->present && h.place() == board->hub.place() &&
                   h.address == board->hub.address;
        });
        // Still there: it did not go, so it does not come back.
        if (board->may_come_back && board->present) {
            make_final(*board);
        }
    }
    // A board with a final result leaves the table once it is unplugged, unless it was pulled in
    // the middle of its job: that row stays until another board takes its place. One never
    // started is forgotten.
    const auto pulled = [](const auto& b) {
        return b->outcome.result == result::unplugged || b->outcome.result == result::not_found;
    };
    std::erase_if(boards_, [&](const auto& b) {
        return !b->present && (b->step == Step::queued || (b->final && !pulled(b)));
    });
    for (const HubInfo& hub : listing.hubs) {
        if (!known(hub)) {
            continue;
        }
        // A board that comes back with its serial number, anywhere, is the same board; while
        // the tool of the attempt it left still runs, it waits for that attempt's end.
        const auto back = std::find_if(boards_.begin(), boards_.end(), [&](const auto& b) {
            return !b->present && !b->final && b->step != Step::queued &&
                   b->hub.serial == hub.serial;
        });
        if (hub.serial && back != boards_.end()) {
            if ((*back)->may_come_back) {
                next_attempt(**back);
                (*back)->hub = hub;
                (*back)->slot = setup_.slots.name_of(hub.place());
                (*back)->present = true;
            }
            continue;
        }
        std::erase_if(boards_, [&](const auto& b) {
            return !b->present && b->final && b->hub.place() == hub.place();
        });
        add(hub);
    }
}

std::string Line::summary() const {
    const auto queued = std::count_if(boards_.begin(), boards_.end(),
                                      [](const auto& b) { return b->step == Step::queued; });
    // Each job counts what it did.
    const char* done = options_.job == Job::check  ? ", checked "
                       : options_.job == Job::list ? ", listed "
                                                   : ", passed ";
    std::string text = "queued " + std::to_string(queued) + ", running " +
                       std::to_string(running()) + done + std::to_string(good_ - skipped_);
    if (options_.only_outdated) {
        text += ", skipped " + std::to_string(skipped_);
    }
    return text + ", failed " + std::to_string(bad_);
}

void Line::redraw() {
    if (!display_.terminal()) {
        return;
    }
    std::vector<HubRow> rows;
    for (const auto& board : boards_) {
        HubRow row;
        row.place = board->hub.place();
        row.slot = board->slot.value_or("");
        row.serial = board->hub.serial.value_or("");
        row.state = board->step == Step::queued          ? RowState::queued
                    : board->step != Step::done          ? RowState::running
                    : good_result(board->outcome.result) ? RowState::good
                                                         : RowState::bad;
        if (row.state != RowState::queued) {
            const auto end = board->step == Step::done ? board->ended : Wall::now();
            row.elapsed = std::chrono::duration<double>(end - board->started).count();
        }
        if (board->step == Step::check || board->step == Step::version_read ||
            board->step == Step::version_after) {
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
        if (board->step == Step::done) {
            const bool skipped =
                options_.job == Job::update && board->outcome.result == result::up_to_date;
            row.result = skipped ? "skipped, up to date" : shown(board->outcome.result);
            if (board->outcome.result == result::unplugged) {
                row.result += " (do not ship)";
            }
            if (board->outcome.message) {
                row.result += ": " + *board->outcome.message;
            }
        }
        rows.push_back(std::move(row));
    }
    display_.table(rows, summary());
}

void Line::report() {
    // A board still away from the line when it ends did not end its job.
    for (auto& board : boards_) {
        if (board->may_come_back) {
            make_final(*board);
        }
    }
    display_.finish();
    display_.say(summary());
    std::string text = stop_signal_ != 0
                           ? std::string("Stopped by ") + signal_name(stop_signal_) + "."
                           : std::string();
    const auto named = [&text](const char* heading, const std::vector<std::string>& names) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            text += (i == 0 ? std::string(text.empty() ? "" : " ") + heading : ", ") + names[i];
        }
    };
    std::vector<std::string> incomplete;
    for (const auto& entry : incomplete_) {
        incomplete.push_back(entry.second);
    }
    named("Incomplete, update again: ", incomplete);
    std::vector<std::string> not_started;
    for (const auto& board : boards_) {
        if (board->step == Step::queued && board->present) {
            not_started.push_back(board_name(*board));
        }
    }
    named("Not started: ", not_started);
    if (!text.empty()) {
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
    return bad_ > 0 || !unrecorded_.empty() || record_failed_ || setup_.events.failed() ? 1 : 0;
}

} // namespace

bool handled_place(const LineOptions& options, const SlotTable& slots, const std::string& place) {
    return !options.only_slots || slots.name_of(place).has_value();
}

int run_line(const LineSetup& setup, LineSignals& signals, Display& display,
             const std::vector<HubInfo>& listing) {
    Line line(setup, signals, display);
    for (const HubInfo& hub : listing) {
        line.add(hub);
    }
    return line.run();
}

} // namespace line
