#pragma once

#include <cstdint>
#include <mutex>

namespace kestrune::app {

// A health probe, numbered on the UI thread when it is issued.
struct ProbeTicket {
    enum class Purpose {
        refresh,       // the periodic refresh, or a refresh after an action or an alert
        startFollowUp, // one of the probes that follow a start until the agent answers
        unitFollowUp,  // one of the probes that follow the service manager's news of the agent
    };
    std::uint64_t number = 0;
    Purpose purpose = Purpose::refresh;
    std::uint64_t action = 0; // the action a refresh or a start's follow-up belongs to
};

// Decides, on a probe's own thread, whether its answer is worth waking the UI thread
// for: an idle app should wake for its timer alone. The UI thread tells it what the
// status line shows; each probe thread asks it about its answer. Thread-safe.
class ProbeAnswerGate {
  public:
    enum class Health { neither, running, stopped };

    // UI thread: the line now shows `shown`, with every answer up to `newestDelivered`
    // applied or dropped.
    void lineChanged(Health shown, std::uint64_t newestDelivered);

    // Any thread: whether to post `healthy` for `ticket`. A refresh is left out only
    // when the line shows that answer already and no answer is on its way: one on its
    // way may change the line. Follow-ups always post: the next one waits for them.
    bool shouldPost(const ProbeTicket& ticket, bool healthy);

  private:
    std::mutex mutex_;
    Health shown_ = Health::neither;
    std::uint64_t newestDelivered_ = 0;
    std::uint64_t newestPosted_ = 0;
};

} // namespace kestrune::app
