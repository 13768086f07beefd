#include "publish/http_fetch.h"

namespace tallowfin::publish {

FetchOutcome FetchAsUpdater(HttpTransport& transport, const std::string& start, std::chrono::milliseconds timeLimit,
                            std::uint64_t largest, const BodySink& body)
{
    using State = FetchOutcome::State;
    auto failure = [&](const HttpExchange& exchange) {
        if (exchange.timedOut)
            return "not complete within the time limit of " +
                   std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeLimit).count()) + " s (" +
                   exchange.failure + ")";
        return exchange.failure;
    };
    std::string url = start;
    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    for (std::size_t hops = 0;; ++hops) {
        FileReply reply;
        // The body is taken only when the updater would take it: a reply
        // it refuses is judged by its head alone, however long its body.
        const HttpExchange exchange = transport.Get(
            url, deadline, largest,
            [&](const HttpResponse& response) {
                reply = JudgeFileReply(response);
                return reply.usable && reply.length <= largest;
            },
            body);
        // The report names the first address; this is where it led.
        const std::string& from = url;
        FetchOutcome outcome;
        outcome.status = exchange.response.status;
        if (!exchange.headComplete) {
            // The library may stop at a head it cannot use (a malformed
            // status line, a length it refuses): say what the updater
            // would make of it, if the head got that far.
            const FileReply partial = JudgeFileReply(exchange.response);
            if (!exchange.response.statusLine.empty() && !partial.usable)
                return {State::Missing, from + " " + partial.problem, outcome.status};
            return {State::Failed, from + ": " + failure(exchange), outcome.status};
        }

        const RedirectStep redirect = JudgeRedirect(url, exchange.response, exchange.redirectTarget, hops);
        if (redirect.kind == RedirectStep::Kind::Follow) {
            url = exchange.redirectTarget;
            continue;
        }
        if (redirect.kind == RedirectStep::Kind::Refused) return {State::Failed, from + " " + redirect.problem, outcome.status};
        reply = JudgeFileReply(exchange.response);
        if (!reply.usable) return {State::Missing, from + " " + reply.problem, outcome.status};
        if (reply.length > largest)
            return {State::Failed,
                    from + " is " + std::to_string(reply.length) + " bytes long, more than the updater reads (" +
                        std::to_string(largest) + " bytes)",
                    outcome.status};
        if (!exchange.failure.empty() || exchange.bodyBytes != reply.length)
            return {State::Failed,
                    from + ": the body ended after " + std::to_string(exchange.bodyBytes) + " of " +
                        std::to_string(reply.length) + " bytes" +
                        (exchange.failure.empty() ? std::string() : ": " + failure(exchange)),
                    outcome.status};
        return {State::Found, {}, outcome.status, reply.length};
    }
}

}  // namespace tallowfin::publish
