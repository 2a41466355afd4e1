#include "gap_question.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

Reply reply_to(const std::vector<std::string> &asked, std::uint64_t asked_epoch, std::uint64_t epoch, bool retained,
               const std::vector<std::string> &echoes) {
    // The broker's stored ack is of any age, whatever it echoes.
    if (retained || epoch != asked_epoch) return Reply::none;
    if (echoes.empty()) return Reply::unnamed;
    for (const std::string &echo : echoes)
        if (std::find(asked.begin(), asked.end(), echo) != asked.end()) return Reply::answered;
    return Reply::none;
}

void GapQuestion::ask(std::uint64_t epoch, const std::string &nonce) {
    if (epoch != epoch_) nonces_.clear();
    epoch_ = epoch;
    if (nonces_.size() == max_nonces) nonces_.erase(nonces_.begin());
    nonces_.push_back(nonce);
    state_ = asked;
}

void GapQuestion::hear(std::uint64_t epoch, std::uint64_t next, bool retained, const std::vector<std::string> &echoes) {
    if (state_ != asked) return;
    switch (reply_to(nonces_, epoch_, epoch, retained, echoes)) {
        case Reply::none:
            return;
        case Reply::answered:
            state_ = answered;
            return;
        case Reply::unnamed:
            state_ = next == unnamed_ ? answered : unasked;  // unasked: asked again at once
            unnamed_ = next;
            return;
    }
}

void GapQuestion::forget() {
    state_ = unasked;
    nonces_.clear();
    unnamed_ = 0;
}

void note_ack(std::vector<DueAck> &due, const std::string &topic, const std::string &text,
              const std::string &question) {
    for (DueAck &ack : due) {
        if (ack.topic != topic) continue;
        ack.text = text;
        if (!question.empty()) ack.answers = question;
        return;
    }
    due.push_back({topic, text, question});
}

std::string format_nonce(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, value);
    return text;
}
