#include "StatusLine.h"

namespace kestrune::app {

namespace {

using namespace std::chrono_literals;
using Purpose = ProbeTicket::Purpose;

const std::string runningText = "Status: Local agent running";
const std::string stoppedText = "Status: Local agent stopped";

// How long after a follow-up the next one comes, `elapsed` after the start's work
// ended; none once the follow-ups are over. The agent usually listens within tens of
// milliseconds, so the first quarter second is probed often; then every quarter
// second, up to three seconds in all, so that a port that accepts and never answers
// holds the start's text for three seconds and one probe's wait, not a probe's wait
// per follow-up.
std::optional<std::chrono::milliseconds> followUpDelay(std::chrono::milliseconds elapsed)
{
    if (elapsed >= 3000ms) {
        return std::nullopt;
    }
    return elapsed < 250ms ? 25ms : 250ms;
}

std::chrono::milliseconds since(StatusLine::Clock::time_point then, StatusLine::Clock::time_point now)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - then);
}

StatusLine::Next probe(const StatusLine::ProbeRequest& request, std::chrono::milliseconds delay = 0ms)
{
    StatusLine::Next next;
    next.probe = request;
    next.delay = delay;
    return next;
}

} // namespace

StatusLine::StatusLine() : text_("Status: Checking...") {}

std::uint64_t StatusLine::actionBegan(ActionKind kind, const std::string& title)
{
    const std::uint64_t action = ++latestAction_;
    if (kind != ActionKind::pairing) {
        start_.reset(); // a newer Start, Stop or Restart ends whatever the last start awaited
    }
    if (kind == ActionKind::startsAgent) {
        start_ = StartUnderWay{action, title};
    }
    showText("Status: " + title, action);
    return action;
}

StatusLine::Next StatusLine::actionDone(std::uint64_t action, Clock::time_point now)
{
    if (start_ && start_->action == action) {
        start_->workDone = now;
        return probe({Purpose::startFollowUp, action});
    }
    return refreshAfter(action);
}

void StatusLine::actionFailed(std::uint64_t action)
{
    if (start_ && start_->action == action) {
        start_.reset(); // a start that failed brings no agent up
    }
}

StatusLine::Next StatusLine::alertAnswered(std::uint64_t action)
{
    return refreshAfter(action);
}

StatusLine::Next StatusLine::refresh()
{
    return probe({});
}

StatusLine::Next StatusLine::jobChanged(bool up, Clock::time_point now)
{
    // A start under way follows its agent up already.
    jobCameUp_ = up && !start_ ? std::optional<Clock::time_point>(now) : std::nullopt;
    return probe({jobCameUp_ ? Purpose::unitFollowUp : Purpose::refresh});
}

StatusLine::Next StatusLine::refreshAfter(std::uint64_t action)
{
    return probe({Purpose::refresh, action});
}

std::optional<ProbeTicket> StatusLine::issue(const ProbeRequest& request)
{
    // A refresh for an action is over once a newer action's text is up: that
    // action's own refresh replaces it.
    const bool over = (request.purpose == Purpose::startFollowUp && !(start_ && start_->action == request.action)) ||
                      (request.purpose == Purpose::unitFollowUp && !jobCameUp_) ||
                      (request.purpose == Purpose::refresh && request.action != 0 && lineAction_ > request.action);
    if (over) {
        return std::nullopt;
    }
    return ProbeTicket{++probesIssued_, request.purpose, request.action};
}

StatusLine::Next StatusLine::answered(const ProbeTicket& ticket, bool healthy, Clock::time_point now)
{
    const bool stale = ticket.number < newestDelivered_;
    if (!stale) {
        newestDelivered_ = ticket.number;
        newestHealthy_ = healthy;
    }
    Next next;
    switch (ticket.purpose) {
    case Purpose::refresh:
        // The periodic refresh (no action) replaces any action's text.
        if (!stale && (ticket.action == 0 || lineAction_ <= ticket.action)) {
            showProbedHealth(healthy);
        }
        break;
    case Purpose::startFollowUp:
        if (start_ && start_->action == ticket.action) {
            // A stale follow-up goes on with the newer answer, which is what is.
            next = startFollowUp(stale ? newestHealthy_ : healthy, now);
        }
        break;
    case Purpose::unitFollowUp:
        if (jobCameUp_) {
            next = jobFollowUp(stale ? newestHealthy_ : healthy, now);
        }
        break;
    }
    gate_->lineChanged(text_ == runningText   ? ProbeAnswerGate::Health::running
                       : text_ == stoppedText ? ProbeAnswerGate::Health::stopped
                                              : ProbeAnswerGate::Health::neither,
                       newestDelivered_);
    return next;
}

StatusLine::Next StatusLine::startFollowUp(bool healthy, Clock::time_point now)
{
    if (!healthy) {
        if (const auto delay = followUpDelay(since(start_->workDone, now))) {
            return probe({Purpose::startFollowUp, start_->action}, *delay);
        }
    }
    const std::uint64_t action = start_->action;
    const std::chrono::milliseconds after = since(start_->workDone, now);
    start_.reset();
    Next next;
    next.settled = StartSettled{healthy, after};
    // "Running" is news whatever the line says; "stopped" waits for the refresh of a
    // newer action whose text is up (a pairing fetch).
    if (healthy || lineAction_ <= action) {
        showHealth(healthy);
    }
    return next;
}

StatusLine::Next StatusLine::jobFollowUp(bool healthy, Clock::time_point now)
{
    showProbedHealth(healthy);
    if (!healthy) {
        if (const auto delay = followUpDelay(since(*jobCameUp_, now))) {
            return probe({Purpose::unitFollowUp}, *delay);
        }
    }
    jobCameUp_.reset();
    return {};
}

void StatusLine::showProbedHealth(bool healthy)
{
    // An agent that was just started may not listen yet, and a first run may spend
    // seconds provisioning: "stopped" would be false. The start says what happens.
    if (!healthy && start_) {
        showText("Status: " + start_->title, start_->action);
        return;
    }
    showHealth(healthy);
}

void StatusLine::showHealth(bool healthy)
{
    showText(healthy ? runningText : stoppedText, 0);
}

void StatusLine::showText(const std::string& text, std::uint64_t action)
{
    text_ = text;
    lineAction_ = action;
    if (action != 0) {
        gate_->lineChanged(ProbeAnswerGate::Health::neither, newestDelivered_);
    }
}

} // namespace kestrune::app
