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
// Each request opens its own service connection (secret_service_open, not the process-wide
// secret_service_get), so no cached state, such as a collection's lock flag that changed
// meanwhile, outlives the request.
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

// The one place where libsecret and GDBus failures are translated: whatever went wrong, the
// caller only learns that the service is unavailable. The reason is kept for diagnosis
// (QT_LOGGING_RULES="vorn.platform.secretservice.debug=true").
Status unavailable(GError *error, const char *step)
{
    if (error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        qCDebug(lcSecretService, "%s: timed out", step);
    else
        qCDebug(lcSecretService, "%s: %s", step, error ? error->message : "not available");
    if (error)
        g_error_free(error);
    return Status::Unavailable;
}

GObjectPtr<SecretService> openService(GCancellable *cancellable, GError **error)
{
    GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, error));
    if (!bus)
        return nullptr;
    g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
    if (g_dbus_connection_is_closed(bus.get())) {
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_CLOSED, "session bus closed");
        return nullptr;
    }
    return GObjectPtr<SecretService>(secret_service_open_sync(
            SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, cancellable, error));
}

ItemListPtr searchItems(SecretService *service, GHashTable *attributes, bool loadSecrets,
                        GCancellable *cancellable, GError **error)
{
    auto flags = SECRET_SEARCH_ALL;
    if (loadSecrets)
        flags = SecretSearchFlags(flags | SECRET_SEARCH_LOAD_SECRETS);
    return ItemListPtr(
            secret_service_search_sync(service, schema(), attributes, flags, cancellable, error));
}

SecretServiceClient::Lookup lookupItem(const QByteArray &service, const QByteArray &account,
                                       GCancellable *cancellable)
{
    GError *error = nullptr;
    const auto connection = openService(cancellable, &error);
    if (!connection)
        return {unavailable(error, "connect"), {}};
    const auto attributes = attributesFor(service, account);
    const auto items = searchItems(connection.get(), attributes.get(), true, cancellable, &error);
    if (error)
        return {unavailable(error, "search"), {}};

    bool lockedItem = false;
    for (GList *node = items.get(); node; node = node->next) {
        auto *item = SECRET_ITEM(node->data);
        const SecretValuePtr value(secret_item_get_locked(item) ? nullptr
                                                                : secret_item_get_secret(item));
        if (!value) {
            lockedItem = true;
            continue;
        }
        gsize length = 0;
        const gchar *bytes = secret_value_get(value.get(), &length);
        return {Status::Ok, QByteArray(bytes, qsizetype(length))};
    }
    // A locked item may hold the answer; only the file fallback can stand in for it now.
    if (lockedItem)
        return {unavailable(nullptr, "item locked"), {}};
    return {Status::NoItem, {}};
}

// Deletes the matching unlocked items except the one at keepPath; Ok when nothing else is left.
Status deleteItems(SecretService *service, GHashTable *attributes, const char *keepPath,
                   GCancellable *cancellable)
{
    GError *error = nullptr;
    const auto items = searchItems(service, attributes, false, cancellable, &error);
    if (error)
        return unavailable(error, "search");
    Status status = Status::Ok;
    for (GList *node = items.get(); node; node = node->next) {
        auto *item = SECRET_ITEM(node->data);
        if (keepPath && g_strcmp0(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)), keepPath) == 0)
            continue;
        if (secret_item_get_locked(item)) {
            status = unavailable(nullptr, "item locked");
            continue;
        }
        if (!secret_item_delete_sync(item, cancellable, &error))
            status = unavailable(error, "delete");
        error = nullptr;
    }
    return status;
}

Status storeItem(const QByteArray &service, const QByteArray &account, const QByteArray &secret,
                 GCancellable *cancellable)
{
    GError *error = nullptr;
    const auto connection = openService(cancellable, &error);
    if (!connection)
        return unavailable(error, "connect");
    const GObjectPtr<SecretCollection> collection(
            secret_collection_for_alias_sync(connection.get(), SECRET_COLLECTION_DEFAULT,
                                             SECRET_COLLECTION_NONE, cancellable, &error));
    if (error)
        return unavailable(error, "default collection");
    if (!collection)
        return unavailable(nullptr, "no default collection");
    if (secret_collection_get_locked(collection.get()))
        return unavailable(nullptr, "default collection locked");

    const auto attributes = attributesFor(service, account);
    const bool text = g_utf8_validate(secret.constData(), secret.size(), nullptr);
    const SecretValuePtr value(secret_value_new(secret.constData(), secret.size(),
                                                text ? "text/plain" : "application/octet-stream"));
    const QByteArray label = "Vorn: " + service + " (" + account + ')';
    const GObjectPtr<SecretItem> item(
            secret_item_create_sync(collection.get(), schema(), attributes.get(), label.constData(),
                                    value.get(), SECRET_ITEM_CREATE_REPLACE, cancellable, &error));
    if (!item)
        return unavailable(error, "create");
    // Another matching item (in another collection, or with other attributes besides these two)
    // would compete with this one on the next lookup.
    return deleteItems(connection.get(), attributes.get(),
                       g_dbus_proxy_get_object_path(G_DBUS_PROXY(item.get())), cancellable);
}

Status clearItems(const QByteArray &service, const QByteArray &account, GCancellable *cancellable)
{
    GError *error = nullptr;
    const auto connection = openService(cancellable, &error);
    if (!connection)
        return unavailable(error, "connect");
    const auto attributes = attributesFor(service, account);
    return deleteItems(connection.get(), attributes.get(), nullptr, cancellable);
}

} // namespace

struct SecretServiceClient::Worker
{
    struct Job
    {
        std::function<void(GCancellable *)> work;
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
                job->work(job->cancellable);
            lock.lock();
            job->finished = true;
            current.reset();
            progress.notify_all();
        }
        exited = true;
        progress.notify_all();
    }

    // Runs work on the worker thread; false when it did not finish before the deadline.
    bool run(std::function<void(GCancellable *)> work, QDeadlineTimer deadline)
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
    const bool done
            = m_worker->run([result, service = service.toUtf8(), account = account.toUtf8()](
                                    GCancellable *c) { *result = lookupItem(service, account, c); },
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
             secret](GCancellable *c) { *result = storeItem(service, account, secret, c); },
            deadline);
    return done ? *result : unavailable(nullptr, "store timed out");
}

SecretServiceClient::Status
SecretServiceClient::clear(const QString &service, const QString &account, QDeadlineTimer deadline)
{
    auto result = std::make_shared<Status>(Status::Unavailable);
    const bool done
            = m_worker->run([result, service = service.toUtf8(), account = account.toUtf8()](
                                    GCancellable *c) { *result = clearItems(service, account, c); },
                            deadline);
    return done ? *result : unavailable(nullptr, "clear timed out");
}
