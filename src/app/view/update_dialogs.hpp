#pragma once
// What the user sees of an update check: small non-modal message boxes.

#include <QMessageBox>
#include <QPointer>
#include <memory>

#include "platform/desktop/updater.hpp"

namespace kestro::view {

class UpdateDialogs : public platform::UpdaterUserDriver {
public:
    explicit UpdateDialogs(std::string currentVersion);
    ~UpdateDialogs() override;

    void showUpdateFound(const platform::UpdateFeedEntry& update, std::function<void()> openDownload) override;
    void showUpdateNotFound() override;
    void showUpdaterError(const std::string& text) override;

    // The box on screen, if any (one at a time; a new one replaces it).
    QMessageBox* current() const { return box_; }

private:
    void present(QMessageBox* box);

    std::string currentVersion_;
    QPointer<QMessageBox> box_;
};

}  // namespace kestro::view
