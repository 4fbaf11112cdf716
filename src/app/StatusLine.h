#pragma once

#include "ProbeAnswerGate.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kestrune::app {

// The status line's rules, in one place and with no threads, timers or widgets: what
// the first entry of the menu reads, and when the agent's health is asked again. The
// delegate hands it each event on the UI thread and carries out what the event
// returns. The rules:
//
// - An action shows "Status: " and its text from its click until a refresh replaces
//   it. When its work ends (or the alert for its failure is answered) the line is
//   refreshed, unless a newer action's text is up: that action's own refresh follows.
// - After a Start or Restart, the agent may need a moment to listen on its port: it
//   is probed again, often at first, until it answers or three seconds passed. From
//   the click until then, no answer shows it stopped: the start's text shows instead.
//   A newer Start, Stop or Restart ends the follow-ups; Show Pairing QR does not.
// - Answers apply in the order in which they were measured: one older than an answer
//   already delivered is dropped (a follow-up's then counts as the newer answer).
// - When the service manager reports that the agent's job changed, the line is
//   refreshed at once; a job that came up is followed up like a start, quietly.
class StatusLine {
  public:
    using Clock = std::chrono::steady_clock;
    enum class ActionKind { startsAgent, stopsAgent, pairing };

    struct ProbeRequest {
        ProbeTicket::Purpose purpose = ProbeTicket::Purpose::refresh;
        std::uint64_t action = 0;
    };
    // A start whose follow-ups ended: whether the agent answered, and how long after
    // the start's work ended.
    struct StartSettled {
        bool answered;
        std::chrono::milliseconds after;
    };
    // What to do after an event: probe, at once or after `delay`, and what to log.
    struct Next {
        std::optional<ProbeRequest> probe;
        std::chrono::milliseconds delay{0};
        std::optional<StartSettled> settled;
    };

    StatusLine();

    // The text the line shows now.
    const std::string& text() const { return text_; }
    // Shared with the probe threads, which ask it whether an answer is worth posting.
    std::shared_ptr<ProbeAnswerGate> gate() const { return gate_; }

    // An action was chosen; shows "Status: <title>" and returns the action's number.
    std::uint64_t actionBegan(ActionKind kind, const std::string& title);
    Next actionDone(std::uint64_t action, Clock::time_point now);
    // Its failure is shown in an alert; the line waits for the alert's answer.
    void actionFailed(std::uint64_t action);
    Next alertAnswered(std::uint64_t action);
    // The periodic refresh.
    static Next refresh();
    // The service manager says the agent's job changed; `up`: it runs, or is starting.
    Next jobChanged(bool up, Clock::time_point now);

    // Numbers a probe as it is issued; none when what it was for is over.
    std::optional<ProbeTicket> issue(const ProbeRequest& request);
    Next answered(const ProbeTicket& ticket, bool healthy, Clock::time_point now);

  private:
    struct StartUnderWay {
        std::uint64_t action;
        std::string title;
        Clock::time_point workDone{};
    };

    static Next refreshAfter(std::uint64_t action);
    Next startFollowUp(bool healthy, Clock::time_point now);
    Next jobFollowUp(bool healthy, Clock::time_point now);
    void showProbedHealth(bool healthy);
    void showHealth(bool healthy);
    void showText(const std::string& text, std::uint64_t action);

    std::string text_;
    std::uint64_t latestAction_ = 0;
    std::uint64_t lineAction_ = 0; // the action whose text is up; 0 when the health is
    std::optional<StartUnderWay> start_;
    std::optional<Clock::time_point> jobCameUp_; // while a job that came up is followed up
    std::uint64_t probesIssued_ = 0;
    std::uint64_t newestDelivered_ = 0;
    bool newestHealthy_ = false;
    std::shared_ptr<ProbeAnswerGate> gate_ = std::make_shared<ProbeAnswerGate>();
};

} // namespace kestrune::app
