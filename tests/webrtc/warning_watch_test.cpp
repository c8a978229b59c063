#include <glib.h>

#include <thread>

#include "webrtc_fixture.hpp"

namespace webrtc_test {
namespace {

// The log check of these tests sees what GLib and GStreamer report on any thread, whichever way
// they report it: a failed g_return_if_fail (here the one GLib makes when a table changes while
// it is walked) and a warning of the structured log. Messages below warnings are not faults.
TEST(WarningWatchTest, CollectsEveryCriticalAndWarningFromAnyThread) {
    WarningWatch watch;

    GHashTable* table = g_hash_table_new(g_direct_hash, g_direct_equal);
    g_hash_table_insert(table, GINT_TO_POINTER(1), GINT_TO_POINTER(1));
    g_hash_table_foreach(
        table, [](gpointer, gpointer, gpointer table) {
            g_hash_table_insert(static_cast<GHashTable*>(table), GINT_TO_POINTER(2), GINT_TO_POINTER(2));
        },
        table);
    g_hash_table_unref(table);

    std::thread([] {
        g_log_structured("GStreamer", G_LOG_LEVEL_WARNING, "MESSAGE", "%s", "from a streaming thread");
        g_log("GStreamer", G_LOG_LEVEL_MESSAGE, "only a message");
    }).join();

    EXPECT_EQ(watch.take(), (std::vector<std::string>{
                                "GLib: g_hash_table_foreach: assertion 'version == hash_table->version' failed",
                                "GStreamer: from a streaming thread"}));
    EXPECT_EQ(watch.take(), std::vector<std::string>{});
}

}  // namespace
}  // namespace webrtc_test
