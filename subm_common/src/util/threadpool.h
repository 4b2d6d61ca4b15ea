// Runs a member function of an object once on a thread of its own, for short background work
// (the log's retention pass) that nobody waits for. There is no pool: every item gets a new
// detached thread at the default scheduling policy, whatever its caller's policy is.
#pragma once

#include <memory>

namespace os {

class CThreadPool {
public:
    // Runs (object->*function)() on a new detached thread; false when the thread cannot be
    // created (the item then never runs). The object must outlive the call; an exception that
    // leaves the function ends the item and is dropped, since nobody is there to receive it.
    template <class T, class R>
    static bool QueueUserWorkItem(R (T::*function)(), T* object) {
        if (function == nullptr || object == nullptr) return false;
        return _Start(std::make_unique<WorkItem<T, R>>(function, object));
    }

private:
    struct WorkItemBase {
        virtual ~WorkItemBase() = default;
        virtual void Run() = 0;
    };

    template <class T, class R>
    struct WorkItem final : WorkItemBase {
        WorkItem(R (T::*function)(), T* object) : Function(function), Object(object) {}
        void Run() override { (Object->*Function)(); }
        R (T::*Function)();
        T* Object;
    };

    static bool _Start(std::unique_ptr<WorkItemBase> item);
    static void* _ThreadEntry(void* item);
};

} // namespace os
