// The rules the tool and tovrela-line share: the image sizes, a hub's place, dotted numbers.
#include "hub_place.h"
#include "image_rules.h"

#include <gtest/gtest.h>

namespace {

// Image 0 512 KiB to 2 MiB, Image 1 1 byte to 512 KiB; above 2 MiB the general limit first.
static_assert(image_size_fault(true, 0x80000) == ImageSizeFault::none &&
              image_size_fault(true, 0x200000) == ImageSizeFault::none &&
              image_size_fault(true, 0x7FFFF) == ImageSizeFault::image0_too_small &&
              image_size_fault(true, 0x200001) == ImageSizeFault::over_limit &&
              image_size_fault(false, 1) == ImageSizeFault::none &&
              image_size_fault(false, 0x80000) == ImageSizeFault::none &&
              image_size_fault(false, 0) == ImageSizeFault::image1_size &&
              image_size_fault(false, 0x80001) == ImageSizeFault::image1_size &&
              image_size_fault(false, 0x200001) == ImageSizeFault::over_limit);

// Versions and port paths: digits alone between dots, never wrapping around however long.
TEST(DottedNumbers, ReadWholeWithinTheirLimit) {
    EXPECT_EQ(dotted_numbers("2.13.15.4", 255).value_or(std::vector<unsigned>{}),
              (std::vector<unsigned>{2, 13, 15, 4}));
    EXPECT_EQ(dotted_numbers("0.255", 255).value_or(std::vector<unsigned>{}),
              (std::vector<unsigned>{0, 255}));
    for (const char* bad : {"", ".", "1.", ".1", "256.1", "1.-2", "1. 2", "4294967297", "1.2a"}) {
        EXPECT_FALSE(dotted_numbers(bad, 255)) << bad;
    }
}

TEST(HubPlace, PortPathsAndPlaces) {
    EXPECT_EQ(parse_port_path("2.10").value_or(std::vector<uint8_t>{}),
              (std::vector<uint8_t>{2, 10}));
    EXPECT_EQ(parse_port_path("1.2.3.4.5.6.255").value_or(std::vector<uint8_t>{}).size(), 7u);
    for (const char* bad : {"", "0", "256", "2..4", "2.", "1.2.3.4.5.6.7.8", "2,4", "+2", "2.4x"}) {
        EXPECT_FALSE(parse_port_path(bad)) << bad;
    }
    EXPECT_EQ((HubPlace{1, {2, 10}}.place()), "1-2.10");
    EXPECT_EQ((HubPlace{1, {2, 10}}.path_text()), "2.10");
    EXPECT_EQ((HubPlace{3, {}}.place()), "3-0");
    EXPECT_EQ((HubPlace{3, {}}.path_text()), "");
    // A place read back is the place written; "01-02.4" reads as "1-2.4".
    for (const char* text : {"1-2.10", "3-0", "255-1.2.3.4.5.6.255", "01-02.4"}) {
        const auto place = parse_hub_place(text);
        EXPECT_EQ(place ? place->place() : "none", text == std::string("01-02.4") ? "1-2.4" : text);
    }
    for (const char* bad : {"", "1", "1-", "-2.4", "0-2", "256-2", "1-2.", "1-00", "1--2", "a-2",
                            "1-2 ", " 1-2", "1-2.4.", "1234-2"}) {
        EXPECT_FALSE(parse_hub_place(bad)) << bad;
    }
}

} // namespace
