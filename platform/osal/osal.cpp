// POSIX stand-in for the terminal's OS abstraction library. Contract in osal.h.
#include "osal.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Queue {
    std::mutex lock;
    std::condition_variable nonEmpty;
    std::deque<std::vector<unsigned char>> items;
    uint32_t maxItem = 0;
    uint32_t depth = 0;
};

struct Mutex {
    pthread_mutex_t handle;
    std::string name;
    Mutex() {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
        pthread_mutex_init(&handle, &attr);
        pthread_mutexattr_destroy(&attr);
    }
};

struct Task {
    pthread_t thread{};
    std::string name;
    osTaskEntry entry = nullptr;
    std::mutex doneLock;
    bool done = false;
};

// Objects are never freed while a caller may still use them: lookups hand
// out shared_ptrs, so the registry lock is never held across a wait.
struct Registry {
    std::mutex lock;
    std::map<uint32_t, std::shared_ptr<Queue>> queues;
    std::map<uint32_t, std::shared_ptr<Mutex>> mutexes;
    std::map<uint32_t, std::shared_ptr<Task>> tasks;
    uint32_t nextMutex = 1;
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives static destructors of users
    return *r;
}

thread_local Task* currentTask = nullptr;

std::shared_ptr<Queue> findQueue(uint32_t id) {
    std::lock_guard<std::mutex> g(registry().lock);
    auto it = registry().queues.find(id);
    return it == registry().queues.end() ? nullptr : it->second;
}

std::shared_ptr<Mutex> findMutex(uint32_t id) {
    std::lock_guard<std::mutex> g(registry().lock);
    auto it = registry().mutexes.find(id);
    return it == registry().mutexes.end() ? nullptr : it->second;
}

void* taskMain(void* arg) {
    Task* task = static_cast<Task*>(arg);
    currentTask = task;
    task->entry();
    std::lock_guard<std::mutex> g(task->doneLock);
    task->done = true;
    return nullptr;
}

bool taskDone(Task& task) {
    std::lock_guard<std::mutex> g(task.doneLock);
    return task.done;
}

// Copies the head item out; the queue's lock is held by the caller.
int32_t takeHead(Queue& q, void* destination, uint32_t* size) {
    std::vector<unsigned char>& item = q.items.front();
    if (!item.empty()) std::memcpy(destination, item.data(), item.size());
    *size = static_cast<uint32_t>(item.size());
    q.items.pop_front();
    return OS_SUCCESS;
}

int32_t queueGet(uint32_t queueId, void* destination, uint32_t* size, bool timed, uint32_t timeoutMs) {
    if (!destination || !size) return OS_INVALID_VALUE;
    std::shared_ptr<Queue> q = findQueue(queueId);
    if (!q) return OS_QUEUE_ID_ERROR;
    std::unique_lock<std::mutex> g(q->lock);
    if (!timed) {
        q->nonEmpty.wait(g, [&] { return !q->items.empty(); });
    } else if (!q->nonEmpty.wait_for(g, std::chrono::milliseconds(timeoutMs),
                                     [&] { return !q->items.empty(); })) {
        return OS_QUEUE_TIMEOUT;
    }
    return takeHead(*q, destination, size);
}

}  // namespace

extern "C" {

int32_t osTaskCreate(uint32_t* taskId, const char* name, osTaskEntry entry, uint32_t stackSize, uint32_t,
                     uint32_t, uint32_t) {
    if (!taskId || !entry) return OS_INVALID_VALUE;
    std::shared_ptr<Task> stale;
    auto task = std::make_shared<Task>();
    task->name = name ? name : "";
    task->entry = entry;
    {
        std::lock_guard<std::mutex> g(registry().lock);
        auto it = registry().tasks.find(*taskId);
        if (it != registry().tasks.end()) {
            if (!taskDone(*it->second)) return OS_NAME_ALREADY_EXISTS;
            stale = it->second;
            registry().tasks.erase(it);
        }
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        size_t stack = std::max<size_t>(stackSize, static_cast<size_t>(PTHREAD_STACK_MIN));
        stack = std::max<size_t>(stack, 64 * 1024);  // sanitizer builds need room
        pthread_attr_setstacksize(&attr, stack);
        int rc = pthread_create(&task->thread, &attr, taskMain, task.get());
        pthread_attr_destroy(&attr);
        if (rc != 0) return OS_NO_FREE_IDS;
        registry().tasks[*taskId] = task;
    }
    if (stale) pthread_join(stale->thread, nullptr);
    return OS_SUCCESS;
}

int32_t osTaskRegister(void) {
    if (!currentTask) return OS_INVALID_ID;
    char shortName[16];
    std::snprintf(shortName, sizeof shortName, "%s", currentTask->name.c_str());
    pthread_setname_np(pthread_self(), shortName);
    return OS_SUCCESS;
}

int32_t osTaskJoin(uint32_t taskId) {
    std::shared_ptr<Task> task;
    {
        std::lock_guard<std::mutex> g(registry().lock);
        auto it = registry().tasks.find(taskId);
        if (it == registry().tasks.end()) return OS_INVALID_ID;
        if (it->second.get() == currentTask) return OS_INVALID_VALUE;
        task = it->second;
        registry().tasks.erase(it);
    }
    pthread_join(task->thread, nullptr);
    return OS_SUCCESS;
}

int32_t osTaskDelay(uint32_t milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return OS_SUCCESS;
    }
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    return OS_SUCCESS;
}

int32_t osQueueCreate(uint32_t* queueId, const char*, uint32_t itemBlocks, uint32_t depth) {
    if (!queueId) return OS_INVALID_VALUE;
    if (itemBlocks == 0 || depth == 0 || itemBlocks > (UINT32_MAX / OS_QUEUE_BLOCK_SIZE))
        return OS_QUEUE_INVALID_SIZE;
    uint32_t maxItem = itemBlocks * OS_QUEUE_BLOCK_SIZE;
    std::shared_ptr<Queue> existing;
    {
        std::lock_guard<std::mutex> g(registry().lock);
        auto it = registry().queues.find(*queueId);
        if (it == registry().queues.end()) {
            auto q = std::make_shared<Queue>();
            q->maxItem = maxItem;
            q->depth = depth;
            registry().queues[*queueId] = q;
            return OS_SUCCESS;
        }
        existing = it->second;
    }
    std::lock_guard<std::mutex> g(existing->lock);
    existing->maxItem = std::max(existing->maxItem, maxItem);
    existing->depth = std::max(existing->depth, depth);
    return OS_SUCCESS;
}

int32_t osQueuePut(uint32_t queueId, const void* item, uint32_t size) {
    if (!item && size != 0) return OS_INVALID_VALUE;
    std::shared_ptr<Queue> q = findQueue(queueId);
    if (!q) return OS_QUEUE_ID_ERROR;
    {
        std::lock_guard<std::mutex> g(q->lock);
        if (size > q->maxItem) return OS_QUEUE_INVALID_SIZE;
        if (q->items.size() >= q->depth) return OS_QUEUE_FULL;
        const unsigned char* bytes = static_cast<const unsigned char*>(item);
        q->items.emplace_back(bytes, bytes + size);
    }
    q->nonEmpty.notify_one();
    return OS_SUCCESS;
}

int32_t osQueueGet(uint32_t queueId, void* destination, uint32_t* size) {
    return queueGet(queueId, destination, size, false, 0);
}

int32_t osQueueGetTimed(uint32_t queueId, void* destination, uint32_t* size, uint32_t timeoutMs) {
    return queueGet(queueId, destination, size, true, timeoutMs);
}

int32_t osMutSemCreate(uint32_t* mutexId, const char* name, uint32_t) {
    if (!mutexId) return OS_INVALID_VALUE;
    std::lock_guard<std::mutex> g(registry().lock);
    if (*mutexId != 0 && registry().mutexes.count(*mutexId)) return OS_SUCCESS;
    if (registry().nextMutex == 0) return OS_NO_FREE_IDS;
    auto m = std::make_shared<Mutex>();
    m->name = name ? name : "";
    uint32_t id = registry().nextMutex++;
    registry().mutexes[id] = m;
    *mutexId = id;
    return OS_SUCCESS;
}

int32_t osMutSemTake(uint32_t mutexId) {
    std::shared_ptr<Mutex> m = findMutex(mutexId);
    if (!m) return OS_INVALID_ID;
    return pthread_mutex_lock(&m->handle) == 0 ? OS_SUCCESS : OS_SEM_FAILURE;
}

int32_t osMutSemGive(uint32_t mutexId) {
    std::shared_ptr<Mutex> m = findMutex(mutexId);
    if (!m) return OS_INVALID_ID;
    return pthread_mutex_unlock(&m->handle) == 0 ? OS_SUCCESS : OS_SEM_FAILURE;
}

int32_t osRunCommand(const char* command, uint32_t timeoutSeconds) {
    if (!command) return OS_INVALID_VALUE;
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const char* argv[] = {"sh", "-c", command, nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char* const*>(argv), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return OS_INVALID_VALUE;

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, timeoutSeconds ? WNOHANG : 0);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return OS_INVALID_VALUE;
        if (timeoutSeconds && std::chrono::steady_clock::now() >= deadline) {
            kill(-pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return OS_ERROR_TIMEOUT;
        }
        if (done == 0) osTaskDelay(2);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return OS_INVALID_VALUE;
}

int32_t osIsFileExists(const char* path) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return OS_NO_SUCH_FILE;
    return OS_SUCCESS;
}

int32_t osFileRemove(const char* path) {
    if (!path) return OS_INVALID_VALUE;
    if (unlink(path) == 0) return OS_SUCCESS;
    return errno == ENOENT ? OS_NO_SUCH_FILE : OS_INVALID_VALUE;
}

}  // extern "C"
