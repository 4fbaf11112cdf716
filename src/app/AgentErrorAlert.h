#pragma once

#include <QString>

#include <exception>
#include <functional>
#include <memory>

class QMessageBox;
class QObject;

namespace kestrune::app {

// The text the user sees for a failed agent operation: a std::exception's what()
// (a KestruneError's is its finished user text), or a generic line otherwise.
QString agentErrorDescription(const std::exception_ptr& error);

// The warning box for a failed agent operation, not yet shown.
std::unique_ptr<QMessageBox> makeAgentErrorAlert(const QString& description);

// Shows the warning as a modal alert and returns it at once. Once the user has
// dismissed it, `answered` runs (while `context` lives) and the alert deletes itself.
QMessageBox* openAgentErrorAlert(const QString& description, QObject* context, std::function<void()> answered);

} // namespace kestrune::app
