// SIGTERM, SIGINT and SIGHUP as events of the window's thread: the handler
// only writes the signal number into a pipe, a socket notifier reads it.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace karvolen {

class TerminationSignals : public QObject {
public:
    // Installs the handlers; `onSignal` runs on the event loop, once per signal.
    explicit TerminationSignals(std::function<void(int)> onSignal);
    // Restores the previous handlers.
    ~TerminationSignals() override;
    bool Installed() const { return installed_; }

private:
    void Drain();

    std::function<void(int)> onSignal_;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool installed_ = false;
};

}  // namespace karvolen
