#include "ProbeAnswerGate.h"

#include <algorithm>

namespace kestrune::app {

void ProbeAnswerGate::lineChanged(Health shown, std::uint64_t newestDelivered)
{
    std::lock_guard lock(mutex_);
    shown_ = shown;
    newestDelivered_ = newestDelivered;
}

bool ProbeAnswerGate::shouldPost(const ProbeTicket& ticket, bool healthy)
{
    std::lock_guard lock(mutex_);
    if (ticket.purpose == ProbeTicket::Purpose::refresh) {
        // With an answer still on its way, the line may yet change: what it shows now
        // proves nothing about what it will show.
        const bool nothingOnItsWay = newestPosted_ <= newestDelivered_;
        if (nothingOnItsWay && shown_ == (healthy ? Health::running : Health::stopped)) {
            return false;
        }
    }
    newestPosted_ = std::max(newestPosted_, ticket.number);
    return true;
}

} // namespace kestrune::app
