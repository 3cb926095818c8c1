// A keyring that never answers: it owns the Secret Service's name on the
// session bus and drops every call made to it, so a caller waits until it
// gives up. Prints "ready" once the name is its own; ends with its bus.
#include <gio/gio.h>

#include <cstdio>

namespace {

GDBusMessage* DropCalls(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer) {
    if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL &&
        g_strcmp0(g_dbus_message_get_sender(message), "org.freedesktop.DBus") != 0) {
        g_object_unref(message);
        return nullptr;
    }
    return message;
}

} // namespace

int main() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        std::fprintf(stderr, "silent_secrets: %s\n", error->message);
        return 1;
    }
    g_dbus_connection_add_filter(bus, DropCalls, nullptr, nullptr);
    constexpr guint32 kDoNotQueue = 4;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.secrets", kDoNotQueue), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    guint32 answer = 0;
    if (reply) {
        g_variant_get(reply, "(u)", &answer);
        g_variant_unref(reply);
    }
    if (answer != 1) { // DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER
        std::fprintf(stderr, "silent_secrets: the name is not ours\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop);
    return 0;
}
