#include "StatusLine.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace kestrune::app;
using namespace std::chrono;

namespace {

struct Row {
    const char* name;
    // The events, in order. "start", "stop", "pairing": the menu entry is chosen;
    // "done X", "failed X": its work ends so; "alert X": its alert is answered;
    // "tick": the periodic refresh; "job up", "job down": the service manager's news;
    // "measure N H": probe N (numbered as issued) finds the agent running or stopped,
    // and the gate decides whether its thread posts that; "deliver": the UI thread
    // takes the oldest answer posted; "answer N H": both; "wait": the follow-up
    // interval passes; "silent N": N follow-ups in turn find it stopped.
    const char* events;
    // Each text the line took, the settled starts, then the probes issued and posted.
    const char* shown;
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

// Plays the menu, the probe threads and the timers that the delegate gives the line.
class Player {
  public:
    std::string play(const std::string& events)
    {
        std::istringstream words(events);
        for (std::string event; std::getline(words >> std::ws, event, ',');) {
            apply(event);
        }
        EXPECT_TRUE(timers_.empty() && posted_.empty()) << "a follow-up or an answer left over";
        return shown_ + " | " + std::to_string(issued_.size()) + " probes, " + std::to_string(posts_) + " posted";
    }

  private:
    void apply(const std::string& event)
    {
        std::istringstream in(event);
        std::string what, which, health;
        in >> what >> which >> health;
        const int probe = std::atoi(which.c_str());
        static const std::map<std::string, std::pair<StatusLine::ActionKind, const char*>> actions = {
            {"start", {StatusLine::ActionKind::startsAgent, "Starting agent..."}},
            {"stop", {StatusLine::ActionKind::stopsAgent, "Stopping agent..."}},
            {"pairing", {StatusLine::ActionKind::pairing, "Preparing pairing QR..."}}};
        if (actions.contains(what)) {
            numbers_[what] = line_.actionBegan(actions.at(what).first, actions.at(what).second);
            follow({});
        } else if (what == "done") {
            follow(line_.actionDone(numbers_.at(which), now_));
        } else if (what == "failed") {
            line_.actionFailed(numbers_.at(which));
        } else if (what == "alert") {
            follow(line_.alertAnswered(numbers_.at(which)));
        } else if (what == "tick") {
            follow(StatusLine::refresh());
        } else if (what == "job") {
            follow(line_.jobChanged(which == "up", now_));
        } else if (what == "measure" || what == "answer") {
            if (line_.gate()->shouldPost(issued_.at(probe - 1), health == "running")) {
                posted_.push_back({issued_.at(probe - 1), health == "running"});
                ++posts_;
            }
            if (what == "answer") {
                apply("deliver");
            }
        } else if (what == "deliver") {
            ASSERT_FALSE(posted_.empty()) << "nothing to deliver";
            follow(line_.answered(posted_.front().first, posted_.front().second, now_));
            posted_.pop_front();
        } else if (what == "wait") {
            ASSERT_FALSE(timers_.empty()) << "no follow-up waits";
            now_ += timers_.front().second;
            issue(timers_.front().first);
            timers_.pop_front();
        } else {
            ASSERT_EQ(what, "silent");
            for (int i = 0; i < probe; ++i) {
                apply("wait");
                apply("answer " + std::to_string(issued_.size()) + " stopped");
            }
        }
    }

    void follow(const StatusLine::Next& next)
    {
        std::string text = line_.text();
        for (const std::string cut : {"Status: ", "Local agent "}) {
            text.erase(0, text.starts_with(cut) ? cut.size() : 0);
        }
        if (text != lastText_) {
            shown_ += (shown_.empty() ? "" : " > ") + (lastText_ = text);
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
    std::map<std::string, std::uint64_t> numbers_;
    std::vector<ProbeTicket> issued_;
    std::deque<std::pair<ProbeTicket, bool>> posted_;
    std::deque<std::pair<StatusLine::ProbeRequest, milliseconds>> timers_;
    std::string shown_, lastText_ = "Checking...";
    int posts_ = 0;
};

const Row rows[] = {
    {"StartFollowsUpUntilTheAgentAnswers", "start, done start, answer 1 stopped, wait, answer 2 running",
     "Starting agent... > running [answered after 25 ms] | 2 probes, 2 posted"},
    // A tick while the start works, and every follow-up but the last, find it silent.
    {"StartNeverShowsStoppedBeforeItsLastFollowUp",
     "start, tick, answer 1 stopped, done start, answer 2 stopped, silent 21",
     "Starting agent... > stopped [silent after 3000 ms] | 23 probes, 23 posted"},
    {"FailedStopRefreshesOnceItsAlertIsAnswered", "stop, failed stop, alert stop, answer 1 stopped",
     "Stopping agent... > stopped | 1 probes, 1 posted"},
    {"FailedStartIsNoLongerUnderWay", "start, failed start, alert start, answer 1 stopped",
     "Starting agent... > stopped | 1 probes, 1 posted"},
    {"StopEndsAStartsFollowUps", "start, done start, answer 1 stopped, stop, wait, done stop, answer 2 stopped",
     "Starting agent... > Stopping agent... > stopped | 2 probes, 2 posted"},
    {"PairingQRLeavesAStartsFollowUps",
     "start, done start, answer 1 stopped, pairing, done pairing, answer 2 stopped, wait, answer 3 running",
     "Starting agent... > Preparing pairing QR... > Starting agent... > running [answered after 25 ms] | 3 probes, 3 "
     "posted"},
    {"StartThatAPairingQROvertookIsFollowedUp",
     "start, pairing, done pairing, answer 1 stopped, done start, answer 2 running",
     "Starting agent... > Preparing pairing QR... > Starting agent... > running [answered after 0 ms] | 2 probes, 2 "
     "posted"},
    // Skipped before its probe (the start's refresh) and when its answer comes (the stop's).
    {"OvertakenActionLeavesTheNewerActionsText",
     "start, stop, done start, done stop, pairing, answer 1 stopped, done pairing, answer 2 stopped",
     "Starting agent... > Stopping agent... > Preparing pairing QR... > stopped | 2 probes, 2 posted"},
    {"PeriodicRefreshReplacesAnActionsTextAndAnIdleOnePostsNothing",
     "stop, tick, answer 1 running, tick, measure 2 running", "Stopping agent... > running | 2 probes, 1 posted"},
    // Probe 3, issued after probe 2, is posted though the line still shows what it found.
    {"AnAnswerThatDiffersFromOneOnItsWayIsPosted",
     "tick, answer 1 stopped, tick, tick, measure 2 running, measure 3 stopped, deliver, deliver",
     "stopped > running > stopped | 3 probes, 3 posted"},
    // A periodic probe issued before the start's follow-up answers after it.
    {"AnAnswerOlderThanTheShownOneIsDropped",
     "tick, answer 1 stopped, start, tick, done start, answer 3 running, answer 2 stopped",
     "stopped > Starting agent... > running [answered after 0 ms] | 3 probes, 3 posted"},
    // The first follow-up's answer comes after a newer one: the newer one decides.
    {"LateFollowUpGoesOnWithTheNewerAnswer",
     "start, done start, tick, answer 2 stopped, answer 1 running, wait, answer 3 running",
     "Starting agent... > running [answered after 25 ms] | 3 probes, 3 posted"},
    {"JobThatWentDownIsShownAtOnceAndOneThatCameUpIsFollowedUp",
     "tick, answer 1 running, job down, answer 2 stopped, job up, answer 3 stopped, wait, answer 4 running",
     "running > stopped > running | 4 probes, 4 posted"},
    {"JobThatCameUpDuringAStartLeavesTheFollowUpsToTheStart",
     "start, job up, answer 1 stopped, done start, answer 2 running",
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
