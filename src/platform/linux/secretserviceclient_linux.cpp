// Implementation notes
//
// libsecret's simple API (secret_password_*) unlocks collections and may create the default
// one, both of which can show a password prompt. This client uses the lower-level calls with
// flags that never unlock: a search without SECRET_SEARCH_UNLOCK (locked items are only counted),
// and before storing, the default collection is looked up by alias and refused when it is missing
// (creating it would prompt for a new password) or locked (storing would prompt to unlock it).
//
// Bounding the time: every request runs on one worker thread, in order, with its own
// GCancellable; the caller waits on a condition variable until its deadline and then cancels the
// request and reports the service as unavailable without waiting further. Serial execution keeps a
// late, abandoned request from racing a newer one (an old delete cannot remove a newer item).
//
// One connection for all requests: opening a SecretService proxy and negotiating its encrypted
// session (a Diffie-Hellman exchange on both ends) costs several times as much as a lookup, so the
// worker keeps one proxy (secret_service_open, never the process-wide secret_service_get) and the
// session it opens on the first secret read or written; a search alone needs none. Nothing that
// may change is kept with it: collections are never loaded into the proxy, so every search makes
// new item objects and every store fetches the default collection anew, each with its current
// lock flag. The proxy is given up
// - before a request, when the bus name has changed hands (the keyring daemon was replaced: the
//   session belongs to the old one) or the bus connection has closed;
// - after a request that failed with an error or ran out of time. A request that failed on a kept
//   proxy is tried once more on a new one, within the same deadline, since the daemon may have
//   gone away before the worker heard of it. An unlocked item that comes back from a search
//   without its secret counts as such a failure: libsecret drops the error of fetching secrets,
//   which is what a session the daemon does not know produces.
// The proxy's D-Bus signals (which carry the name owner changes) go to a main context of the
// worker's own, pushed for the thread's lifetime and drained before each request; without it they
// would be dispatched on the application's main thread, or pile up in a context nobody runs.
//
// The session bus connection is GLib's shared one; it is told not to exit the process when the
// bus goes away, which is GLib's default for shared bus connections.

// GLib's headers use "signals" as a field name, which Qt defines as a macro: include them first.
#include <libsecret/secret.h>

#include "secretserviceclient_linux.h"

#include <QLoggingCategory>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

Q_LOGGING_CATEGORY(lcSecretService, "vorn.platform.secretservice", QtWarningMsg)

using Status = SecretServiceClient::Status;

struct GObjectUnref
{
    void operator()(gpointer object) const { g_object_unref(object); }
};
template<typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct HashTableUnref
{
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;

struct SecretValueUnref
{
    void operator()(SecretValue *value) const { secret_value_unref(value); }
};
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

struct ItemListFree
{
    void operator()(GList *list) const { g_list_free_full(list, g_object_unref); }
};
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

const SecretSchema *schema()
{
    // Name matching is off so that items made by other tools (secret-tool) are found too.
    static const SecretSchema generic = [] {
        SecretSchema schema{};
        schema.name = "com.zumbra.vorn.GenericPassword";
        schema.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        schema.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        schema.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return schema;
    }();
    return &generic;
}

AttributesPtr attributesFor(const QByteArray &service, const QByteArray &account)
{
    return AttributesPtr(secret_attributes_build(schema(), "service", service.constData(),
                                                 "account", account.constData(), nullptr));
}

bool isCancelled(const GError *error)
{
    return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
}

// The one place where libsecret and GDBus failures are translated: whatever went wrong, the
// caller only learns that the service is unavailable. The reason is kept for diagnosis
// (QT_LOGGING_RULES="vorn.platform.secretservice.debug=true").

Status unavailable(GError *error, const char *step)
{
    if (isCancelled(error))
        qCDebug(lcSecretService, "%s: timed out", step);
    else
        qCDebug(lcSecretService, "%s: %s", step, error ? error->message : "not available");
    if (error)
        g_error_free(error);
    return Status::Unavailable;
}

// The worker thread's connection to the Secret Service, kept from one request to the next (see
// the notes at the top). It lives and dies on the worker thread.
class ServiceConnection
{
public:
    ServiceConnection()
        : m_signals(g_main_context_new())
    {
        g_main_context_push_thread_default(m_signals);
    }
    ~ServiceConnection()
    {
        drop();
        drainSignals();
        g_main_context_pop_thread_default(m_signals);
        g_main_context_unref(m_signals);
    }
    ServiceConnection(const ServiceConnection &) = delete;
    ServiceConnection &operator=(const ServiceConnection &) = delete;

    // The kept proxy while it still leads to the daemon it was opened with, otherwise a new one;
    // nullptr (and error set) when none can be opened.
    SecretService *service(GCancellable *cancellable, GError **error)
    {
        drainSignals();
        if (m_service && !stillCurrent()) {
            qCDebug(lcSecretService, "the Secret Service changed hands or the bus closed");
            drop();
        }
        m_reused = bool(m_service);
        if (!m_service) {
            m_service = open(cancellable, error);
            if (m_service)
                m_owner.reset(g_dbus_proxy_get_name_owner(G_DBUS_PROXY(m_service.get())));
        }
        return m_service.get();
    }

    // Whether the proxy service() last returned had served earlier requests.
    bool reused() const { return m_reused; }

    void drop()
    {
        m_service.reset();
        m_owner.reset();
    }

private:
    struct GFree
    {
        void operator()(gchar *text) const { g_free(text); }
    };

    static GObjectPtr<SecretService> open(GCancellable *cancellable, GError **error)
    {
        GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, error));
        if (!bus)
            return nullptr;
        g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
        if (g_dbus_connection_is_closed(bus.get())) {
            g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_CLOSED, "session bus closed");
            return nullptr;
        }
        // No session yet: libsecret opens it when a secret is first read or written.
        return GObjectPtr<SecretService>(secret_service_open_sync(
                SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, cancellable, error));
    }

    // The proxy follows its bus name to whichever daemon owns it now, but its session belongs to
    // the daemon that owned the name when the proxy was opened.
    bool stillCurrent() const
    {
        auto *proxy = G_DBUS_PROXY(m_service.get());
        if (g_dbus_connection_is_closed(g_dbus_proxy_get_connection(proxy)))
            return false;
        const std::unique_ptr<gchar, GFree> owner(g_dbus_proxy_get_name_owner(proxy));
        return owner && m_owner && g_str_equal(owner.get(), m_owner.get());
    }

    void drainSignals()
    {
        while (g_main_context_iteration(m_signals, FALSE)) { }
    }

    GMainContext *const m_signals;
    GObjectPtr<SecretService> m_service;
    std::unique_ptr<gchar, GFree> m_owner; // the unique bus name m_service was opened with
    bool m_reused = false;
};

ItemListPtr searchItems(SecretService *service, GHashTable *attributes, bool loadSecrets,
                        GCancellable *cancellable, GError **error)
{
    auto flags = SECRET_SEARCH_ALL;
    if (loadSecrets)
        flags = SecretSearchFlags(flags | SECRET_SEARCH_LOAD_SECRETS);
    return ItemListPtr(
            secret_service_search_sync(service, schema(), attributes, flags, cancellable, error));
}

// The requests below report a failed call through error, and an answer that only the file
// fallback can stand in for (a locked item or collection) as Unavailable without one.

Status lookupItem(SecretService *service, GHashTable *attributes, QByteArray *secret,
                  GCancellable *cancellable, GError **error)
{
    const auto items = searchItems(service, attributes, true, cancellable, error);
    if (*error)
        return Status::Unavailable;

    bool lockedItem = false;
    for (GList *node = items.get(); node; node = node->next) {
        auto *item = SECRET_ITEM(node->data);
        if (secret_item_get_locked(item)) {
            lockedItem = true;
            continue;
        }
        // The daemon hands out the secret of every unlocked item; see the notes at the top.
        const SecretValuePtr value(secret_item_get_secret(item));
        if (!value) {
            g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED,
                                "the secret of an unlocked item did not arrive");
            return Status::Unavailable;
        }
        gsize length = 0;
        const gchar *bytes = secret_value_get(value.get(), &length);
        *secret = QByteArray(bytes, qsizetype(length));
        return Status::Ok;
    }
    // A locked item may hold the answer; only the file fallback can stand in for it now.
    if (lockedItem)
        return unavailable(nullptr, "item locked");
    return Status::NoItem;
}

// Deletes the matching unlocked items except the one at keepPath; Ok when nothing else is left.
Status deleteItems(SecretService *service, GHashTable *attributes, const char *keepPath,
                   GCancellable *cancellable, GError **error)
{
    const auto items = searchItems(service, attributes, false, cancellable, error);
    if (*error)
        return Status::Unavailable;
    Status status = Status::Ok;
    for (GList *node = items.get(); node; node = node->next) {
        auto *item = SECRET_ITEM(node->data);
        if (keepPath && g_strcmp0(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)), keepPath) == 0)
            continue;
        if (secret_item_get_locked(item)) {
            status = unavailable(nullptr, "item locked");
            continue;
        }
        if (!secret_item_delete_sync(item, cancellable, error))
            return Status::Unavailable;
    }
    return status;
}

Status storeItem(SecretService *service, GHashTable *attributes, const QByteArray &label,
                 const QByteArray &secret, GCancellable *cancellable, GError **error)
{
    const GObjectPtr<SecretCollection> collection(secret_collection_for_alias_sync(
            service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable, error));
    if (*error)
        return Status::Unavailable;
    if (!collection)
        return unavailable(nullptr, "no default collection");
    if (secret_collection_get_locked(collection.get()))
        return unavailable(nullptr, "default collection locked");

    const bool text = g_utf8_validate(secret.constData(), secret.size(), nullptr);
    const SecretValuePtr value(secret_value_new(secret.constData(), secret.size(),
                                                text ? "text/plain" : "application/octet-stream"));
    const GObjectPtr<SecretItem> item(
            secret_item_create_sync(collection.get(), schema(), attributes, label.constData(),
                                    value.get(), SECRET_ITEM_CREATE_REPLACE, cancellable, error));
    if (!item)
        return Status::Unavailable;
    // Another matching item (in another collection, or with other attributes besides these two)
    // would compete with this one on the next lookup.
    return deleteItems(service, attributes, g_dbus_proxy_get_object_path(G_DBUS_PROXY(item.get())),
                       cancellable, error);
}

using Request = std::function<Status(SecretService *, GError **)>;

// Runs request with the connection's proxy. A request that failed on a kept proxy is tried once
// more on a new one; every request repeats whole (an item is replaced, not added twice).
Status perform(ServiceConnection &connection, const char *what, GCancellable *cancellable,
               const Request &request)
{
    for (;;) {
        GError *error = nullptr;
        SecretService *service = connection.service(cancellable, &error);
        if (!service)
            return unavailable(error, what);
        const Status status = request(service, &error);
        if (!error)
            return status;
        connection.drop();
        if (!connection.reused() || isCancelled(error))
            return unavailable(error, what);
        qCDebug(lcSecretService, "%s: %s; again on a new connection", what, error->message);
        g_error_free(error);
    }
}

} // namespace

struct SecretServiceClient::Worker
{
    struct Job
    {
        std::function<void(ServiceConnection &, GCancellable *)> work;
        GCancellable *cancellable = g_cancellable_new();
        bool finished = false; // guarded by Worker::mutex

        ~Job() { g_object_unref(cancellable); }
    };

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable progress;
    std::deque<std::shared_ptr<Job>> queue;
    std::shared_ptr<Job> current;
    bool stopping = false;
    bool exited = false;
    std::thread thread;

    void loop()
    {
        ServiceConnection connection;
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stopping || !queue.empty(); });
            if (queue.empty())
                break;
            current = std::move(queue.front());
            queue.pop_front();
            const auto job = current;
            lock.unlock();
            if (!g_cancellable_is_cancelled(job->cancellable))
                job->work(connection, job->cancellable);
            lock.lock();
            job->finished = true;
            current.reset();
            progress.notify_all();
        }
        exited = true;
        progress.notify_all();
    }

    // Runs work on the worker thread; false when it did not finish before the deadline.
    bool run(std::function<void(ServiceConnection &, GCancellable *)> work, QDeadlineTimer deadline)
    {
        auto job = std::make_shared<Job>();
        job->work = std::move(work);
        std::unique_lock lock(mutex);
        if (stopping)
            return false;
        queue.push_back(job);
        wake.notify_one();
        const bool done = progress.wait_until(lock, deadline.deadline<std::chrono::steady_clock>(),
                                              [&job] { return job->finished; });
        lock.unlock();
        if (!done)
            g_cancellable_cancel(job->cancellable);
        return done;
    }
};

SecretServiceClient::SecretServiceClient()
    : m_worker(std::make_shared<Worker>())
{
    // The thread shares ownership, so an abandoned thread never outlives what it uses.
    m_worker->thread = std::thread([worker = m_worker] { worker->loop(); });
}

SecretServiceClient::~SecretServiceClient()
{
    std::vector<std::shared_ptr<Worker::Job>> pending;
    {
        std::lock_guard lock(m_worker->mutex);
        m_worker->stopping = true;
        pending.assign(m_worker->queue.begin(), m_worker->queue.end());
        if (m_worker->current)
            pending.push_back(m_worker->current);
    }
    for (const auto &job : pending)
        g_cancellable_cancel(job->cancellable);
    m_worker->wake.notify_all();

    // A request that ignores its cancellation must not hang the destructor.
    std::unique_lock lock(m_worker->mutex);
    const bool exited = m_worker->progress.wait_for(lock, std::chrono::seconds(2),
                                                    [this] { return m_worker->exited; });
    lock.unlock();
    if (exited)
        m_worker->thread.join();
    else
        m_worker->thread.detach();
}

SecretServiceClient::Lookup
SecretServiceClient::lookup(const QString &service, const QString &account, QDeadlineTimer deadline)
{
    auto result = std::make_shared<Lookup>();
    const bool done = m_worker->run(
            [result, service = service.toUtf8(),
             account = account.toUtf8()](ServiceConnection &connection, GCancellable *cancellable) {
                const auto attributes = attributesFor(service, account);
                result->status = perform(connection, "lookup", cancellable,
                                         [&](SecretService *proxy, GError **error) {
                                             return lookupItem(proxy, attributes.get(),
                                                               &result->secret, cancellable, error);
                                         });
            },
            deadline);
    if (!done)
        return {unavailable(nullptr, "lookup timed out"), {}};
    return *result;
}

SecretServiceClient::Status SecretServiceClient::store(const QString &service,
                                                       const QString &account,
                                                       const QByteArray &secret,
                                                       QDeadlineTimer deadline)
{
    auto result = std::make_shared<Status>(Status::Unavailable);
    const bool done = m_worker->run(
            [result, service = service.toUtf8(), account = account.toUtf8(),
             secret](ServiceConnection &connection, GCancellable *cancellable) {
                const auto attributes = attributesFor(service, account);
                const QByteArray label = "Vorn: " + service + " (" + account + ')';
                *result = perform(connection, "store", cancellable,
                                  [&](SecretService *proxy, GError **error) {
                                      return storeItem(proxy, attributes.get(), label, secret,
                                                       cancellable, error);
                                  });
            },
            deadline);
    return done ? *result : unavailable(nullptr, "store timed out");
}

SecretServiceClient::Status
SecretServiceClient::clear(const QString &service, const QString &account, QDeadlineTimer deadline)
{
    auto result = std::make_shared<Status>(Status::Unavailable);
    const bool done = m_worker->run(
            [result, service = service.toUtf8(),
             account = account.toUtf8()](ServiceConnection &connection, GCancellable *cancellable) {
                const auto attributes = attributesFor(service, account);
                *result = perform(connection, "clear", cancellable,
                                  [&](SecretService *proxy, GError **error) {
                                      return deleteItems(proxy, attributes.get(), nullptr,
                                                         cancellable, error);
                                  });
            },
            deadline);
    return done ? *result : unavailable(nullptr, "clear timed out");
}
