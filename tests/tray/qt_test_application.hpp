#pragma once
// One QApplication for the whole test binary, on the offscreen platform unless the environment
// names another one.

#include <QApplication>
#include <QElapsedTimer>
#include <chrono>

namespace kestro::test {

inline QApplication& qtApplication() {
    static int argc = 1;
    static char name[] = "test_tray";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: Qt's own globals (input devices) may already be gone at exit.
    static auto* application = new QApplication(argc, argv);
    return *application;
}

// Runs Qt's event loop until `done()` holds or the time is up; returns done().
template <class Predicate>
bool processEventsUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < limit.count()) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
}

}  // namespace kestro::test
