// The gap question: which acks answer it, one row a case, and how a run of
// acks decides it.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gap_question.h"

namespace {

const std::uint64_t epoch = 0x1234;
const std::string asked = "00000000000000a1";
const std::string earlier = "00000000000000a0";  // asked before at the same gap

struct ReplyCase {
    const char *name;
    std::uint64_t epoch;
    bool retained;
    std::vector<std::string> echoes;
    Reply reply;
};

TEST(GapQuestion, RepliesOfOneAck) {
    const std::vector<ReplyCase> cases = {
        {"matching nonce", epoch, false, {asked}, Reply::answered},
        {"nonce asked before at this gap", epoch, false, {earlier}, Reply::answered},
        {"other nonce (a question of a run before)", epoch, false, {"00000000000000ff"}, Reply::none},
        {"empty echo (answers other batches)", epoch, false, {""}, Reply::none},
        {"matching among others", epoch, false, {"", asked}, Reply::answered},
        {"no property (older collector, MQTT 3.1.1)", epoch, false, {}, Reply::unnamed},
        {"retained, matching", epoch, true, {asked}, Reply::none},
        {"retained, no property", epoch, true, {}, Reply::none},
        {"wrong epoch, matching", epoch + 1, false, {asked}, Reply::none},
        {"wrong epoch, no property", epoch + 1, false, {}, Reply::none},
    };
    for (const ReplyCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reply_to({earlier, asked}, epoch, c.epoch, c.retained, c.echoes), c.reply);
    }
}

struct Heard {
    std::uint64_t next;
    std::vector<std::string> echoes;
    bool retained = false;
};

struct RunCase {
    const char *name;
    std::vector<Heard> acks;  // heard in turn, asked again at once when unasked
    GapQuestion::State state;
};

TEST(GapQuestion, RunsOfAcks) {
    const std::vector<RunCase> cases = {
        {"its answer at once", {{1501, {asked}}}, GapQuestion::answered},
        {"stale echoing acks, alike", {{1001, {""}}, {1001, {""}}, {1001, {"00000000000000ff"}}}, GapQuestion::asked},
        {"stale echoing acks, then its answer", {{1001, {""}}, {1001, {""}}, {1501, {asked}}}, GapQuestion::answered},
        {"two unnamed alike", {{1001, {}}, {1001, {}}}, GapQuestion::answered},
        {"two unnamed that differ: asked again", {{1001, {}}, {1501, {}}}, GapQuestion::unasked},
        {"one unnamed", {{1001, {}}}, GapQuestion::unasked},
        {"retained answer", {{1501, {asked}, true}}, GapQuestion::asked},
    };
    for (const RunCase &c : cases) {
        SCOPED_TRACE(c.name);
        GapQuestion question;
        question.ask(epoch, earlier);
        question.ask(epoch, asked);
        for (const Heard &heard : c.acks) {
            if (question.state() == GapQuestion::unasked)
                question.ask(epoch, "00000000000000a2");  // at once, as sfpublish
            question.hear(epoch, heard.next, heard.retained, heard.echoes);
        }
        EXPECT_EQ(question.state(), c.state);
    }
}

// The nonces of a gap decided, or of an epoch left, answer nothing after.
TEST(GapQuestion, ForgottenNoncesAnswerNothing) {
    GapQuestion question;
    question.ask(epoch, earlier);
    question.forget();
    question.ask(epoch, asked);
    question.hear(epoch, 1001, false, {earlier});
    EXPECT_EQ(question.state(), GapQuestion::asked);
    question.ask(epoch + 1, "00000000000000b0");
    question.hear(epoch + 1, 1, false, {asked});
    EXPECT_EQ(question.state(), GapQuestion::asked);
}

struct Noted {
    const char *topic;
    const char *text;
    const char *question;
};

struct DueCase {
    const char *name;
    std::vector<Noted> noted;  // batches of one pass, in turn
    std::vector<DueAck> due;
};

// The collector's one ack per gateway and pass carries the echo of a
// question any of its batches asked, whatever came before or after it.
TEST(GapQuestion, AckOfAPassAnswersItsQuestion) {
    const std::vector<DueCase> cases = {
        {"no question", {{"a", "e 5", ""}, {"a", "e 9", ""}}, {{"a", "e 9", ""}}},
        {"question last", {{"a", "e 5", ""}, {"a", "e 9", "n1"}}, {{"a", "e 9", "n1"}}},
        {"question first", {{"a", "e 5", "n1"}, {"a", "e 9", ""}}, {{"a", "e 9", "n1"}}},
        {"two questions: the later", {{"a", "e 5", "n1"}, {"a", "e 9", "n2"}}, {{"a", "e 9", "n2"}}},
        {"another gateway's question",
         {{"a", "e 5", ""}, {"b", "f 2", "n1"}, {"a", "e 9", ""}},
         {{"a", "e 9", ""}, {"b", "f 2", "n1"}}},
    };
    for (const DueCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<DueAck> due;
        for (const Noted &noted : c.noted) note_ack(due, noted.topic, noted.text, noted.question);
        ASSERT_EQ(due.size(), c.due.size());
        for (std::size_t i = 0; i < due.size(); ++i) {
            EXPECT_EQ(due[i].topic, c.due[i].topic);
            EXPECT_EQ(due[i].text, c.due[i].text);
            EXPECT_EQ(due[i].answers, c.due[i].answers);
        }
    }
}

TEST(GapQuestion, NonceIsSixteenHexDigits) {
    EXPECT_EQ(format_nonce(0xa1), "00000000000000a1");
    EXPECT_EQ(format_nonce(~std::uint64_t{0}), "ffffffffffffffff");
}

}  // namespace
