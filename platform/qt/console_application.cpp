#include "platform/qt/console_application.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <array>
#include <csignal>
#include <map>
#include <utility>

namespace merriphonic {

namespace {

constexpr std::array terminationSignals{SIGINT, SIGTERM, SIGHUP};

sigset_t blockedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : terminationSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

// Blocks the signals before anything else of the state exists (QCoreApplication included).
int openSignalFd() {
    const sigset_t set = blockedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

// The application outlives main(): the stream thread is stopped as the process exits, and
// posting its stop needs the application. Made once, never deleted (still reachable).
QCoreApplication& application(int& argc, char** argv) {
    static int keptArgc = argc;
    static auto* const instance = new QCoreApplication(keptArgc, argv);
    return *instance;
}

} // namespace

struct ConsoleApplication::State {
    State(int& argc, char** argv) : signalFd(openSignalFd()) { application(argc, argv); }
    ~State() {
        readable.clear();
        signalNotifier.reset();
        if (signalFd >= 0) {
            close(signalFd);
        }
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void readSignals() const {
        signalfd_siginfo info{};
        while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (handler) {
                handler(static_cast<int>(info.ssi_signo));
            }
        }
    }

    int signalFd;
    SignalHandler handler;
    std::unique_ptr<QSocketNotifier> signalNotifier;
    std::map<int, std::unique_ptr<QSocketNotifier>> readable;
};

ConsoleApplication::ConsoleApplication(int& argc, char** argv)
    : state_(std::make_unique<State>(argc, argv)) {}

ConsoleApplication::~ConsoleApplication() = default;

int ConsoleApplication::exec() {
    return QCoreApplication::exec();
}

void ConsoleApplication::exit(int code) {
    QCoreApplication::exit(code);
}

void ConsoleApplication::setSignalHandler(SignalHandler handler) {
    state_->handler = std::move(handler);
    if (state_->signalFd < 0 || state_->signalNotifier) {
        return;
    }
    state_->signalNotifier =
        std::make_unique<QSocketNotifier>(state_->signalFd, QSocketNotifier::Read);
    QObject::connect(state_->signalNotifier.get(), &QSocketNotifier::activated,
                     [state = state_.get()] { state->readSignals(); });
    // Signals that came before there was a handler.
    state_->readSignals();
}

void ConsoleApplication::watchReadable(int fd, std::function<void()> handler) {
    auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated,
                     [handler = std::move(handler)] { handler(); });
    state_->readable[fd] = std::move(notifier);
}

void ConsoleApplication::unwatch(int fd) {
    const auto it = state_->readable.find(fd);
    if (it != state_->readable.end()) {
        // The handler calling this may be running inside the notifier's own signal.
        it->second->setEnabled(false);
        it->second.release()->deleteLater();
        state_->readable.erase(it);
    }
}

} // namespace merriphonic
