#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zlib.h>

#include "rotated_files.h"
#include "support.h"

namespace {

std::string names_of(const std::vector<RotatedFile> &files) {
    std::string out;
    for (const RotatedFile &file : files) out += file.name + (file.compressed ? "(z) " : " ");
    return out;
}

struct OrderCase {
    const char *what;
    std::vector<std::string> names;
    const char *expected;
};

TEST(RotatedFiles, OrdersWhatLogrotateMade) {
    const OrderCase cases[] = {
        {"nothing rotated", {"gw1.log"}, ""},
        {"numbered, older as N grows",
         {"gw1.log.1", "gw1.log", "gw1.log.10", "gw1.log.2"},
         "gw1.log.10 gw1.log.2 gw1.log.1 "},
        {"compress with delaycompress",
         {"gw1.log.3.gz", "gw1.log.1", "gw1.log.2.gz"},
         "gw1.log.3.gz(z) gw1.log.2.gz(z) gw1.log.1 "},
        {"gzip still writing: the plain file alone", {"gw1.log.1", "gw1.log.1.gz"}, "gw1.log.1 "},
        {"dateext, oldest date first",
         {"gw1.log-20261209", "gw1.log-20261207.gz", "gw1.log-20261208"},
         "gw1.log-20261207.gz(z) gw1.log-20261208 gw1.log-20261209 "},
        {"dateext with hours and separators",
         {"gw1.log-2026-12-09_10", "gw1.log-2026-12-09_09"},
         "gw1.log-2026-12-09_09 gw1.log-2026-12-09_10 "},
        {"numbered before dated", {"gw1.log-20261209", "gw1.log.1"}, "gw1.log.1 gw1.log-20261209 "},
        {"other gateways and other files left out",
         {"gw1.log.1", "gw10.log.1", "gw1.log.bak", "gw1.log.1.xz", "gw1.log.", "gw1.log-", "gw1.log-old", "gw1.logx"},
         "gw1.log.1 "},
        {"numbers too long for any integer",
         {"gw1.log.99999999999999999999", "gw1.log.3"},
         "gw1.log.99999999999999999999 gw1.log.3 "},
    };
    for (const OrderCase &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(names_of(order_rotated("gw1.log", c.names)), c.expected);
    }
}

// The one rule every program that knows a log's rotated files goes by.
TEST(RotatedFiles, TellsWhichNamesLogrotateMade) {
    struct Case {
        const char *name;
        bool rotated;
        bool compressed;
    };
    const Case cases[] = {
        {"gw1.log.1", true, false},          {"gw1.log.12.gz", true, true},
        {"gw1.log-20261209", true, false},   {"gw1.log-20261209-1765300000", true, false},
        {"gw1.log-2026-12-09", true, false}, {"gw1.log-2026-12-09_10.5.gz", true, true},
        {"gw1.log", false, false},           {"gw1.log.gz", false, false},
        {"gw1.log-old", false, false},       {"gw1.log.1.xz", false, false},
        {"gw10.log.1", false, false},        {"gw1.log-", false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bool compressed = !c.compressed;
        EXPECT_EQ(is_rotated_name("gw1.log", c.name, compressed), c.rotated);
        if (c.rotated) {
            EXPECT_EQ(compressed, c.compressed);
        }
    }
}

void write_gzip(const std::string &path, const std::string &text) {
    gzFile file = gzopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    gzwrite(file, text.data(), static_cast<unsigned>(text.size()));
    gzclose(file);
}

std::string read_all(LogInput &input, std::string &error) {
    std::string out;
    char buffer[7];  // small, so that reads end inside lines
    long got;
    while ((got = input.read(buffer, sizeof buffer, error)) > 0) out.append(buffer, static_cast<std::size_t>(got));
    return got < 0 ? "FAILED" : out;
}

TEST(RotatedFiles, ListsTheFolderOldestFirstThenTheLog) {
    TempDir folder;
    const std::string log = folder.path + "/gw1.log";
    write_file(log, "c\n");
    write_file(log + ".1", "b\n");
    write_gzip(log + ".2.gz", "a\n");
    write_file(folder.path + "/gw2.log.1", "x\n");
    std::vector<RotatedFile> files;
    std::string error;
    ASSERT_TRUE(list_rotated(log, files, error)) << error;
    ASSERT_EQ(files.size(), 3U);
    EXPECT_EQ(files[0].name, log + ".2.gz");
    EXPECT_TRUE(files[0].compressed);
    EXPECT_EQ(files[2].name, log);

    std::string all;
    for (const RotatedFile &file : files) {
        LogInput input;
        ASSERT_TRUE(input.open(file.name, file.compressed, error)) << error;
        all += read_all(input, error);
    }
    EXPECT_EQ(all, "a\nb\nc\n");

    EXPECT_FALSE(list_rotated(folder.path + "/none/gw1.log", files, error));
    EXPECT_EQ(error, "opendir " + folder.path + "/none: No such file or directory");
}

TEST(RotatedFiles, ReadsAndSkipsCompressedAndPlainAlike) {
    TempDir folder;
    std::string text;
    for (int i = 0; i < 20000; ++i) text += std::to_string(1000000 + i) + " 01 02 03\n";
    write_file(folder.path + "/plain", text);
    write_gzip(folder.path + "/packed", text);
    for (const bool compressed : {false, true}) {
        SCOPED_TRACE(compressed ? "compressed" : "plain");
        LogInput input;
        std::string error;
        ASSERT_TRUE(input.open(folder.path + (compressed ? "/packed" : "/plain"), compressed, error)) << error;
        ASSERT_TRUE(input.skip(100000, error)) << error;
        EXPECT_EQ(read_all(input, error), text.substr(100000));
        EXPECT_FALSE(input.skip(1, error));
        EXPECT_EQ(error, "");
    }
}

TEST(RotatedFiles, ACompressedFileCutShortIsAnError) {
    TempDir folder;
    std::string text;
    for (int i = 0; i < 5000; ++i) text += std::to_string(i * 7919) + " ff\n";
    const std::string packed = folder.path + "/packed.gz";
    write_gzip(packed, text);
    ASSERT_EQ(truncate(packed.c_str(), 1000), 0);
    LogInput input;
    std::string error;
    ASSERT_TRUE(input.open(packed, true, error)) << error;
    EXPECT_EQ(read_all(input, error), "FAILED");
    EXPECT_EQ(error.rfind("gzread " + packed + ": ", 0), 0U) << error;
}

}  // namespace
