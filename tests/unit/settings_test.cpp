#include "settings.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

// Every operator new of this program passes through here, so a test can see the largest
// block asked for while it ran. Every plain, nothrow, sized and array form is replaced, so no
// block is ever freed by a form that did not allocate it, whichever forms the test framework
// uses; the aligned forms are left to the library, whole. Kept out of line so the compiler
// pairs new with delete, not with the malloc and free inside them.
static std::size_t largestAllocation = 0;

static void* countedAllocation(std::size_t size) noexcept {
    if (size > largestAllocation) largestAllocation = size;
    return std::malloc(size == 0 ? 1 : size);
}

[[gnu::noinline]] void* operator new(std::size_t size) {
    if (void* block = countedAllocation(size)) return block;
    throw std::bad_alloc();
}
[[gnu::noinline]] void* operator new[](std::size_t size) { return operator new(size); }
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
[[gnu::noinline]] void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete[](void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
[[gnu::noinline]] void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

namespace {

ConversionSettings defaultSettings() {
    ConversionSettings settings;
    setDefaultSettings(&settings);
    return settings;
}

TEST(DefaultSettings, NameTheElevenImagesAndTheVideo) {
    const ConversionSettings settings = defaultSettings();
    EXPECT_EQ(settings.baseName, "f");
    EXPECT_EQ(settings.extension, "jpg");
    EXPECT_EQ(settings.namePattern, "%s%03d.%s");
    EXPECT_EQ(settings.firstIndex, 0);
    EXPECT_EQ(settings.lastIndex, 10);
    EXPECT_EQ(settings.framesPerSecond, 15.0);
    EXPECT_EQ(settings.outputName, "video.avi");
    EXPECT_EQ(settings.saveOutput, 1);
    EXPECT_EQ(settings.displayImages, 1);
    EXPECT_EQ(settings.verbose, 1);
    EXPECT_EQ(settings.waitForEscape, 1);
    EXPECT_EQ(formatImagePath(settings, 0), "f000.jpg");
    EXPECT_EQ(formatImagePath(settings, 10), "f010.jpg");
}

struct NameCase {
    const char* name;
    std::int32_t width;
    const char* pattern;
    const char* baseName;
    const char* extension;
    std::int32_t index;
    const char* path;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class ImageNames : public testing::TestWithParam<NameCase> {};

TEST_P(ImageNames, FollowWidthBaseNameAndExtension) {
    const NameCase& c = GetParam();
    ConversionSettings settings = defaultSettings();
    settings.namePattern = buildNamePattern(c.width);
    settings.baseName = c.baseName;
    settings.extension = c.extension;
    EXPECT_EQ(settings.namePattern, c.pattern);
    EXPECT_EQ(formatImagePath(settings, c.index), c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageNames,
    testing::Values(
        NameCase{"WidthZeroDoesNotPad", 0, "%s%00d.%s", "f", "jpg", 7, "f7.jpg"},
        NameCase{"WidthFive", 5, "%s%05d.%s", "f", "jpg", 7, "f00007.jpg"},
        NameCase{"FolderInBaseNameKept", 5, "%s%05d.%s", "frames/cam_", "png", 42,
                 "frames/cam_00042.png"},
        NameCase{"NegativeIndexSignInsideWidth", 3, "%s%03d.%s", "f", "jpg", -3, "f-03.jpg"},
        NameCase{"LongIndexPrintedWhole", 3, "%s%03d.%s", "f", "jpg", 1000, "f1000.jpg"},
        NameCase{"SmallestIndex", 3, "%s%03d.%s", "f", "jpg", INT32_MIN, "f-2147483648.jpg"},
        NameCase{"ExtensionWithPointGivesTwo", 3, "%s%03d.%s", "f", ".png", 0, "f000..png"},
        NameCase{"NegativeWidthJustifiesLeft", -5, "%s%0-5d.%s", "f", "jpg", 7, "f7    .jpg"},
        NameCase{"HugeWidth", INT32_MAX, "%s%02147483647d.%s", "f", "jpg", 7, ""},
        NameCase{"HugeNegativeWidth", INT32_MIN, "%s%0-2147483648d.%s", "f", "jpg", 7, ""}),
    [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

std::string pathOf(const std::string& baseName, std::int32_t width, std::int32_t index) {
    ConversionSettings settings = defaultSettings();
    settings.baseName = baseName;
    settings.namePattern = buildNamePattern(width);
    return formatImagePath(settings, index);
}

// A path must leave room for its terminating zero within PATH_MAX.
TEST(PathLimit, WidestPaddingThatFitsIsFormed) {
    const std::string path = pathOf("f", PATH_MAX - 6, 7);
    EXPECT_EQ(path.size(), PATH_MAX - 1u);
    EXPECT_TRUE(path == "f" + std::string(PATH_MAX - 7, '0') + "7.jpg");
    EXPECT_EQ(pathOf("f", PATH_MAX - 5, 7), "");
}

TEST(PathLimit, LongBaseNameWithShortIndexIsFormed) {
    const std::string baseName(PATH_MAX - 8, 'a');
    const std::string path = pathOf(baseName, 3, 7);
    EXPECT_EQ(path.size(), PATH_MAX - 1u);
    EXPECT_TRUE(path == baseName + "007.jpg");
    EXPECT_EQ(pathOf(baseName + "a", 3, 7), "");
}

TEST(PathLimit, HugeWidthAllocatesNoGiantBuffer) {
    ConversionSettings settings = defaultSettings();
    settings.namePattern = buildNamePattern(100000000);
    largestAllocation = 0;
    EXPECT_EQ(formatImagePath(settings, 7), "");
    EXPECT_LT(largestAllocation, 1u << 16);
}

}  // namespace
