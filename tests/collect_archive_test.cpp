// sfcollect killed with lines past its record in a gateway's log, its
// archive then copied, mounted through another device or rotated before it
// is back: the log is found by its start wherever it went, and the lines
// that come again are in the archive once.
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "fleet_support.h"
#include "rotated_files.h"
#include "support.h"

namespace {

const std::string epoch = "0123456789abcdef";

void publish_batch(const Broker &broker, int seq, int first, int count) {
    publish_raw(broker.port(), "sflogger/gw1/packets",
                "sflog1 " + epoch + " " + std::to_string(seq) + "\n" + lines_from(first, count));
}

// gw1's lines in folder, its rotated files (compressed ones read through
// zlib) first, oldest first.
std::string archive_of(const std::string &folder) {
    std::vector<RotatedFile> files;
    std::string error;
    if (!list_rotated(folder + "/gw1.log", files, error)) return error;
    std::string text;
    for (const RotatedFile &file : files) {
        LogInput input;
        if (!input.open(file.name, file.compressed, error)) return error;
        char chunk[4096];
        for (long got = 0; (got = input.read(chunk, sizeof chunk, error)) != 0;) {
            if (got < 0) return error;
            text.append(chunk, static_cast<std::size_t>(got));
        }
    }
    return text;
}

// Waits until folder's archive of gw1 is expected.
testing::AssertionResult wait_for_archive(const std::string &folder, const std::string &expected) {
    std::string text;
    for (int waited = 0; waited < 3 * wait_ms; waited += 50) {
        if ((text = archive_of(folder)) == expected) return testing::AssertionSuccess();
        usleep(50 * 1000);
    }
    return testing::AssertionFailure() << folder << " holds " << lines_of(text).size() << " lines of gw1, not "
                                       << lines_of(expected).size();
}

// 100 lines archived and acknowledged, then 5 more written past the record,
// as a collector killed before its journal entry leaves them.
void archive_with_tail(const Broker &broker, const std::string &folder) {
    auto collecting = start_collector(broker, folder);
    const std::string archived = folder + "/gw1.log";
    for (int tries = 0; tries < 100 && read_file(archived) != lines_from(0, 1); ++tries) publish_batch(broker, 1, 0, 1);
    publish_batch(broker, 2, 1, 99);
    ASSERT_TRUE(wait_for_content(archived, lines_from(0, 100)));
    collecting->stop();
    ASSERT_EQ(collecting->finish().status, 0);
    append_file(archived, lines_from(100, 5));
}

// The collector started on folder takes lines first + 1 to first + 20 again,
// and stops having said just said.
void expect_once(const Broker &broker, const std::string &folder, int first, const std::string &said) {
    auto collecting = start_collector(broker, folder);
    publish_batch(broker, first + 1, first, 20);
    EXPECT_TRUE(wait_for_archive(folder, lines_from(0, first + 20)));
    collecting->stop();
    const Outcome outcome = collecting->finish();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, said);
}

class CollectArchive : public testing::Test, protected FleetDir {};

// The folder copied (new inodes), as a restore from backup or a move to a
// new disk makes it; or rotated by logrotate while the collector was down.
TEST_F(CollectArchive, ATailIsCutOrPassedOverWhereverTheLogWent) {
    const std::string tail_bytes = std::to_string(lines_from(100, 5).size());
    struct Case {
        const char *what;
        const char *logrotate;  // options, or none: the folder is copied with cp -a
        std::function<std::string(const std::string &)> said;
    };
    const Case cases[] = {
        {"copied with cp -a", nullptr, [](const std::string &) { return std::string(); }},
        {"copytruncate", "copytruncate", [](const std::string &) { return std::string(); }},
        {"dateext, a date with dashes", "dateext\ndateformat -%Y-%m-%d\nnocreate",
         [](const std::string &) { return std::string(); }},
        {"dateext, a date and seconds", "dateext\ndateformat -%Y%m%d-%s\nnocreate",
         [](const std::string &) { return std::string(); }},
        {"compress without delaycompress", "compress\nnocreate",
         [&](const std::string &folder) {
             return "sfcollect: " + folder + "/gw1.log.1.gz: its last " + tail_bytes +
                    " bytes were never acknowledged and cannot be cut, as it is compressed: kept, and the lines that "
                    "come again are compared with them rather than written twice\n";
         }},
        {"copytruncate and compress", "copytruncate\ncompress",
         [&](const std::string &folder) {
             return "sfcollect: " + folder + "/gw1.log.1.gz: its last " + tail_bytes +
                    " bytes were never acknowledged and cannot be cut, as it is compressed: kept, and the lines that "
                    "come again are compared with them rather than written twice\n";
         }},
    };
    for (std::size_t at = 0; at < sizeof cases / sizeof cases[0]; ++at) {
        const Case &c = cases[at];
        SCOPED_TRACE(c.what);
        const FleetDir here;
        Broker broker(here.dir);
        ASSERT_NO_FATAL_FAILURE(archive_with_tail(broker, here.central));
        std::string folder = here.central;
        if (c.logrotate == nullptr) {
            folder = here.dir / "restored";
            ASSERT_EQ(run("/bin/cp", {"cp", "-a", here.central, folder}).status, 0);
        } else {
            const std::string conf = here.dir / "logrotate.conf";
            write_file(conf, here.central + "/*.log {\nrotate 5\nmissingok\n" + c.logrotate + "\n}\n");
            const Outcome rotated =
                run("/usr/sbin/logrotate", {"logrotate", "-f", "-s", here.dir / "logrotate.state", conf});
            ASSERT_EQ(rotated.status, 0) << rotated.err;
        }
        expect_once(broker, folder, 100, c.said(folder));
        // The log written since is known by its own start, not by the one it replaced.
        append_file(folder + "/gw1.log", lines_from(120, 5));
        expect_once(broker, folder, 120, "");
    }
}

// The archive's disk mounted again through another loop device: the same
// inodes on another device number.
TEST_F(CollectArchive, ATailIsCutOnADiskBackOnAnotherDevice) {
    LoopDisk disk(dir, central);
    if (!disk.why_not.empty()) GTEST_SKIP() << disk.why_not;
    Broker broker(dir);
    ASSERT_NO_FATAL_FAILURE(archive_with_tail(broker, central));
    struct stat before {};
    ASSERT_EQ(stat((central + "/gw1.log").c_str(), &before), 0);
    if (!disk.move_device()) GTEST_SKIP() << disk.why_not;
    struct stat after {};
    ASSERT_EQ(stat((central + "/gw1.log").c_str(), &after), 0);
    ASSERT_EQ(after.st_ino, before.st_ino);
    expect_once(broker, central, 100, "");
}

}  // namespace
