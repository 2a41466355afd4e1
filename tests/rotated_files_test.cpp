#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
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
         {"gw1.log.1", "gw10.log.1", "gw1.log.bak", "gw1.log.1.lz", "gw1.log.", "gw1.log-", "gw1.log-old", "gw1.logx",
          "gw1.log.xz", "gw1.log.gz"},
         "gw1.log.1 "},
        {"compresscmd xz, zstd, bzip2",
         {"gw1.log.1.zst", "gw1.log.3.xz", "gw1.log.2.bz2", "gw1.log-20261209.xz"},
         "gw1.log.3.xz(z) gw1.log.2.bz2(z) gw1.log.1.zst(z) gw1.log-20261209.xz(z) "},
        {"xz still writing: the plain file alone", {"gw1.log.1", "gw1.log.1.xz"}, "gw1.log.1 "},
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
        {"gw1.log-old", false, false},       {"gw1.log.1.xz", true, true},
        {"gw1.log.1.zip", false, false},     {"gw10.log.1", false, false},
        {"gw1.log-", false, false},
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

TEST(RotatedFiles, ListsOlddirAfterTheFilesBesideTheLog) {
    TempDir folder;
    const std::string log = folder.path + "/gw1.log";
    mkdir((folder.path + "/old").c_str(), 0755);
    write_file(log, "d\n");
    write_file(log + ".1", "a\n");  // from before olddir was set
    write_file(folder.path + "/old/gw1.log.1", "c\n");
    write_gzip(folder.path + "/old/gw1.log.2.gz", "b\n");
    std::vector<RotatedFile> files;
    std::string error;
    ASSERT_TRUE(list_rotated(log, files, error, "old")) << error;
    const std::string old = folder.path + "/old/gw1.log.";
    EXPECT_EQ(names_of(files), log + ".1 " + old + "2.gz(z) " + old + "1 " + log + " ");
    ASSERT_TRUE(list_rotated(log, files, error, folder.path + "/old")) << error;
    EXPECT_EQ(names_of(files), log + ".1 " + old + "2.gz(z) " + old + "1 " + log + " ");
    // logrotate makes olddir when it first rotates into it.
    ASSERT_TRUE(list_rotated(log, files, error, "none")) << error;
    EXPECT_EQ(names_of(files), log + ".1 " + log + " ");
    write_file(folder.path + "/file", "");
    EXPECT_FALSE(list_rotated(log, files, error, "file"));
    EXPECT_EQ(error, "opendir " + folder.path + "/file: Not a directory");
}

TEST(RotatedFiles, ResolvesTheLogsLinkToTheFileItNames) {
    TempDir folder;
    const std::string at = folder.path + "/";
    mkdir((at + "data").c_str(), 0755);
    write_file(at + "data/gw1.log", "a\n");
    const struct {
        const char *what;
        const char *link;  // made at LINK in the folder, naming TO
        std::string to;
        std::string expected;
    } cases[] = {
        {"no link", "data/gw1.log", "", at + "data/gw1.log"},
        {"absolute", "abs.log", at + "data/gw1.log", at + "data/gw1.log"},
        {"relative to the link's folder", "rel.log", "data/gw1.log", at + "data/gw1.log"},
        {"a chain", "chain.log", "rel.log", at + "data/gw1.log"},
        {"dangling: the file it would name", "dangling.log", "data/gw2.log", at + "data/gw2.log"},
        {"a loop: given up at the kernel's limit", "loop.log", "loop.log", at + "loop.log"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.to.empty()) {
            ASSERT_EQ(symlink(c.to.c_str(), (at + c.link).c_str()), 0);
        }
        EXPECT_EQ(resolve_link(at + c.link), c.expected);
    }
}

// path compressed as logrotate's compresscmd would, into path + end; the
// tool's program; false when it is not installed.
bool pack(const std::string &path, const std::string &tool, const std::string &end, const std::string &text) {
    write_file(path, text);
    if (tool == "gzip") {
        write_gzip(path + end, text);
        return std::remove(path.c_str()) == 0;
    }
    if (!file_exists("/usr/bin/" + tool)) return false;
    std::vector<std::string> args = {tool, "-q", "-f", path};
    if (tool == "zstd") args.emplace_back("--rm");
    return run("/usr/bin/" + tool, args).status == 0 && !file_exists(path) && file_exists(path + end);
}

// Each compression logrotate may be set to: its name's end, the tool that
// makes it, and the call named when its data fails.
struct Packing {
    const char *tool;
    const char *end;
    const char *call;
};
const Packing packings[] = {
    {"gzip", ".gz", "gzread"},
    {"xz", ".xz", "lzma_code"},
    {"zstd", ".zst", "ZSTD_decompressStream"},
    {"bzip2", ".bz2", "BZ2_bzDecompress"},
};

TEST(RotatedFiles, ReadsAndSkipsCompressedAndPlainAlike) {
    TempDir folder;
    std::string text;
    for (int i = 0; i < 20000; ++i) text += std::to_string(1000000 + i) + " 01 02 03\n";
    write_file(folder.path + "/plain", text);
    for (const Packing &packing : packings) {
        SCOPED_TRACE(packing.tool);
        const std::string packed = folder.path + "/packed";
        if (!pack(packed, packing.tool, packing.end, text)) {
            ADD_FAILURE() << packing.tool << " is not installed (scripts/test.sh installs it)";
            continue;
        }
        LogInput input;
        std::string error;
        ASSERT_TRUE(input.open(packed + packing.end, true, error)) << error;
        ASSERT_TRUE(input.skip(100000, error)) << error;
        EXPECT_EQ(read_all(input, error), text.substr(100000));
        EXPECT_FALSE(input.skip(1, error));
        EXPECT_EQ(error, "");
    }
    LogInput input;
    std::string error;
    ASSERT_TRUE(input.open(folder.path + "/plain", false, error)) << error;
    ASSERT_TRUE(input.skip(100000, error)) << error;
    EXPECT_EQ(read_all(input, error), text.substr(100000));
}

// Cut short (a power cut while compressing) or corrupt: the bytes before
// the damage, then an error that names the call and the file, the same at
// every read after, and taken as damage, not as a failed read.
TEST(RotatedFiles, ACompressedFileDamagedIsAnError) {
    TempDir folder;
    std::string text;
    for (int i = 0; i < 50000; ++i) text += std::to_string(i * 7919) + " ff\n";
    for (const Packing &packing : packings) {
        for (const bool cut : {true, false}) {
            SCOPED_TRACE(std::string(packing.tool) + (cut ? ", cut short" : ", corrupt"));
            const std::string packed = folder.path + "/packed";
            if (!pack(packed, packing.tool, packing.end, text)) {
                ADD_FAILURE() << packing.tool << " is not installed (scripts/test.sh installs it)";
                continue;
            }
            const std::string path = packed + packing.end;
            std::string bytes = read_file(path);
            if (cut) {
                bytes.resize(bytes.size() / 2);
            } else {
                for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i) bytes[i] = '\x55';
            }
            write_file(path, bytes);
            LogInput input;
            std::string error;
            ASSERT_TRUE(input.open(path, true, error)) << error;
            std::string out;
            char chunk[4096];
            long got = 0;
            while ((got = input.read(chunk, sizeof chunk, error)) > 0 && !input.damaged())
                out.append(chunk, static_cast<std::size_t>(got));
            if (got > 0) out.append(chunk, static_cast<std::size_t>(got));
            EXPECT_TRUE(input.damaged());
            EXPECT_EQ(error.rfind(std::string(packing.call) + " " + path + ": ", 0), 0U) << error;
            // Corrupt data may give wrong bytes before its check fails; data cut short gives none.
            if (cut) {
                EXPECT_EQ(error, std::string(packing.call) + " " + path + ": unexpected end of file");
                EXPECT_EQ(text.compare(0, out.size(), out), 0) << "wrong bytes before the cut";
                EXPECT_LT(out.size(), text.size());
            }
            std::string again;
            EXPECT_EQ(input.read(chunk, sizeof chunk, again), -1);
            EXPECT_TRUE(input.damaged());
        }
    }
}

// The two-readings rule: a listing counts only when a second reading names
// the same files, so a rename or a compression between a readdir and a stat
// is never a file missed.
TEST(RotatedFiles, TwoReadingsAgreeOnlyOnTheSameFiles) {
    const SeenFile log{"gw1.log", 1, 10, 500, 7};
    const SeenFile one{"gw1.log.1", 1, 9, 900, 5};
    const SeenFile grown{"gw1.log", 1, 10, 800, 8};
    const SeenFile created{"gw1.log", 1, 11, 0, 9};
    const SeenFile moved{"gw1.log.1", 1, 10, 500, 7};
    const SeenFile packed{"gw1.log.1.gz", 1, 12, 90, 9};
    const SeenFile remounted{"gw1.log", 2, 10, 500, 7};
    struct Row {
        const char *name;
        std::vector<SeenFile> first, second;
        bool agree;
    } rows[] = {
        {"nothing changed", {one, log}, {one, log}, true},
        {"the log grew", {one, log}, {one, grown}, true},
        {"an empty folder", {}, {}, true},
        {"rotated between: LOG.1 is the log, a new log", {one, log}, {one, moved, created}, false},
        {"rotated between, nocreate", {log}, {moved}, false},
        {"compressed between", {one, log}, {packed, log}, false},
        {"created between", {one}, {one, created}, false},
        {"removed between", {one, log}, {log}, false},
        {"the log written anew under its name between", {log}, {created}, false},
        {"remounted between", {log}, {remounted}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(readings_agree(row.first, row.second), row.agree);
    }
}

// A print read before is used again only for the same content.
TEST(RotatedFiles, APrintIsReadAgainWhenTheContentMayHaveChanged) {
    const SeenFile was{"gw1.log", 1, 10, 500, 7};
    struct Row {
        const char *name;
        SeenFile now;
        bool same;
    } rows[] = {
        {"untouched", was, true},
        {"renamed", {"gw1.log.1", 1, 10, 500, 7}, true},
        {"grown", {"gw1.log", 1, 10, 600, 8}, false},
        {"written without a change of size", {"gw1.log", 1, 10, 500, 8}, false},
        {"another file", {"gw1.log", 1, 11, 500, 7}, false},
        {"another device", {"gw1.log", 2, 10, 500, 7}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(same_content(was, row.now), row.same);
    }
}

}  // namespace
