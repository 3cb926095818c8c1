#include "platform/keyring/Keyring.h"

#include <libsecret/secret.h>

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace keyring {

namespace {

constexpr const char* kProgram = "Orvane";
// After a cancel, the time a request gets to come back before it is left to
// end on its own.
constexpr std::chrono::milliseconds kCancelGrace{1000};

const SecretSchema* Schema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.example.orvane.Orvane.Site";
        s.flags = SECRET_SCHEMA_NONE;
        const char* names[] = {"program", "site", "host", "port", "user"};
        for (size_t i = 0; i < std::size(names); ++i)
            s.attributes[i] = {names[i], SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The bus carries attributes and labels as UTF-8 text; names are bytes from
// strangers. Valid text stays as it is but for "\\" (doubled), every other
// byte becomes "\xHH": two names never give one text.
std::string Text(const std::string& bytes) {
    std::string out;
    const char* p = bytes.data();
    const char* end = p + bytes.size();
    while (p < end) {
        const gchar* validEnd = nullptr;
        g_utf8_validate_len(p, end - p, &validEnd);
        for (; p < validEnd; ++p)
            out += *p == '\\' ? std::string("\\\\") : std::string(1, *p);
        if (p < end) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(*p));
            out += hex;
            ++p;
        }
    }
    return out;
}

// Attributes of a request: the program's, and the site's when one is named.
class Attributes {
public:
    Attributes() : m_table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free)) {
        Add("program", kProgram);
    }
    ~Attributes() { g_hash_table_unref(m_table); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    Attributes& Add(const char* name, const std::string& value) {
        g_hash_table_replace(m_table, g_strdup(name), g_strdup(Text(value).c_str()));
        return *this;
    }
    GHashTable* Get() const { return m_table; }

private:
    GHashTable* m_table;
};

// What a request came to. `gone` says the keyring cannot be reached at all.
struct Outcome {
    Result result = Result::Failed;
    std::string error;
    bool gone = false;
    std::string secret;               // Lookup's answer
    bool locked = false;              // (the probe) the default collection is locked
    SecretService* service = nullptr; // (the probe) the service reached, owned
    GDBusConnection* bus = nullptr;   // (the probe) the session bus, owned
};

Outcome With(Result result) {
    Outcome out;
    out.result = result;
    return out;
}

// Errors of the bus and of the connection to it mean there is no keyring to
// talk to; the keyring's own refusals (locked, no such item) do not.
Outcome FromError(GError* error, const char* what) {
    Outcome out;
    if (!error) {
        out.error = what;
        return out;
    }
    out.error = error->message;
    out.gone =
        error->domain == G_IO_ERROR || error->domain == G_SPAWN_ERROR ||
        (error->domain == G_DBUS_ERROR &&
         (error->code == G_DBUS_ERROR_SERVICE_UNKNOWN ||
          error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER || error->code == G_DBUS_ERROR_NO_REPLY ||
          error->code == G_DBUS_ERROR_TIMEOUT || error->code == G_DBUS_ERROR_TIMED_OUT ||
          error->code == G_DBUS_ERROR_DISCONNECTED || error->code == G_DBUS_ERROR_NO_SERVER ||
          error->code == G_DBUS_ERROR_FILE_NOT_FOUND ||
          (error->code >= G_DBUS_ERROR_SPAWN_EXEC_FAILED &&
           error->code <= G_DBUS_ERROR_SPAWN_FAILED)));
    g_error_free(error);
    return out;
}

// One request on a worker of its own, waited for at most `wait`. A request
// that does not come back in time is cancelled and counts as unanswered; the
// state it shares with the caller outlives whichever of the two ends last.
template <class Work> Outcome RunBounded(std::chrono::milliseconds wait, Work work) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        Outcome outcome;
        GCancellable* cancellable = g_cancellable_new();
        ~Shared() { g_object_unref(cancellable); }
    };
    auto shared = std::make_shared<Shared>();
    std::thread worker([shared, work]() {
        Outcome outcome = work(shared->cancellable);
        std::lock_guard lock(shared->mutex);
        shared->outcome = std::move(outcome);
        shared->done = true;
        shared->ended.notify_all();
    });
    std::unique_lock lock(shared->mutex);
    bool inTime = shared->ended.wait_for(lock, wait, [&] { return shared->done; });
    if (!inTime) {
        g_cancellable_cancel(shared->cancellable);
        shared->ended.wait_for(lock, kCancelGrace, [&] { return shared->done; });
    }
    bool ended = shared->done;
    // A request cancelled in time still hands over what it holds (the probe's
    // connection, to be closed), but counts as unanswered.
    Outcome outcome = ended ? std::move(shared->outcome) : Outcome{};
    lock.unlock();
    if (ended)
        worker.join();
    else
        worker.detach();
    if (!inTime) {
        outcome.result = Result::Failed;
        outcome.secret.clear();
        outcome.gone = true;
        outcome.error =
            "the keyring did not answer within " + std::to_string(wait.count() / 1000) + " seconds";
    }
    return outcome;
}

// What this run knows of the keyring. The probe holds `probing` so two
// callers never ask at once; the answer and the service are read under `mutex`.
struct State {
    std::mutex probing;
    std::mutex mutex;
    enum { kUnknown, kYes, kNo } answer = kUnknown;
    std::string reason;
    SecretService* service = nullptr;
    // The session bus the service was reached on, kept so that it is this
    // connection (the one that does not end the program) that the service uses.
    GDBusConnection* bus = nullptr;
};

State& TheState() {
    static State state;
    return state;
}

void GiveUp(const std::string& reason) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    s.answer = State::kNo;
    s.reason = reason;
}

// Lets go of a service.
void Drop(SecretService* service) {
    if (service)
        g_object_unref(service);
}

// Reaches the service on the session bus and opens a session with it.
Outcome Probe(GCancellable* cancellable) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &error);
    if (!bus)
        return FromError(error, "no session bus");
    // The program goes on when the session bus goes away.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    // A service object of our own (not the process's shared one) on that bus.
    SecretService* service = secret_service_open_sync(
        SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, cancellable, &error);
    Outcome out;
    if (!service) {
        out = FromError(error, "no keyring service");
        out.bus = bus;
        return out;
    }
    out.bus = bus;
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable, &error);
    if (error) {
        out = FromError(error, "");
        out.bus = bus;
        Drop(service);
        return out;
    }
    out.result = Result::Done;
    out.locked = collection && secret_collection_get_locked(collection);
    if (collection)
        g_object_unref(collection);
    out.service = service;
    return out;
}

// The service in use, with a reference for the caller; null when there is none.
SecretService* Service() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    return s.service ? static_cast<SecretService*>(g_object_ref(s.service)) : nullptr;
}

// Runs a request unless the keyring is known to be absent; one that finds it
// gone makes it absent for the rest of the run.
template <class Work> Outcome Request(Work work) {
    SecretService* service = Available() ? Service() : nullptr;
    if (!service) {
        Outcome out = With(Result::Unavailable);
        out.error = UnavailableReason();
        return out;
    }
    Outcome out = RunBounded(kAnswerWait, [service, work](GCancellable* cancellable) {
        Outcome o = work(service, cancellable);
        g_object_unref(service);
        return o;
    });
    if (out.gone) {
        GiveUp(out.error);
        out.result = Result::Unavailable;
    }
    return out;
}

std::string Label(const SiteItem& item) {
    return Text(std::string(kProgram) + " site \"" + item.site + "\" (" + item.user + "@" +
                item.host + ":" + item.port + ")");
}

Outcome ClearSite(SecretService* service, const std::string& site, GCancellable* cancellable) {
    GError* e = nullptr;
    Attributes attributes;
    if (!site.empty())
        attributes.Add("site", Lower(site));
    secret_service_clear_sync(service, Schema(), attributes.Get(), cancellable, &e);
    return e ? FromError(e, "") : With(Result::Done);
}

} // namespace

bool Available() {
    State& s = TheState();
    {
        std::lock_guard lock(s.mutex);
        if (s.answer != State::kUnknown)
            return s.answer == State::kYes;
    }
    std::lock_guard probing(s.probing);
    {
        std::lock_guard lock(s.mutex);
        if (s.answer != State::kUnknown)
            return s.answer == State::kYes;
    }
    Outcome out = RunBounded(kAnswerWait, Probe);
    // Unlocking would ask the user and wait for them, with the program
    // waiting too: a locked keyring counts as one the user keeps locked.
    if (out.result == Result::Done && out.locked) {
        out.result = Result::Failed;
        out.error = "the keyring is locked";
    }
    bool yes = out.result == Result::Done && !out.gone && out.service;
    if (!yes) {
        Drop(out.service);
        out.service = nullptr;
    }
    std::lock_guard lock(s.mutex);
    s.service = out.service;
    if (s.bus)
        g_object_unref(s.bus);
    s.bus = out.bus;
    s.answer = yes ? State::kYes : State::kNo;
    s.reason = yes ? "" : out.error;
    return yes;
}

std::string UnavailableReason() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    return s.answer == State::kNo ? s.reason : "";
}

Result Store(const SiteItem& item, const std::string& password, std::string* error) {
    Outcome out = Request([item, password](SecretService* service, GCancellable* cancellable) {
        // An item under another host, port or user would stay beside the new one.
        Outcome cleared = ClearSite(service, item.site, cancellable);
        if (cleared.result != Result::Done)
            return cleared;
        Attributes all;
        all.Add("site", Lower(item.site))
            .Add("host", item.host)
            .Add("port", item.port)
            .Add("user", item.user);
        SecretValue* value =
            secret_value_new(password.data(), static_cast<gssize>(password.size()), "text/plain");
        GError* e = nullptr;
        gboolean stored =
            secret_service_store_sync(service, Schema(), all.Get(), SECRET_COLLECTION_DEFAULT,
                                      Label(item).c_str(), value, cancellable, &e);
        secret_value_unref(value);
        return stored ? With(Result::Done) : FromError(e, "the keyring refused the password");
    });
    if (error)
        *error = out.error;
    return out.result;
}

Result Lookup(const std::string& site, std::string* password) {
    Outcome out = Request([site](SecretService* service, GCancellable* cancellable) {
        GError* e = nullptr;
        Attributes attributes;
        attributes.Add("site", Lower(site));
        SecretValue* value =
            secret_service_lookup_sync(service, Schema(), attributes.Get(), cancellable, &e);
        if (e)
            return FromError(e, "");
        if (!value)
            return With(Result::NotFound);
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        Outcome o = With(Result::Done);
        o.secret.assign(bytes, length);
        secret_value_unref(value);
        return o;
    });
    if (out.result == Result::Done && password)
        *password = std::move(out.secret);
    return out.result;
}

Result Clear(const std::string& site) {
    if (site.empty())
        return Result::Done; // never every item by accident
    return Request([site](SecretService* service, GCancellable* cancellable) {
               return ClearSite(service, site, cancellable);
           })
        .result;
}

Result ClearAll() {
    return Request([](SecretService* service, GCancellable* cancellable) {
               return ClearSite(service, "", cancellable);
           })
        .result;
}

void Reset() {
    State& s = TheState();
    std::lock_guard probing(s.probing);
    SecretService* service = nullptr;
    GDBusConnection* bus = nullptr;
    {
        std::lock_guard lock(s.mutex);
        service = s.service;
        bus = s.bus;
        s.service = nullptr;
        s.bus = nullptr;
        s.answer = State::kUnknown;
        s.reason.clear();
    }
    Drop(service);
    if (!bus)
        return;
    // The shared session connection is closed, and once the default main
    // context has run what its closing left queued there, it is gone: the
    // next probe connects to the bus the environment names then.
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
    if (g_main_context_acquire(nullptr)) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        g_main_context_release(nullptr);
    }
}

} // namespace keyring
