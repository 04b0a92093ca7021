#include "tests/support/answernntp.h"

#include <utility>

namespace {

tScriptReply Reply(const std::string &answer) {
    tScriptReply reply;
    if (answer == "<close>") {
        reply.close = true;
    } else if (answer.rfind("<trickle>", 0) == 0) {
        reply.text = answer.substr(9);
        reply.trickle = true;
    } else if (answer.rfind("<partial>", 0) == 0) {
        reply.text = answer.substr(9);
        reply.close = true;
    } else {
        reply.text = answer;
    }
    return reply;
}

}  // namespace

tAnswerNntp::tAnswerNntp(tAnswer answer)
    : server_([answer = std::move(answer)](int, const std::string &command) { return Reply(answer(command)); },
              "200 script") {}

std::string tAnswerNntp::Commands() {
    std::string all;
    for (const std::string &command : server_.Commands()) all += command + "\n";
    return all;
}
