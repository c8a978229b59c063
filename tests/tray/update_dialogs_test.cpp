#include "app/view/update_dialogs.hpp"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QPointer>

#include "qt_test_application.hpp"

namespace {

QAbstractButton* buttonNamed(QMessageBox* box, const QString& text) {
    for (auto* button : box->buttons()) {
        if (button->text() == text) return button;
    }
    return nullptr;
}

TEST(UpdateDialogs, TheDownloadPageOpensOnlyWhenTheUserAsks) {
    kestro::test::qtApplication();
    kestro::view::UpdateDialogs dialogs("0.1.0");
    int opened = 0;
    dialogs.showUpdateFound({"0.2.0", "https://kestro.app/dl"}, [&] { ++opened; });
    QPointer<QMessageBox> found = dialogs.current();
    ASSERT_TRUE(found);
    EXPECT_EQ(found->text(), "Kestro 0.2.0 is available.");
    EXPECT_FALSE(found->isModal());
    EXPECT_EQ(opened, 0);
    ASSERT_NE(buttonNamed(found, "Later"), nullptr);
    auto* download = buttonNamed(found, "Download");
    ASSERT_NE(download, nullptr);
    download->click();
    EXPECT_EQ(opened, 1);

    // One box at a time: a later message replaces the earlier one.
    dialogs.showUpdateFound({"0.2.0", "https://kestro.app/dl"}, [&] { ++opened; });
    QPointer<QMessageBox> second = dialogs.current();
    dialogs.showUpdaterError("Could not check for updates. Please try again later.");
    EXPECT_FALSE(second);
    EXPECT_EQ(dialogs.current()->text(), "Could not check for updates. Please try again later.");
    EXPECT_EQ(opened, 1);
}

}  // namespace
