#include "StatusLine.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

using namespace kestrune::app;
using namespace std::chrono;

namespace {

enum class Act { start, stop, pairing };
constexpr bool running = true, stopped = false;

// One event of a row. Probes are numbered from 1 in the order they were issued.
struct Event {
    enum What { click, done, failed, alertAnswered, tick, job, measure, deliver, wait, silentFollowUps } what;
    int which = 0; // the action, the probe, or how many follow-ups
    bool healthy = false;
};
Event click(Act act)
{
    return {Event::click, static_cast<int>(act)};
}
Event done(Act act)
{
    return {Event::done, static_cast<int>(act)};
}
Event failed(Act act)
{
    return {Event::failed, static_cast<int>(act)};
}
Event alertAnswered(Act act)
{
    return {Event::alertAnswered, static_cast<int>(act)};
}
const Event tick{Event::tick};
Event job(bool up)
{
    return {Event::job, 0, up};
}
// The probe's thread measures; the gate decides whether it posts the answer.
Event measure(int probe, bool healthy)
{
    return {Event::measure, probe, healthy};
}
const Event deliver{Event::deliver}; // the UI thread takes the oldest answer posted
const Event wait{Event::wait};       // the follow-up interval passes
// Each follow-up in turn is issued, then finds the agent silent.
Event silentFollowUps(int count)
{
    return {Event::silentFollowUps, count};
}

struct Row {
    const char* name;
    std::vector<Event> events; // an answer is a measure and a deliver in one
    const char* shown;         // each text the line took, the settled starts, then probes issued and posted
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

// Plays the threads, timers and menu that the delegate gives the line.
class Player {
  public:
    std::string play(const std::vector<Event>& events)
    {
        for (const Event& event : events) {
            apply(event);
        }
        EXPECT_TRUE(timers_.empty()) << "a follow-up left over";
        EXPECT_TRUE(posted_.empty()) << "an answer never delivered";
        return shown_ + " | " + std::to_string(issued_.size()) + " probes, " + std::to_string(posts_) + " posted";
    }

  private:
    void apply(const Event& event)
    {
        const auto act = static_cast<Act>(event.which);
        switch (event.what) {
        case Event::click:
            actions_[act] = line_.actionBegan(act == Act::start  ? StatusLine::ActionKind::startsAgent
                                              : act == Act::stop ? StatusLine::ActionKind::stopsAgent
                                                                 : StatusLine::ActionKind::pairing,
                                              act == Act::start  ? "Starting agent..."
                                              : act == Act::stop ? "Stopping agent..."
                                                                 : "Preparing pairing QR...");
            return follow({});
        case Event::done:
            return follow(line_.actionDone(actions_.at(act), now_));
        case Event::failed:
            return line_.actionFailed(actions_.at(act));
        case Event::alertAnswered:
            return follow(line_.alertAnswered(actions_.at(act)));
        case Event::tick:
            return follow(StatusLine::refresh());
        case Event::job:
            return follow(line_.jobChanged(event.healthy));
        case Event::measure:
            if (line_.gate()->shouldPost(issued_.at(event.which - 1), event.healthy)) {
                posted_.push_back({issued_.at(event.which - 1), event.healthy});
                ++posts_;
            }
            return;
        case Event::deliver: {
            ASSERT_FALSE(posted_.empty()) << "nothing to deliver";
            const auto [ticket, healthy] = posted_.front();
            posted_.pop_front();
            return follow(line_.answered(ticket, healthy, now_));
        }
        case Event::wait: {
            ASSERT_FALSE(timers_.empty()) << "no follow-up waits";
            const auto [request, delay] = timers_.front();
            timers_.pop_front();
            now_ += delay;
            return issue(request);
        }
        case Event::silentFollowUps:
            for (int i = 0; i < event.which; ++i) {
                apply(wait);
                apply(measure(static_cast<int>(issued_.size()), stopped));
                apply(deliver);
            }
            return;
        }
    }

    void follow(const StatusLine::Next& next)
    {
        std::string text = line_.text();
        for (const std::string cut : {"Status: ", "Local agent "}) {
            text.erase(0, text.starts_with(cut) ? cut.size() : 0);
        }
        if (text != lastText_) {
            shown_ += (shown_.empty() ? "" : " > ") + text;
            lastText_ = text;
        }
        if (next.settled) {
            shown_ += std::string(next.settled->answered ? " [answered" : " [silent") + " after " +
                      std::to_string(next.settled->after.count()) + " ms]";
        }
        if (next.probe && next.delay.count() > 0) {
            timers_.push_back({*next.probe, next.delay});
        } else if (next.probe) {
            issue(*next.probe);
        }
    }

    void issue(const StatusLine::ProbeRequest& request)
    {
        if (const std::optional<ProbeTicket> ticket = line_.issue(request)) {
            issued_.push_back(*ticket);
        }
    }

    StatusLine line_;
    StatusLine::Clock::time_point now_{};
    std::map<Act, std::uint64_t> actions_;
    std::vector<ProbeTicket> issued_;
    std::deque<std::pair<ProbeTicket, bool>> posted_;
    std::deque<std::pair<StatusLine::ProbeRequest, milliseconds>> timers_;
    std::string shown_, lastText_ = "Checking...";
    int posts_ = 0;
};

// An answer: measured, posted and delivered.
std::vector<Event> answer(int probe, bool healthy)
{
    return {measure(probe, healthy), deliver};
}

// Joins events and answers into one row.
template <class... Parts> std::vector<Event> events(const Parts&... parts)
{
    std::vector<Event> all;
    const auto add = [&all](const auto& part) {
        if constexpr (std::is_same_v<std::decay_t<decltype(part)>, Event>) {
            all.push_back(part);
        } else {
            all.insert(all.end(), part.begin(), part.end());
        }
    };
    (add(parts), ...);
    return all;
}

const Row rows[] = {
    {"StartFollowsUpUntilTheAgentAnswers",
     events(click(Act::start), done(Act::start), answer(1, stopped), wait, answer(2, running)),
     "Starting agent... > running [answered after 25 ms] | 2 probes, 2 posted"},
    // A tick while the start works, and every follow-up but the last, find it silent.
    {"StartNeverShowsStoppedBeforeItsLastFollowUp",
     events(click(Act::start), tick, answer(1, stopped), done(Act::start), answer(2, stopped), silentFollowUps(21)),
     "Starting agent... > stopped [silent after 3000 ms] | 23 probes, 23 posted"},
    {"FailedStopRefreshesOnceItsAlertIsAnswered",
     events(click(Act::stop), failed(Act::stop), alertAnswered(Act::stop), answer(1, stopped)),
     "Stopping agent... > stopped | 1 probes, 1 posted"},
    {"FailedStartIsNoLongerUnderWay",
     events(click(Act::start), failed(Act::start), alertAnswered(Act::start), answer(1, stopped)),
     "Starting agent... > stopped | 1 probes, 1 posted"},
    {"StopEndsAStartsFollowUps",
     events(click(Act::start), done(Act::start), answer(1, stopped), click(Act::stop), wait, done(Act::stop),
            answer(2, stopped)),
     "Starting agent... > Stopping agent... > stopped | 2 probes, 2 posted"},
    {"PairingQRLeavesAStartsFollowUps",
     events(click(Act::start), done(Act::start), answer(1, stopped), click(Act::pairing), done(Act::pairing),
            answer(2, stopped), wait, answer(3, running)),
     "Starting agent... > Preparing pairing QR... > Starting agent... > running [answered after 25 ms] | 3 probes, 3 "
     "posted"},
    {"StartThatAPairingQROvertookIsFollowedUp",
     events(click(Act::start), click(Act::pairing), done(Act::pairing), answer(1, stopped), done(Act::start),
            answer(2, running)),
     "Starting agent... > Preparing pairing QR... > Starting agent... > running [answered after 0 ms] | 2 probes, 2 "
     "posted"},
    // Skipped before its probe (the start's) and when its answer comes (the stop's).
    {"OvertakenActionLeavesTheNewerActionsText",
     events(click(Act::start), click(Act::stop), done(Act::start), done(Act::stop), click(Act::pairing),
            answer(1, stopped), done(Act::pairing), answer(2, stopped)),
     "Starting agent... > Stopping agent... > Preparing pairing QR... > stopped | 2 probes, 2 posted"},
    {"PeriodicRefreshReplacesAnActionsTextAndAnIdleOnePostsNothing",
     events(click(Act::stop), tick, answer(1, running), tick, measure(2, running)),
     "Stopping agent... > running | 2 probes, 1 posted"},
    // B, issued after A, must be posted though the line still shows what B found.
    {"AnAnswerThatDiffersFromOneOnItsWayIsPosted",
     events(tick, answer(1, stopped), tick, tick, measure(2, running), measure(3, stopped), deliver, deliver),
     "stopped > running > stopped | 3 probes, 3 posted"},
    // A periodic probe issued before the start's follow-up answers after it.
    {"AnAnswerOlderThanTheShownOneIsDropped",
     events(tick, answer(1, stopped), click(Act::start), tick, done(Act::start), answer(3, running),
            answer(2, stopped)),
     "stopped > Starting agent... > running [answered after 0 ms] | 3 probes, 3 posted"},
    // The first follow-up's answer comes after a newer one: the newer one decides.
    {"LateFollowUpGoesOnWithTheNewerAnswer",
     events(click(Act::start), done(Act::start), tick, answer(2, stopped), answer(1, running), wait,
            answer(3, running)),
     "Starting agent... > running [answered after 25 ms] | 3 probes, 3 posted"},
    {"JobThatWentDownIsShownAtOnceAndOneThatCameUpIsFollowedUp",
     events(tick, answer(1, running), job(false), answer(2, stopped), job(true), answer(3, stopped), wait,
            answer(4, running)),
     "running > stopped > running | 4 probes, 4 posted"},
    {"JobThatCameUpDuringAStartLeavesTheFollowUpsToTheStart",
     events(click(Act::start), job(true), answer(1, stopped), done(Act::start), answer(2, running)),
     "Starting agent... > running [answered after 0 ms] | 2 probes, 2 posted"},
};

class StatusLineTable : public ::testing::TestWithParam<Row> {};

TEST_P(StatusLineTable, ShowsWhatTheRowSays)
{
    EXPECT_EQ(Player().play(GetParam().events), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Rows, StatusLineTable, ::testing::ValuesIn(rows),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
