// Hostile input on the virtual hub: huge, binary and many-sectioned profiles, a profile that is a
// FIFO, huge command lines and option values, image paths that are no readable regular file,
// images of 4 GiB and of each size limit, a "debug.log" that cannot be written or is a FIFO. Each
// ends with its message and exit status, never with a crash, a hang or a flash of wrong data.
#include "sim_run.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace sim_run;

const std::string images = "TovrelaBin0=image0.bin\nTovrelaBin1=image1.bin\n";
const std::vector<std::string> hub = {"-vid=1234", "-pid=5678"};
const std::string read_version_passes =
    check_ok + table(default_rows()) + default_versions + "Status=0x1\n";
const std::string hub_not_found = table(default_rows(' '), false) + "target device not found -5\n";
const std::string image1_refused =
    "    SPI-IMAGE: image0.bin Check OK\nProtection : Tovrela_Bin1_Open_Fail.\n" + hub_not_found;

std::string text_of(std::vector<uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

std::vector<std::string> with(std::vector<std::string> args,
                              const std::vector<std::string>& more = {"-readveronly=1"}) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Marks the test skipped; the arguments are not used.
std::vector<std::string> skip(const char* reason) {
    [reason] { GTEST_SKIP() << reason; }();
    return {};
}

bool opens_for_reading(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd >= 0) {
        close(fd);
    }
    return fd >= 0;
}

// Image 1 named by the profile is `path`.
void name_image1(const test_files::TempDir& dir, const std::string& path) {
    dir.write("update.ini", "[Config]\nTovrelaBin0=image0.bin\nTovrelaBin1=" + path + "\n");
}

struct HostileCase {
    const char* name;
    // Writes what the case needs over the fixture's profile and images; returns the tool's
    // arguments. May skip the test.
    std::vector<std::string> (*prepare)(const test_files::TempDir& dir);
    std::string output; // after the banner
    int exit_status;
};

void PrintTo(const HostileCase& c, std::ostream* out) {
    *out << c.name;
}

class HostileInput : public VirtualHub, public testing::WithParamInterface<HostileCase> {};

TEST_P(HostileInput, EndsWithItsMessageAndExitStatus) {
    const HostileCase& c = GetParam();
    const std::vector<std::string> args = c.prepare(dir);
    if (IsSkipped()) {
        return;
    }
    // A hang ends after a minute with exit status 124 instead of blocking the suite.
    SimRun run = this->run({}, args, {"timeout", "60"});
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
    EXPECT_EQ(run.process.out, banner + c.output);
    EXPECT_EQ(run.process.exit_status, c.exit_status);
    EXPECT_EQ(run.process.err, "");
    EXPECT_EQ(run.verdict, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileInput,
    testing::Values(
        // Profiles. A line is read in pieces of 199 characters; a line holding '[' inside the
        // section ends it; a profile without "[Config]" leaves the ids 0.
        HostileCase{"ProfileLineOf1MiBInTheSection",
                    [](const test_files::TempDir& dir) {
                        dir.write("update.ini",
                                  "[Config]\n" + std::string(1 << 20, 'x') + "\n" + images);
                        return with(hub);
                    },
                    read_version_passes, 0},
        HostileCase{"ProfileOfOneLineOf1MiB",
                    [](const test_files::TempDir& dir) {
                        dir.write("update.ini", std::string(1 << 20, 'x'));
                        return with(hub);
                    },
                    "TovrelaBin0_Error\n" + hub_not_found, 251},
        HostileCase{"ProfileOfBinaryBytes",
                    [](const test_files::TempDir& dir) {
                        dir.write("update.ini", test_files::pattern_bytes(1 << 20, 7));
                        return with(hub);
                    },
                    "TovrelaBin0_Error\n" + hub_not_found, 251},
        HostileCase{"BinaryBytesAroundTheSection",
                    [](const test_files::TempDir& dir) {
                        std::string junk = text_of(test_files::pattern_bytes(1 << 16, 8));
                        std::erase(junk, '[');
                        dir.write("update.ini", junk + "\n[Config]\n" + images + junk);
                        return with(hub);
                    },
                    read_version_passes, 0},
        HostileCase{"ProfileIsAFifoWithoutWriter",
                    [](const test_files::TempDir& dir) {
                        std::filesystem::remove(dir.file("update.ini"));
                        EXPECT_EQ(0, mkfifo(dir.file("update.ini").c_str(), 0600));
                        return with(hub);
                    },
                    "TovrelaBin0_Error\n" + hub_not_found, 251},
        HostileCase{"ProfileOf10000SectionsBeforeConfig",
                    [](const test_files::TempDir& dir) {
                        std::string profile;
                        for (int i = 0; i < 10000; ++i) {
                            profile += "[S" + std::to_string(i) + "]\nTovrelaBin0=none.bin\n";
                        }
                        dir.write("update.ini", profile + "[Config]\n" + images);
                        return with(hub);
                    },
                    read_version_passes, 0},
        // Command lines: 16 arguments of 64 KiB (one argument may hold at most 128 KiB), and
        // 100,000 arguments.
        HostileCase{"CommandLineOf1MiB",
                    [](const test_files::TempDir&) {
                        std::vector<std::string> args(16, std::string(1 << 16, 'a'));
                        return with(hub, with(args));
                    },
                    read_version_passes, 0},
        HostileCase{"CommandLineOf100000Arguments",
                    [](const test_files::TempDir&) {
                        return with(hub, with(std::vector<std::string>(100000, "-x")));
                    },
                    read_version_passes, 0},
        // Option values of 10,000 characters are cut to their destination: the path keeps its
        // first digits, and an id of 10,000 digits saturates and matches no device.
        HostileCase{"OptionValuesOf10000Characters",
                    [](const test_files::TempDir&) {
                        return with(hub, {"-readveronly=1", "-hub1bin=" + std::string(10000, 'b'),
                                          "-path=2.4" + std::string(9997, '.')});
                    },
                    check_ok +
                        table(default_rows('*', "          [Multi-Hub] "
                                                "get_path_number = 2\n")) +
                        default_versions + "Status=0x1\n",
                    0},
        HostileCase{"IdOf10000Digits",
                    [](const test_files::TempDir&) {
                        return with({"-vid=" + std::string(10000, '1'), "-pid=5678"});
                    },
                    check_ok + hub_not_found, 251},
        HostileCase{"ProfileValueOf10000Characters",
                    [](const test_files::TempDir& dir) {
                        name_image1(dir, std::string(10000, 'c'));
                        return with(hub);
                    },
                    image1_refused, 251},
        // Image paths that are no regular file, or that cannot be read: refused at once, so the
        // command line is never read.
        HostileCase{"ImageIsADirectory",
                    [](const test_files::TempDir& dir) {
                        std::filesystem::create_directory(dir.file("folder"));
                        name_image1(dir, "folder");
                        return with(hub);
                    },
                    image1_refused, 251},
        HostileCase{"ImageIsAFifoWithoutWriter",
                    [](const test_files::TempDir& dir) {
                        EXPECT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
                        name_image1(dir, "fifo");
                        return with(hub);
                    },
                    image1_refused, 251},
        HostileCase{"ImageCannotBeRead",
                    [](const test_files::TempDir& dir) {
                        // root reads a file of mode 000; a kernel attribute that is write-only
                        // cannot be opened for reading even by root.
                        dir.write("locked.bin", std::string(100, 'l'));
                        std::filesystem::permissions(dir.file("locked.bin"),
                                                     std::filesystem::perms::none);
                        std::string path = dir.file("locked.bin");
                        if (opens_for_reading(path)) {
                            path = "/sys/bus/pci/rescan";
                        }
                        if (opens_for_reading(path)) {
                            return skip("no file here that this user cannot read");
                        }
                        name_image1(dir, path);
                        return with(hub);
                    },
                    image1_refused, 251},
        // "debug.log" that cannot be written: every message still reaches the console.
        HostileCase{"DebugLogIsADirectory",
                    [](const test_files::TempDir& dir) {
                        std::filesystem::create_directory(dir.file("debug.log"));
                        dir.write("update.ini", "[Config]\nLogFile=1\n" + images);
                        return with(hub);
                    },
                    read_version_passes, 0},
        HostileCase{"DebugLogIsAFifoWithoutReader",
                    [](const test_files::TempDir& dir) {
                        EXPECT_EQ(0, mkfifo(dir.file("debug.log").c_str(), 0600));
                        dir.write("update.ini", "[Config]\nLogFile=1\n" + images);
                        return with(hub);
                    },
                    read_version_passes, 0},
        HostileCase{"DebugLogInAMissingDirectory",
                    [](const test_files::TempDir& dir) {
                        std::filesystem::create_symlink(dir.file("missing/debug.log"),
                                                        dir.file("debug.log"));
                        dir.write("update.ini", "[Config]\nLogFile=1\n" + images);
                        return with(hub);
                    },
                    read_version_passes, 0},
        HostileCase{"DebugLogInAReadOnlyDirectory",
                    [](const test_files::TempDir& dir) {
                        if (geteuid() == 0) {
                            return skip("root writes into a read-only directory");
                        }
                        dir.write("update.ini", "[Config]\nLogFile=1\n" + images);
                        // The simulator's records are made beforehand.
                        dir.write("trace", std::string());
                        dir.write("verdict", std::string());
                        std::filesystem::create_directory(dir.file("flash"));
                        dir.write("flash/image0.bin", std::string());
                        dir.write("flash/image1.bin", std::string());
                        std::filesystem::permissions(dir.path(),
                                                     std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::owner_exec);
                        return with(hub);
                    },
                    read_version_passes, 0}),
    [](const auto& instance) { return std::string(instance.param.name); });

// The largest images are flashed whole: Image 0 of 0x200000 bytes (512 blocks) and Image 1 of
// 0x80000 bytes.
TEST_F(VirtualHub, LargestImagesAreFlashedWhole) {
    write_files(0x200000, 0x80000);
    SimRun run = run_hub({});
    EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) +
                                   passing_update(image0.size(), image1.size()));
    EXPECT_EQ(run.process.exit_status, 0);
    EXPECT_EQ(run.verdict, "");
    EXPECT_TRUE(run.flashed[0] == image0);
    EXPECT_TRUE(run.flashed[1] == image1);
}

// Images one byte over the general limit, or of 4 GiB + 16 bytes (16 in 32 bits), are refused
// before the chip is touched.
TEST_F(VirtualHub, OversizedImagesNeverReachTheChip) {
    struct Case {
        int image;
        std::size_t size;
        std::vector<std::string> args;
        std::string output;
    };
    const std::string failed = update_banner(false) + "Status=0x0\n";
    const Case cases[] = {
        {0, 0x200001, {}, "  BinFile Size Error\n" + failed},
        {1, 0x100000010, {}, "  BinFile Size Error\n" + failed},
        {0, 0x100000010, {"-readbinonly=1"}, "  BinFile0 Size Error\nStatus=0x0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "image " << c.image << " of " << c.size);
        write_files(smallest_image0, small_image1);
        write_sparse(c.image == 0 ? "image0.bin" : "image1.bin", c.size);
        SimRun run = run_hub(c.args);
        EXPECT_EQ(run.process.out, banner + check_ok + table(default_rows()) + c.output);
        EXPECT_EQ(run.process.exit_status, 1);
        EXPECT_TRUE(run.trace.transfers().empty());
    }
}

} // namespace
