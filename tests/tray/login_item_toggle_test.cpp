#include "platform/ui/login_item_toggle.hpp"

#include <gtest/gtest.h>

#include "qt_test_application.hpp"

namespace {

using platform::LoginItemStatus;

class SwitchableService : public platform::LoginItemService {
public:
    LoginItemStatus current = LoginItemStatus::notRegistered;
    LoginItemStatus status() const override { return current; }
    void registerItem() override { current = LoginItemStatus::enabled; }
    void unregisterItem() override { current = LoginItemStatus::notRegistered; }
};

TEST(LoginItemToggle, ShowsAndChangesTheRegistration) {
    kestro::test::qtApplication();
    auto service = std::make_shared<SwitchableService>();
    platform::LoginItem item(service);
    platform::LoginItemToggle toggle(item.observable());
    EXPECT_EQ(toggle.text(), "Launch at login");
    EXPECT_FALSE(toggle.isChecked());

    toggle.click();
    EXPECT_EQ(service->current, LoginItemStatus::enabled);
    EXPECT_TRUE(toggle.isChecked());

    // A change made elsewhere reaches the switch once the write is done.
    item.setEnabled(false);
    EXPECT_TRUE(kestro::test::processEventsUntil([&] { return !toggle.isChecked(); }));
}

}  // namespace
