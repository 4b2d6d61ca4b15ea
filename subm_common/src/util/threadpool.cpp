#include "util/threadpool.h"

#include <cxxabi.h>
#include <pthread.h>

#include "util/mythread.h"

namespace os {

bool CThreadPool::_Start(std::unique_ptr<WorkItemBase> item) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    bool started = false;
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0) {
        pthread_t handle;
        started = pthread_create(&handle, &attr, &CThreadPool::_ThreadEntry, item.get()) == 0;
    }
    pthread_attr_destroy(&attr);
    if (started) item.release();  // the thread owns it now
    return started;
}

// Runs on the work item's own thread.
void* CThreadPool::_ThreadEntry(void* raw) {
    std::unique_ptr<WorkItemBase> item(static_cast<WorkItemBase*>(raw));
    MyThread::MakeCurrentThreadRealtime(DispatchClass::Normal, 0);
    try {
        item->Run();
    } catch (abi::__forced_unwind&) {
        throw;  // cancellation must unwind to the end; item is freed on the way
    } catch (...) {
    }
    return nullptr;
}

} // namespace os
