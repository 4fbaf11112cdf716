#pragma once

#include <QLoggingCategory>

namespace kestrune::app {

// "kestrune.agent": each agent action and what came of it, so that the user's
// journal or terminal tells why the status line reads stopped. Never shown in the
// menu.
Q_DECLARE_LOGGING_CATEGORY(agentLog)

} // namespace kestrune::app
