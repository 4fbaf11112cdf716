#include "StatusLine.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <vector>

using namespace kestrune::app;
using namespace std::chrono;

namespace {

struct Row {
    const char* name;
    // The events, in order. "start", "stop", "pairing": the menu entry is chosen;
    // "done X": its work ends; "failed X": it fails and its alert is answered;
    // "tick": the periodic refresh; "job up", "job down": the service manager's news;
    // "measure N H": probe N (numbered as issued) finds the agent running or stopped,
    // and the gate decides whether its thread posts that; "deliver": the UI thread
    // takes the oldest answer posted; "answer N H": both; "wait": the follow-up
    // interval passes; "silent N": N follow-ups in turn find it stopped.
    const char* events;
    // Each text the line took, the settled starts, then the probes issued and posted.
    const char* shown;
};

// Plays the menu, the probe threads and the timers that the delegate gives the line.
// Answers posted and timers set are kept in order with how many were taken.
class Player {
  public:
    std::string play(const std::string& events)
    {
        std::istringstream words(events);
        for (std::string event; std::getline(words >> std::ws, event, ',');) {
            apply(event);
        }
        EXPECT_TRUE(timers_.size() == waited_ && posted_.size() == delivered_) << "a follow-up or an answer left over";
        return shown_ + " | " + std::to_string(issued_.size()) + " probes, " + std::to_string(posted_.size()) +
               " posted";
    }

  private:
    void apply(const std::string& event)
    {
        std::istringstream in(event);
        std::string what, which, health;
        in >> what >> which >> health;
        static const std::map<std::string, StatusLine::ActionKind> actions = {
            {"start", StatusLine::ActionKind::startsAgent},
            {"stop", StatusLine::ActionKind::stopsAgent},
            {"pairing", StatusLine::ActionKind::pairing}};
        if (actions.contains(what)) { // the action's title is its word
            numbers_[what] = line_.actionBegan(actions.at(what), what);
            follow({});
        } else if (what == "done") {
            follow(line_.actionDone(numbers_.at(which), now_));
        } else if (what == "failed") {
            line_.actionFailed(numbers_.at(which));
            follow(line_.alertAnswered(numbers_.at(which)));
        } else if (what == "tick") {
            follow(StatusLine::refresh());
        } else if (what == "job") {
            follow(line_.jobChanged(which == "up", now_));
        } else if (what == "measure" || what == "answer") {
            const ProbeTicket ticket = issued_.at(std::stoul(which) - 1);
            if (line_.gate()->shouldPost(ticket, health == "running")) {
                posted_.push_back({ticket, health == "running"});
            }
            if (what == "answer") {
                apply("deliver");
            }
        } else if (what == "deliver") {
            ASSERT_LT(delivered_, posted_.size()) << "nothing to deliver";
            const auto& [ticket, healthy] = posted_[delivered_++];
            follow(line_.answered(ticket, healthy, now_));
        } else if (what == "wait") {
            ASSERT_LT(waited_, timers_.size()) << "no follow-up waits";
            now_ += timers_[waited_].second;
            issue(timers_[waited_++].first);
        } else {
            ASSERT_EQ(what, "silent");
            for (int i = 0; i < std::stoi(which); ++i) {
                apply("wait");
                apply("answer " + std::to_string(issued_.size()) + " stopped");
            }
        }
    }

    void follow(const StatusLine::Next& next)
    {
        if (const std::string text = std::regex_replace(line_.text(), std::regex("Status: (Local agent )?"), "");
            text != lastText_) {
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
    std::vector<std::pair<ProbeTicket, bool>> posted_;
    std::vector<std::pair<StatusLine::ProbeRequest, milliseconds>> timers_;
    std::size_t delivered_ = 0, waited_ = 0;
    std::string shown_, lastText_ = "Checking...";
};

const Row rows[] = {
    // A tick while the start works, and every follow-up but the last, find it silent.
    {"StartNeverShowsStoppedBeforeItsLastFollowUp",
     "start, tick, answer 1 stopped, done start, answer 2 stopped, silent 21",
     "start > stopped [silent after 3000 ms] | 23 probes, 23 posted"},
    {"FailedStartIsNoLongerUnderWayAndItsAnsweredAlertRefreshes", "start, failed start, answer 1 stopped",
     "start > stopped | 1 probes, 1 posted"},
    {"StopEndsAStartsFollowUps", "start, done start, answer 1 stopped, stop, wait, done stop, answer 2 stopped",
     "start > stop > stopped | 2 probes, 2 posted"},
    {"PairingQRLeavesAStartsFollowUps",
     "start, done start, answer 1 stopped, pairing, done pairing, answer 2 stopped, wait, answer 3 running",
     "start > pairing > start > running [answered after 25 ms] | 3 probes, 3 posted"},
    // The start's follow-ups end silent while the pairing's text is up.
    {"StoppedWaitsForTheRefreshOfANewerActionsText",
     "start, done start, answer 1 stopped, pairing, silent 21, done pairing, answer 23 stopped",
     "start > pairing [silent after 3000 ms] > stopped | 23 probes, 23 posted"},
    // Skipped before its probe (the start's refresh) and when its answer comes (the stop's).
    {"OvertakenActionLeavesTheNewerActionsText",
     "start, stop, done start, done stop, pairing, answer 1 stopped, done pairing, answer 2 stopped",
     "start > stop > pairing > stopped | 2 probes, 2 posted"},
    {"PeriodicRefreshReplacesAnActionsTextAndAnIdleOnePostsNothing",
     "stop, tick, answer 1 running, tick, measure 2 running", "stop > running | 2 probes, 1 posted"},
    // Probe 3, issued after probe 2, is posted though the line still shows what it found.
    {"AnAnswerThatDiffersFromOneOnItsWayIsPosted",
     "tick, answer 1 stopped, tick, tick, measure 2 running, measure 3 stopped, deliver, deliver",
     "stopped > running > stopped | 3 probes, 3 posted"},
    // A periodic probe issued before the start's follow-up answers after it.
    {"AnAnswerOlderThanTheShownOneIsDropped",
     "tick, answer 1 stopped, start, tick, done start, answer 3 running, answer 2 stopped",
     "stopped > start > running [answered after 0 ms] | 3 probes, 3 posted"},
    // The first follow-up's answer comes after a newer one: the newer one decides.
    {"LateFollowUpGoesOnWithTheNewerAnswer",
     "start, done start, tick, answer 2 stopped, answer 1 running, wait, answer 3 running",
     "start > running [answered after 25 ms] | 3 probes, 3 posted"},
    {"JobThatWentDownIsShownAtOnceAndOneThatCameUpIsFollowedUp",
     "tick, answer 1 running, job down, answer 2 stopped, job up, answer 3 stopped, wait, answer 4 running",
     "running > stopped > running | 4 probes, 4 posted"},
    {"JobThatCameUpDuringAStartLeavesTheFollowUpsToTheStart",
     "start, job up, answer 1 stopped, done start, answer 2 running",
     "start > running [answered after 0 ms] | 2 probes, 2 posted"},
};

class StatusLineTable : public ::testing::TestWithParam<Row> {};

TEST_P(StatusLineTable, ShowsWhatTheRowSays)
{
    EXPECT_EQ(Player().play(GetParam().events), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Rows, StatusLineTable, ::testing::ValuesIn(rows),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
