// Every kind of fault at every step of a full update on the virtual hub: each of the five register
// writes, and the first, a middle and the last block of each image, each request code that the
// step sends. The tool must stop at that step with its message, print the FAIL banner once, exit
// with status 1, send nothing after the step, and the chip must hold nothing but a prefix of each
// image. TOVRELA_TOOL_WRAPPER (words split at spaces) runs the tool under a wrapper such as
// valgrind.
#include "sim_run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

using namespace sim_run;

constexpr std::size_t block_size = 4096;
constexpr std::size_t piece_size = 32;
constexpr unsigned status_request = 0xa3;

struct FaultKind {
    const char* sim_name;
    const char* test_name;
    int error; // the libusb code of a failed transfer; 0 when the transfer itself succeeds
    bool cut;  // the transfer moves half its bytes
};
constexpr FaultKind fault_kinds[] = {{"stall", "Stall", -9, false},
                                     {"nodev", "Nodev", -4, false},
                                     {"timeout", "Timeout", -7, false},
                                     {"never-finish", "NeverFinish", 0, false},
                                     {"short", "Short", 0, true}};

// A step of the update: a write of `value` to register 0x5000, or (value -1) one block of an image.
struct Step {
    int value = -1;
    int image = -1;
    std::size_t block = 0;
    std::size_t length = 0;
};

// One transfer of an update that passes: its request code, its step, and what the tool prints
// between the transfer before it and this one.
struct Planned {
    unsigned code;
    std::size_t length;
    std::size_t step;
    std::string text_before;
};

struct Plan {
    std::vector<Step> steps;
    std::vector<Planned> transfers;
};

Plan plan_update(std::size_t size0, std::size_t size1) {
    Plan plan;
    std::string pending;
    auto send = [&](unsigned code, std::size_t length) {
        plan.transfers.push_back({code, length, plan.steps.size() - 1, pending});
        pending.clear();
    };
    auto write_register = [&](int value) {
        char line[40];
        std::snprintf(line, sizeof line, "%04X", value);
        pending += reg_write(line);
        plan.steps.push_back({value});
        send(0xb2, 13);
        send(status_request, 8);
    };
    auto write_image = [&](int image, std::size_t size) {
        pending += "Tovrela_Flash_Write FW" + std::to_string(image) + "\n";
        for (std::size_t block = 0; block * block_size < size; ++block) {
            const std::size_t length = std::min(size - block * block_size, block_size);
            plan.steps.push_back({-1, image, block, length});
            send(0xb2, 9);
            send(0xb7, 9);
            for (std::size_t piece = 0; piece < length; piece += piece_size) {
                send(0xb8, std::min(length - piece, piece_size));
            }
            send(0xb9, 4);
            pending += progress(size, block + 1).substr(progress(size, block).size());
            send(status_request, 8);
        }
        pending += "\n";
    };
    write_register(0x0010);
    write_register(0x0011);
    write_image(1, size1);
    write_register(0x0012);
    write_register(0x0020);
    write_image(0, size0);
    write_register(0x0110);
    return plan;
}

struct SweepCase {
    std::size_t step;
    unsigned code;
    std::size_t kind;
    std::string name;
};

void PrintTo(const SweepCase& c, std::ostream* out) {
    *out << c.name;
}

// Each register write with its two codes; the first, a middle and the last block of each image
// with all five.
std::vector<SweepCase> sweep_cases() {
    const Plan plan = plan_update(smallest_image0, small_image1);
    std::size_t blocks[2] = {};
    for (const auto& step : plan.steps) {
        if (step.value < 0) {
            ++blocks[step.image];
        }
    }
    std::vector<SweepCase> cases;
    for (std::size_t i = 0; i < plan.steps.size(); ++i) {
        const Step& step = plan.steps[i];
        char name[32];
        if (step.value >= 0) {
            std::snprintf(name, sizeof name, "Reg%04X", step.value);
        } else if (std::size_t last = blocks[step.image] - 1;
                   step.block == 0 || step.block == last / 2 || step.block == last) {
            std::snprintf(name, sizeof name, "Image%dBlock%zu", step.image, step.block);
        } else {
            continue;
        }
        const auto codes = step.value >= 0
                               ? std::vector<unsigned>{0xb2, status_request}
                               : std::vector<unsigned>{0xb2, 0xb7, 0xb8, 0xb9, status_request};
        for (unsigned code : codes) {
            for (std::size_t kind = 0; kind < std::size(fault_kinds); ++kind) {
                char full[64];
                std::snprintf(full, sizeof full, "%s_%02X_%s", name, code,
                              fault_kinds[kind].test_name);
                cases.push_back({i, code, kind, full});
            }
        }
    }
    return cases;
}

std::vector<std::string> tool_wrapper() {
    std::vector<std::string> words;
    if (const char* text = std::getenv("TOVRELA_TOOL_WRAPPER")) {
        std::istringstream in(text);
        for (std::string word; in >> word;) {
            words.push_back(word);
        }
    }
    return words;
}

class FaultSweep : public VirtualHub, public testing::WithParamInterface<SweepCase> {};

TEST_P(FaultSweep, StopsAtTheStepAndFlashesOnlyAPrefix) {
    const SweepCase& c = GetParam();
    const FaultKind& kind = fault_kinds[c.kind];
    const Plan plan = plan_update(image0.size(), image1.size());
    const Step& step = plan.steps[c.step];
    const bool block = step.value < 0;

    // The fault strikes the step's last transfer with the code (for data, the block's last piece).
    std::size_t failing = 0;
    std::size_t status_read = 0;
    unsigned nth = 0;
    unsigned count = 0;
    for (std::size_t i = 0; i < plan.transfers.size() && plan.transfers[i].step <= c.step; ++i) {
        count += plan.transfers[i].code == c.code ? 1u : 0u;
        if (plan.transfers[i].step == c.step && plan.transfers[i].code == c.code) {
            failing = i;
            nth = count;
        }
        if (plan.transfers[i].step == c.step && plan.transfers[i].code == status_request) {
            status_read = i;
        }
    }
    char fault[48];
    std::snprintf(fault, sizeof fault, "%s:%x:%u", kind.sim_name, c.code, nth);
    SimRun run = this->run({"--fault", fault}, {"-vid=1234", "-pid=5678"}, tool_wrapper());

    // What must happen: the update passes, the failing transfer ends it, or the chip never
    // reports the step finished and the tool gives up after ten status reads.
    std::vector<unsigned> codes;
    std::string output;
    auto planned_up_to = [&](std::size_t last) {
        for (std::size_t i = 0; i <= last; ++i) {
            codes.push_back(plan.transfers[i].code);
            output += plan.transfers[i].text_before;
        }
    };
    const bool pass = kind.cut && c.code == status_request;
    if (pass) {
        // A status reply cut to half its bytes misses the state and check bytes, so it reads
        // "not finished"; the chip has finished all the same, and the next read says so. The
        // update goes on and passes with one status read more.
        planned_up_to(plan.transfers.size() - 1);
        codes.insert(codes.begin() + static_cast<std::ptrdiff_t>(failing), status_request);
        output = passing_update(image0.size(), image1.size());
    } else if (kind.error != 0 || kind.cut) {
        // A failed transfer, or a short OUT transfer, which is no sent frame: the tool stops.
        planned_up_to(failing);
        char line[48];
        if (kind.cut) {
            const std::size_t length = plan.transfers[failing].length;
            std::snprintf(line, sizeof line, "I2C-WriteCmd %02X Short %zu of %zu\n", c.code,
                          length / 2, length);
        } else {
            std::snprintf(line, sizeof line, "I2C-%sCmd %02X Fail %d\n",
                          c.code == status_request ? "Read" : "Write", c.code, kind.error);
        }
        output += line + update_banner(false) + "Status=0x0\n";
    } else {
        // never-finish: the chip never reports the step finished.
        planned_up_to(status_read);
        codes.insert(codes.end(), 9, status_request);
        output += block ? "\nTovrela_FFW_Tout\n\t read-loop = A\n\n" : "Tovrela_Reg_Tout\n";
        output += update_banner(false) + "Status=0x0\n";
    }

    EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) + output);
    EXPECT_EQ(run.process.exit_status, pass ? 0 : 1);
    EXPECT_EQ(run.process.err, "");

    std::vector<unsigned> sent;
    for (const auto& transfer : run.trace.transfers()) {
        sent.push_back(transfer.kind == 'T' ? transfer.request : 0);
    }
    ASSERT_EQ(sent.size(), codes.size()) << "transfers sent";
    const auto first_difference = std::ranges::mismatch(sent, codes).in1 - sent.begin();
    EXPECT_EQ(first_difference, static_cast<std::ptrdiff_t>(sent.size())) << "transfer differs";
    if (kind.error != 0) {
        EXPECT_EQ(run.trace.transfers().back().result, kind.sim_name);
    }
    expect_pause_schedule(run.trace);
    const Verdict verdict = split_verdict(run.verdict);
    EXPECT_EQ(verdict.violations.empty(), !kind.cut || pass) << run.verdict;
    // A run whose first frame never reached the chip whole never began the update; any other
    // that fails ends with the chip's closing line.
    const bool began = !(c.step == 0 && c.code == 0xb2 && (kind.error != 0 || kind.cut));
    EXPECT_EQ(verdict.closing.empty(), pass || !began) << run.verdict;

    // The chip holds a prefix of each image: the blocks confirmed before the step, and at most
    // the step's own block, which it may have taken before the fault struck.
    for (int image = 0; image < 2; ++image) {
        const auto& bytes = image == 0 ? image0 : image1;
        const auto& flashed = run.flashed[image];
        std::size_t before = 0;
        for (std::size_t i = 0; i < c.step; ++i) {
            before += plan.steps[i].image == image ? plan.steps[i].length : 0;
        }
        const std::size_t at_most = pass                  ? bytes.size()
                                    : step.image == image ? before + step.length
                                                          : before;
        SCOPED_TRACE(image);
        EXPECT_TRUE(flashed.size() <= bytes.size() &&
                    std::equal(flashed.begin(), flashed.end(), bytes.begin()));
        EXPECT_GE(flashed.size(), pass ? bytes.size() : before);
        EXPECT_LE(flashed.size(), at_most);
    }
}

INSTANTIATE_TEST_SUITE_P(FullUpdate, FaultSweep, testing::ValuesIn(sweep_cases()),
                         [](const auto& instance) { return instance.param.name; });

} // namespace
