#include "AgentErrorAlert.h"

#include "WindowDestroyedElsewhere.h"

#include <QMessageBox>

namespace kestrune::app {

namespace {

QString genericErrorText()
{
    return QStringLiteral("An unexpected error occurred.");
}

} // namespace

QString agentErrorDescription(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        const QString text = QString::fromUtf8(exception.what());
        return text.isEmpty() ? genericErrorText() : text;
    } catch (...) {
        return genericErrorText();
    }
}

std::unique_ptr<QMessageBox> makeAgentErrorAlert(const QString& description)
{
    auto box = std::make_unique<QMessageBox>();
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle(QStringLiteral("Kestrune"));
    box->setText(QStringLiteral("Kestrune Agent Error"));
    box->setInformativeText(description);
    box->setStandardButtons(QMessageBox::Ok);
    box->setDefaultButton(QMessageBox::Ok);
    return box;
}

QMessageBox* openAgentErrorAlert(const QString& description, QObject* context, std::function<void()> answered)
{
    // Not exec(): each alert would nest an event loop in the one before, and none
    // could end, nor release its alert, before every alert opened after it had.
    QMessageBox* box = makeAgentErrorAlert(description).release();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    QObject::connect(box, &QDialog::finished, context, [answered = std::move(answered)](int) { answered(); });
    // A tray app has no window of its own in front: bring the alert there.
    box->show();
    box->raise();
    box->activateWindow();
    closeWhenDestroyedElsewhere(box);
    return box;
}

} // namespace kestrune::app
