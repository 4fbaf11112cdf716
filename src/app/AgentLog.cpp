#include "AgentLog.h"

namespace kestrune::app {

Q_LOGGING_CATEGORY(agentLog, "kestrune.agent")

} // namespace kestrune::app
