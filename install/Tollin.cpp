#include "install/Tollin.h"

#include "platform/registry/Registry.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <string>

namespace {

const char kMakerUrl[] = "https://orvane.example.org";

// Shows the error as a message box when the calling process runs a window
// system, else on stderr. GTK is looked up in the process, not linked: the
// library stays usable from programs without windows.
void ReportError(const std::string& text) {
    using DisplayFn = void* (*)();
    using DialogNewFn = void* (*)(void*, int, int, int, const char*, ...);
    using VoidFn = void (*)(void*);
    using RunFn = int (*)(void*);
    using TitleFn = void (*)(void*, const char*);
    auto display = reinterpret_cast<DisplayFn>(dlsym(RTLD_DEFAULT, "gdk_display_get_default"));
    auto dialogNew = reinterpret_cast<DialogNewFn>(dlsym(RTLD_DEFAULT, "gtk_message_dialog_new"));
    auto setTitle = reinterpret_cast<TitleFn>(dlsym(RTLD_DEFAULT, "gtk_window_set_title"));
    auto run = reinterpret_cast<RunFn>(dlsym(RTLD_DEFAULT, "gtk_dialog_run"));
    auto destroy = reinterpret_cast<VoidFn>(dlsym(RTLD_DEFAULT, "gtk_widget_destroy"));
    if (display && dialogNew && setTitle && run && destroy && display()) {
        // Modal, no parent, information icon (GTK_MESSAGE_INFO 0), OK (GTK_BUTTONS_OK 1).
        void* dialog = dialogNew(nullptr, 1 /* GTK_DIALOG_MODAL */, 0, 1, "%s", text.c_str());
        setTitle(dialog, "Error");
        run(dialog);
        destroy(dialog);
        return;
    }
    std::fprintf(stderr, "Error: %s\n", text.c_str());
}

// Writes one value of SOFTWARE\Orvane; false (and the user told) on failure.
bool WriteValue(const char* name, const void* data, reg::DWORD size, bool text) {
    reg::HKEY software = nullptr, product = nullptr;
    reg::LONG rc =
        reg::RegOpenKeyEx(reg::HKEY_LOCAL_MACHINE, "SOFTWARE", reg::KEY_ALL_ACCESS, &software);
    if (rc != reg::REG_OK) {
        ReportError(reg::RegErrorText(rc));
        return false;
    }
    rc = reg::RegCreateKeyEx(software, "Orvane", reg::KEY_ALL_ACCESS, &product);
    if (rc != reg::REG_OK) {
        ReportError(reg::RegErrorText(rc));
        reg::RegCloseKey(software);
        return false;
    }
    rc = reg::RegSetValueEx(product, name, text ? reg::REG_SZ : reg::REG_BINARY, data, size);
    reg::RegCloseKey(product);
    reg::RegCloseKey(software);
    if (rc != reg::REG_OK) {
        ReportError(reg::RegErrorText(rc));
        return false;
    }
    return true;
}

// The library's copy of the store is closed when the library is unloaded:
// every load would otherwise leave its database descriptor open.
__attribute__((destructor)) void CloseStoreOnUnload() {
    reg::RegResetStore();
}

} // namespace

TOLLIN_API int RegisterApp(const char* installDir) {
    // Seconds since 1970 as a signed 32-bit number, little-endian.
    std::int32_t now = static_cast<std::int32_t>(std::time(nullptr));
    unsigned char date[4];
    for (int i = 0; i < 4; ++i)
        date[i] = static_cast<unsigned char>((static_cast<std::uint32_t>(now) >> (8 * i)) & 0xFF);
    if (!installDir)
        installDir = "";
    if (!WriteValue("URL", kMakerUrl, sizeof kMakerUrl, true))
        return 0;
    if (!WriteValue("PATH", installDir, static_cast<reg::DWORD>(std::strlen(installDir) + 1), true))
        return 0;
    WriteValue("InstallationDate", date, sizeof date, false);
    return 0;
}

TOLLIN_API int UnRegisterApp(void) {
    reg::HKEY product = nullptr;
    if (reg::RegOpenKeyEx(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", reg::KEY_ALL_ACCESS,
                          &product) != reg::REG_OK)
        return 0;
    // Sites are subkeys without subkeys of their own: delete the first until
    // none is left (or one cannot be deleted).
    char name[100];
    while (reg::RegEnumKey(product, 0, name, sizeof name) == reg::REG_OK)
        if (reg::RegDeleteKey(product, name) != reg::REG_OK)
            break;
    reg::RegDeleteValue(product, "PATH");
    reg::RegDeleteValue(product, "InstallationDate");
    reg::RegDeleteValue(product, "URL");
    reg::RegCloseKey(product);
    return 1;
}
