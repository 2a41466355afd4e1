// The follower of a log by name: its rules by table, then each kind of
// rotation on real files.
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "log_line.h"
#include "log_tail.h"
#include "support.h"

namespace {

// A look from the words of what holds: "earlier", "earlier_line",
// "earlier_done", "open", "shrunk", "line", "named", "same".
TailLook look_of(const std::string &words) {
    TailLook look;
    std::istringstream in(words);
    for (std::string word; in >> word;) {
        bool *flag = word == "earlier"        ? &look.earlier
                     : word == "earlier_line" ? &look.earlier_line
                     : word == "earlier_done" ? &look.earlier_done
                     : word == "open"         ? &look.open
                     : word == "shrunk"       ? &look.shrunk
                     : word == "line"         ? &look.line_waits
                     : word == "named"        ? &look.named
                     : word == "same"         ? &look.named_same
                                              : nullptr;
        EXPECT_NE(flag, nullptr) << word;
        if (flag != nullptr) *flag = true;
    }
    return look;
}

TEST(LogTail, Rules) {
    struct Case {
        const char *name;
        const char *look;
        TailStep step;
    };
    const Case cases[] = {
        {"no file, no log", "", TailStep::wait},
        {"no file, a log", "named", TailStep::open_named},
        {"truncated, a line waits", "open shrunk line named same", TailStep::start_over},
        {"a line waits", "open line named same", TailStep::read},
        {"a line waits, the log renamed meanwhile", "open line named", TailStep::read},
        {"at the end of the log", "open named same", TailStep::wait},
        {"at the end, the log renamed away", "open", TailStep::set_aside},
        {"at the end, another file named", "open named", TailStep::set_aside},
        {"a late line in the file set aside, before the new one's", "earlier earlier_line open line named same",
         TailStep::read_earlier},
        {"a late line in the file set aside, its time over", "earlier earlier_line earlier_done open named same",
         TailStep::read_earlier},
        {"the file set aside, its time not over", "earlier open named same", TailStep::wait},
        {"the file set aside, the new one's line", "earlier open line named same", TailStep::read},
        {"the file set aside, its time over", "earlier earlier_done open line named same", TailStep::close_earlier},
        {"the file set aside, no log yet", "earlier", TailStep::wait},
        {"the file set aside, a log now", "earlier named", TailStep::open_named},
        {"renamed again within the time", "earlier open named", TailStep::set_aside},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decide_tail(look_of(c.look)), c.step);
    }
}

void append(const std::string &path, const std::string &text) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

// Reads what the tail has for now; to_rest: also what it asks to be read
// again for, until it has let go of every file set aside.
void drain(LogTail &tail, std::string &got, bool to_rest) {
    std::vector<char> buffer(4 * max_log_line);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (std::chrono::steady_clock::now() < give_up) {
        std::size_t size = 0;
        const LogTail::Result result = tail.read(buffer.data(), buffer.size(), size);
        if (result == LogTail::none) return;
        if (result == LogTail::later && !to_rest) return;
        if (result == LogTail::later) {
            std::this_thread::sleep_until(std::min(tail.retry_at(), give_up));
            continue;
        }
        got.append(buffer.data(), size);
        tail.consume(size);
    }
    ADD_FAILURE() << "the tail never came to rest";
}

const std::string a = log_line({1000001, "\x0a"});
const std::string b = log_line({2000002, std::string(255, '\x0b')});
const std::string c = log_line({3000003, ""});
const std::string d = log_line({4000004, "\x0d\x0d"});

using Step = std::function<void(const TempDir &dir)>;

Step add(const std::string &text, const std::string &name = "gw.log") {
    return [=](const TempDir &dir) { append(dir / name, text); };
}
Step rename_to(const std::string &to) {
    return [=](const TempDir &dir) { ASSERT_EQ(rename((dir / "gw.log").c_str(), (dir / to).c_str()), 0); };
}
Step truncate_log() {
    return [](const TempDir &dir) { ASSERT_EQ(truncate((dir / "gw.log").c_str(), 0), 0); };
}
Step remove_log() {
    return [](const TempDir &dir) { ASSERT_EQ(unlink((dir / "gw.log").c_str()), 0); };
}
// Steps done together, with no read between them.
Step together(const std::vector<Step> &steps) {
    return [=](const TempDir &dir) {
        for (const Step &step : steps) step(dir);
    };
}

TEST(LogTail, FollowsTheLogByName) {
    struct Case {
        const char *name;
        std::string before;       // in the log when the tail starts; none when empty
        std::vector<Step> steps;  // each followed by a read of what there is
        std::string lines;
        std::string note;  // part of the one thing told, if any
    };
    const std::string part = "5.000005 0e 0";
    const Case cases[] = {
        {"appended after the start", a, {add(b), add(c + d)}, b + c + d, ""},
        {"a line being written at the start is served whole",
         a + "2.000002 0",
         {add("b \n"), add(c)},
         "2.000002 0b \n" + c,
         ""},
        {"no log at the start: the first one read from its start", "", {add(a + b), add(c)}, a + b + c, ""},
        {"renamed, a new log", a, {add(b), together({rename_to("gw.log.1"), add(c)})}, b + c, ""},
        {"renamed, a line late in the old file, then the new one",
         a,
         {add(b), together({rename_to("gw.log.1"), add(d), add(c, "gw.log.1")})},
         b + c + d,
         ""},
        {"renamed, a line late in the old file after the new one's",
         a,
         {add(b), together({rename_to("gw.log.1"), add(d)}), add(c, "gw.log.1")},
         b + d + c,
         ""},
        {"renamed, the log created later", a, {add(b), rename_to("gw.log.1"), add(c)}, b + c, ""},
        {"removed and created again", a, {add(b), together({remove_log(), add(c)})}, b + c, ""},
        {"copytruncate", a, {add(b), together({truncate_log(), add(c)})}, b + c, "truncated or written anew"},
        {"truncated and written again, short of the place",
         a + b,
         {together({truncate_log(), add(c + d + d + d + d)})},
         c + d + d + d + d,
         "truncated or written anew"},
        {"truncated and written to the same size between two looks",
         a + b,
         {together({truncate_log(), add(b + a)})},
         b + a,
         "truncated or written anew"},
        {"a run longer than the buffer without a newline",
         a,
         {add(std::string(5000, 'x') + "\n" + b)},
         std::string(5000 - 4 * max_log_line, 'x') + "\n" + b,
         "3192 bytes without a newline at byte 13, passed over"},
        {"a torn end of a file left",
         a,
         {add(b + part), together({rename_to("gw.log.1"), add(c)})},
         b + c,
         "13 bytes without a newline at the end of the file left"},
    };
    for (const Case &cs : cases) {
        SCOPED_TRACE(cs.name);
        TempDir dir;
        if (!cs.before.empty()) append(dir / "gw.log", cs.before);
        const int fds = count_open_fds();
        std::string got;
        std::vector<std::string> notes;
        {
            LogTail tail(dir / "gw.log", LogTail::from_end);
            tail.on_note = [&](const std::string &text) { notes.push_back(text); };
            drain(tail, got, false);
            for (const Step &step : cs.steps) {
                step(dir);
                drain(tail, got, false);
            }
            drain(tail, got, true);
        }
        EXPECT_EQ(got, cs.lines);
        EXPECT_EQ(notes.size(), cs.note.empty() ? 0U : 1U);
        if (!notes.empty()) {
            EXPECT_NE(notes[0].find(cs.note), std::string::npos) << notes[0];
        }
        EXPECT_EQ(count_open_fds(), fds) << "a descriptor left open";
    }
}

}  // namespace
