// Whether the collector has the lines of a gap: sfpublish sends one line as a
// question and decides on the collector's answer. The question carries a
// nonce, and the collector's ack echoes it, so that acks of batches an
// earlier run left queued at the broker never pass for the answer.
#ifndef SF_FLEET_GAP_QUESTION_H
#define SF_FLEET_GAP_QUESTION_H

#include <cstdint>
#include <string>
#include <vector>

// MQTT v5 user properties: the question batch's nonce, and on every ack of a
// collector that knows them the nonce of the question it answers, or "" when
// it answers none.
constexpr char question_property[] = "question";
constexpr char answers_property[] = "answers";

// What one ack says to the question asked with the nonces asked.
enum class Reply {
    none,      // nothing: retained, of another epoch, or an answer to other batches
    answered,  // the collector's answer to the question
    unnamed,   // no echo at all (an older collector, MQTT 3.1.1): two alike in a row answer
};
// echoes: the values of the ack's "answers" properties.
Reply reply_to(const std::vector<std::string> &asked, std::uint64_t asked_epoch, std::uint64_t epoch, bool retained,
               const std::vector<std::string> &echoes);

// The question about one gap, asked again while unanswered, each time with a
// fresh nonce; an answer to any of them answers it, since each was sent at
// the gap with nothing else out.
class GapQuestion {
public:
    // Asked again when two unnamed answers differ: lines of a run before may
    // still be coming to the collector, each answered in turn.
    enum State { unasked, asked, answered };

    void ask(std::uint64_t epoch, const std::string &nonce);
    // An ack "EPOCH NEXT" while asked.
    void hear(std::uint64_t epoch, std::uint64_t next, bool retained, const std::vector<std::string> &echoes);
    void forget();
    State state() const { return state_; }

private:
    static constexpr std::size_t max_nonces = 8;

    State state_ = unasked;
    std::uint64_t epoch_ = 0;
    std::vector<std::string> nonces_;  // asked at this gap, newest last
    std::uint64_t unnamed_ = 0;        // the last unnamed answer; 0: none
};

// An ack the collector sends once its pass is committed. One per gateway
// covers all its batches of the pass, so it answers a question any of them
// asked (answers: its nonce; "": none).
struct DueAck {
    std::string topic;
    std::string text;
    std::string answers;
};
// The ack text on topic, answering question when not "", replaces the one due on topic.
void note_ack(std::vector<DueAck> &due, const std::string &topic, const std::string &text, const std::string &question);

// A fresh nonce: 16 lowercase hex digits of value.
std::string format_nonce(std::uint64_t value);

#endif
