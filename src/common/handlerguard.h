#pragma once

#include <memory>
#include <mutex>

// Guards a handler that runs on another thread (a store's notifier) against the destruction of
// the object it calls. Disconnecting a signal does not wait for a call already under way; with
// the guard, the destructor waits for it, and any call after close() does nothing.
class HandlerGuard
{
public:
    // Wraps `call` so that it runs only while the guard is open, one call at a time.
    template<typename Call> auto wrap(Call call) const
    {
        return [state = m_state, call = std::move(call)] {
            std::lock_guard lock(state->mutex);
            if (state->open)
                call();
        };
    }

    void close()
    {
        std::lock_guard lock(m_state->mutex);
        m_state->open = false;
    }

private:
    struct State
    {
        std::mutex mutex;
        bool open = true;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};
