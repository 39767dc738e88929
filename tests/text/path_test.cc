#include <gtest/gtest.h>

#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"

namespace {

using PathName = kuv_test::ResourceCheckedTest;

struct PathCase {
    const char *path;
    const char *base;
    const char *dir;
};

const PathCase kPaths[] = {
    {"/usr/lib", "lib", "/usr"},
    {"/usr/lib/", "lib", "/usr"},
    {"/usr//lib//", "lib", "/usr"},
    {"usr/lib", "lib", "usr"},
    {"a/b/c", "c", "a/b"},
    {"/a", "a", "/"},
    {"//a", "a", "/"},
    {"/", "/", "/"},
    {"//", "/", "/"},
    {"///", "/", "/"},
    {"abc", "abc", "."},
    {"abc/", "abc", "."},
    {"../", "..", "."},
    {"", "", "."},
    {"a/./b", "b", "a/."},
    {"x//y/", "y", "x"},
};

TEST_F(PathName, InPlaceAndAllocatingFormsAgree) {
    for (const PathCase &c : kPaths) {
        std::string base_buffer = c.path;
        std::string dir_buffer = c.path;
        EXPECT_STREQ(kuv_xapi_basename(base_buffer.data()), c.base) << c.path;
        EXPECT_STREQ(kuv_xapi_dirname(dir_buffer.data()), c.dir) << c.path;
        char *base = kuv_xapi_alloc_basename(c.path);
        char *dir = kuv_xapi_alloc_dirname(c.path);
        EXPECT_STREQ(base, c.base) << c.path;
        EXPECT_STREQ(dir, c.dir) << c.path;
        kuv_xapi_free(base);
        kuv_xapi_free(dir);
    }
}

TEST_F(PathName, BasenameCutsTrailingSlashesInTheCallersBuffer) {
    char path[] = "/usr/lib//";
    EXPECT_EQ(kuv_xapi_basename(path), path + 5);
    EXPECT_STREQ(path, "/usr/lib");
    char name[] = "abc/";
    EXPECT_EQ(kuv_xapi_dirname(name), std::string("."));
    EXPECT_STREQ(name, "abc/");  // a directory-less path is not modified
}

TEST_F(PathName, MissingPathGivesDotStaticOrNew) {
    EXPECT_STREQ(kuv_xapi_basename(nullptr), ".");
    EXPECT_STREQ(kuv_xapi_dirname(nullptr), ".");
    const uint64_t blocks = kuv_xapi_get_allocated_memory_count();
    char *dot = kuv_xapi_alloc_dirname(nullptr);
    char *base = kuv_xapi_alloc_basename(nullptr);
    EXPECT_STREQ(dot, ".");
    EXPECT_STREQ(base, ".");
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), blocks + 2);
    kuv_xapi_free(dot);
    kuv_xapi_free(base);
}

}  // namespace
