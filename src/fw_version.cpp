#include "fw_version.h"

#include "chip_channel.h"
#include "file_access.h"
#include "flash_writer.h"
#include "message_output.h"
#include "result_codes.h"
#include "settings.h"
#include "stop_signals.h"
#include "tool_events.h"

#include <array>
#include <memory>

namespace {

constexpr uint8_t register_device = chip_register_write;
constexpr std::array<uint16_t, 3> version_registers{0x1001, 0x1101, 0x1201};
constexpr std::array<const char*, 6> version_lines{
    "STD_MAJOR_VERSION        = %d\n", "STD_MINOR_VERSION        = %d\n",
    "STD_REVISION_NUMBER      = %d\n", "CUSTOMER_PROJECT_ID      = %d\n",
    "CUSTOMER_MAJOR_REVERSION = %d\n", "CUSTOMER_MINOR_REVERSION = %d\n",
};

// Opens one image and measures it. Null after its message when the file does not open or its
// size breaks the update's rules.
File open_within_limit(int image, const char* path, uint64_t* size) {
    File file = open_image_file(path);
    if (!file) {
        print_failure(0, "!!!Open BinFile%d Fail\n", image);
        return nullptr;
    }
    *size = file_length(file.get());
    if (verbose_detail()) {
        print_message("TotalByte%d: 0x%llX = %llu KB\n", image,
                      static_cast<unsigned long long>(*size),
                      static_cast<unsigned long long>(*size / 1024));
    }
    // Above the largest image the read names the image in its line, as callers of the read
    // expect.
    if (image_size_fault(image == 0, *size) == ImageSizeFault::over_limit) {
        print_message("  BinFile%d Size Error\n", image);
        return nullptr;
    }
    // The rules of the update: an image it would refuse is no good image here either.
    if (const char* refusal = image_size_refusal(image == 0, *size); refusal != nullptr) {
        print_failure(0, "%s", refusal);
        return nullptr;
    }
    return file;
}

// Image 0: checks its size and takes its version when it holds one. rc::done when the image was
// read.
int read_image0(FwVersion* version, bool* has_version) {
    uint64_t size = 0;
    File file = open_within_limit(0, gSettings.gTovrelaBin0.data(), &size);
    if (!file) {
        return rc::failed;
    }

    const std::unique_ptr<uint8_t[]> buffer = read_image_content(file.get(), size, 0);
    file.reset();
    if (!buffer) {
        return rc::failed;
    }

    if (const auto bytes = image0_version_bytes({buffer.get(), static_cast<std::size_t>(size)})) {
        const FwVersion found{(*bytes)[0], (*bytes)[1], (*bytes)[2], (*bytes)[3]};
        print_version("BinFile0 Version=", found);
        if (version != nullptr) {
            *version = found;
        }
        *has_version = true;
    }
    return rc::done;
}

// Image 1: only opened and measured.
int check_image1() {
    uint64_t size = 0;
    return open_within_limit(1, gSettings.gTovrelaBin1.data(), &size) ? rc::done : rc::failed;
}

int read_images(FwVersion* version, bool* has_version) {
    *has_version = false;
    if (read_image0(version, has_version) != rc::done) {
        return rc::failed;
    }
    return check_image1();
}

// One self test: prints its line and whether fw_version_gt gave the expected answer.
bool run_self_test(const char* name, const FwVersion& a, const FwVersion& b, bool expected) {
    print_message("Running test \"%s\" ... ", name);
    if (fw_version_gt(a, b) == expected) {
        print_message("passed\n");
        return true;
    }
    print_message("failed\n");
    return false;
}

int run_suite_misc() {
    print_message("\nRunning test suite: misc\n");
    const FwVersion base{2, 13, 15, 4};
    FwVersion older = base;
    older.customer_minor -= 1;
    FwVersion advanced = base;
    advanced.std_major -= 1;
    advanced.customer_minor += 1;

    struct Case {
        const char* name;
        const FwVersion& a;
        const FwVersion& b;
        bool expected;
    };
    const FwVersion copy = base;
    const std::array<Case, 5> cases{{
        {"fw_version_gt equal", base, copy, false},
        {"fw_version_gt gt", base, older, true},
        {"fw_version_gt lt", older, base, false},
        {"fw_version_gt gt advanced", base, advanced, true},
        {"fw_version_gt lt advanced", advanced, base, false},
    }};
    for (const auto& test : cases) {
        if (!run_self_test(test.name, test.a, test.b, test.expected)) {
            return -1;
        }
    }
    return 0;
}

} // namespace

bool fw_version_gt(const FwVersion& a, const FwVersion& b) {
    const std::array<uint32_t, 4> left{a.std_major, a.std_minor, a.std_revision, a.customer_minor};
    const std::array<uint32_t, 4> right{b.std_major, b.std_minor, b.std_revision, b.customer_minor};
    return left > right;
}

int read_device_version(libusb_device_handle* handle, FwVersion* version) {
    std::array<uint8_t, 6> bytes{};
    bool all_read = true;
    for (std::size_t i = 0; i < version_registers.size(); ++i) {
        if (i > 0 && stop_signal() != 0) {
            report_stop("before register %04X was read", version_registers[i]);
            return rc::failed;
        }
        uint16_t value = 0;
        if (Tovrela_Reg_Read(handle, register_device, version_registers[i], &value) != rc::done) {
            all_read = false;
            continue;
        }
        bytes[2 * i] = static_cast<uint8_t>(value & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(value >> 8);
    }
    if (!all_read) {
        print_failure(0, "Failed to read register\n");
        return rc::failed;
    }
    if (version != nullptr) {
        version->std_major = bytes[0];
        version->std_minor = bytes[1];
        version->std_revision = bytes[2];
        version->customer_minor = bytes[5];
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        print_message(version_lines[i], bytes[i]);
    }
    event_chip_version(bytes);
    return rc::done;
}

int read_image_version(FwVersion* version) {
    bool has_version = false;
    return read_images(version, &has_version);
}

int check_fw_update(libusb_device_handle* handle) {
    FwVersion current;
    if (read_device_version(handle, &current) != rc::done) {
        print_failure(0, "Failed to query current FW version\n");
        return update_check::device_version_unread;
    }
    FwVersion available;
    bool has_version = false;
    // An Image 0 too short to hold a version gives nothing to compare.
    if (read_images(&available, &has_version) != rc::done || !has_version) {
        print_failure(0, "Failed to query available FW version\n");
        return update_check::image_version_unread;
    }
    print_version("FW Current: ", current);
    print_version("FW Available: ", available);
    if (fw_version_gt(available, current)) {
        print_message("FW update available\n");
        return update_check::available;
    }
    print_message("FW up to date\n");
    return update_check::up_to_date;
}

int run_self_tests() {
    print_message("Running self tests\n");
    int result = 0;
    result |= run_suite_misc();
    print_message("\nTest result: %s\n", result == 0 ? "success" : "failed");
    return result;
}
