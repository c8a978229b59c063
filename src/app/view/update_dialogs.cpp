#include "app/view/update_dialogs.hpp"

#include <QMessageBox>
#include <QPushButton>

namespace kestro::view {

UpdateDialogs::UpdateDialogs(std::string currentVersion) : currentVersion_(std::move(currentVersion)) {}

UpdateDialogs::~UpdateDialogs() { delete box_.data(); }

void UpdateDialogs::present(QMessageBox* box) {
    delete box_.data();
    box_ = box;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(QStringLiteral("Kestro"));
    box->setModal(false);
    box->show();
    box->raise();
    box->activateWindow();
}

void UpdateDialogs::showUpdateFound(const platform::UpdateFeedEntry& update, std::function<void()> openDownload) {
    auto* box = new QMessageBox(QMessageBox::Information, QString(), QString());
    box->setText(QStringLiteral("Kestro %1 is available.").arg(QString::fromStdString(update.version)));
    box->setInformativeText(QStringLiteral("You have version %1. Open the download page?")
                                .arg(QString::fromStdString(currentVersion_)));
    auto* download = box->addButton(QStringLiteral("Download"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    box->setDefaultButton(download);
    QObject::connect(download, &QPushButton::clicked, box, [open = std::move(openDownload)] { open(); });
    present(box);
}

void UpdateDialogs::showUpdateNotFound() {
    auto* box = new QMessageBox(QMessageBox::Information, QString(), QString());
    box->setText(QStringLiteral("Kestro is up to date."));
    box->setInformativeText(
        QStringLiteral("Version %1 is the newest version available.").arg(QString::fromStdString(currentVersion_)));
    box->addButton(QMessageBox::Ok);
    present(box);
}

void UpdateDialogs::showUpdaterError(const std::string& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, QString(), QString::fromStdString(text));
    box->addButton(QMessageBox::Ok);
    present(box);
}

}  // namespace kestro::view
