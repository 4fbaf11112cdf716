#pragma once

#include <QString>

#include <exception>
#include <memory>

class QMessageBox;

namespace kestrune::app {

// The text the user sees for a failed agent operation: a std::exception's what()
// (a KestruneError's is its finished user text), or a generic line otherwise.
QString agentErrorDescription(const std::exception_ptr& error);

// The warning box for a failed agent operation, not yet shown.
std::unique_ptr<QMessageBox> makeAgentErrorAlert(const QString& description);

// Shows the warning modally and returns once the user has dismissed it.
void runAgentErrorAlert(const QString& description);

} // namespace kestrune::app
