// Image files that are not plain files must be refused at once, never hang or pass as empty.
#include "file_access.h"
#include "settings.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

TEST(ImageFiles, OnlyRegularFilesOpen) {
    test_files::TempDir dir;
    dir.write("plain.bin", std::string(10, 'x'));
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    ASSERT_EQ(0, mkdir(dir.file("folder").c_str(), 0700));
    ASSERT_EQ(0, symlink(dir.file("plain.bin").c_str(), dir.file("link.bin").c_str()));

    File plain = open_image_file(dir.file("plain.bin").c_str());
    ASSERT_TRUE(plain);
    EXPECT_EQ(10u, file_length(plain.get()));
    EXPECT_TRUE(open_image_file(dir.file("link.bin").c_str()));
    EXPECT_FALSE(open_image_file(dir.file("fifo").c_str())); // a FIFO without writer: no hang
    EXPECT_FALSE(open_image_file(dir.file("folder").c_str()));
    EXPECT_FALSE(open_image_file(dir.file("missing").c_str()));
    EXPECT_FALSE(open_image_file("/dev/zero"));
}

TEST(ImageFiles, ContentIsReadWholeOrNotAtAll) {
    test_files::TempDir dir;
    const auto bytes = test_files::pattern_bytes(5000, 3);
    dir.write("image.bin", bytes);
    File file = open_image_file(dir.file("image.bin").c_str());
    ASSERT_TRUE(file);

    auto content = read_image_content(file.get(), bytes.size(), 1);
    ASSERT_TRUE(content);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), content.get()));

    // The file now says it has more than it delivers, as when it shrank after being measured.
    std::rewind(file.get());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(read_image_content(file.get(), bytes.size() + 16, 1));
    EXPECT_EQ("!!!Read BinFile 1 Fail: 5000 of 5016 bytes\n",
              testing::internal::GetCapturedStdout());
}

TEST(ImageFiles, SettingsRefuseAFifoAsImage) {
    test_files::TempDir dir;
    dir.enter();
    dir.write("a.bin", std::string(4, 'a'));
    ASSERT_EQ(0, mkfifo(dir.file("b.bin").c_str(), 0600));
    dir.write("update.ini", "[Config]\nTovrelaBin0=a.bin\nTovrelaBin1=b.bin\n");
    gSettings = RunSettings{};
    char program[] = "tovrela-update";
    char* argv[] = {program, nullptr};

    testing::internal::CaptureStdout();
    EXPECT_EQ(0, load_settings(1, argv));
    EXPECT_EQ("    SPI-IMAGE: a.bin Check OK\nProtection : Tovrela_Bin1_Open_Fail.\n",
              testing::internal::GetCapturedStdout());
    gSettings = RunSettings{};
}

} // namespace
