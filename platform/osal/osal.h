/*
 * OS abstraction services of the terminal platform (stand-in over POSIX).
 * On the terminal the platform's own libosal replaces this library; this
 * header states the contract that libxr9al and its hosts rely on.
 *
 * General rules
 *  - Every call returns a signed 32-bit status: 0 is success, failures are
 *    the negative OS codes below (the OS block of the update system's status
 *    table). Every call may be made from any thread at any time.
 *  - Objects are numbered. Queues and tasks are numbered by the caller, who
 *    passes the number by address at creation; mutexes are numbered by this
 *    library, which writes the new number through the address. Number 0 never
 *    names a mutex, so a zero-initialised mutex variable names none.
 *  - Delays and time-outs are in milliseconds.
 *
 * Queues
 *  - osQueueCreate(&id, name, itemBlocks, depth): the largest item is
 *    itemBlocks * OS_QUEUE_BLOCK_SIZE bytes (256 bytes a block; libxr9al's CAN
 *    queues pass 4, so they carry 1024-byte messages, and a queue of 256-byte
 *    update-message records passes 1); depth is the capacity in items. A zero
 *    itemBlocks or depth gives OS_QUEUE_INVALID_SIZE.
 *  - Creating again under a number in use keeps the queue and every item in
 *    it and returns 0; its largest item and capacity become the larger of the
 *    old and the new values, so nothing already queued becomes invalid.
 *  - osQueuePut never blocks. An item larger than the queue's largest item
 *    gives OS_QUEUE_INVALID_SIZE, a full queue OS_QUEUE_FULL, an unknown
 *    number OS_QUEUE_ID_ERROR; in each case nothing is queued. A zero-length
 *    item is a valid item.
 *  - osQueueGet waits without limit for the oldest item; osQueueGetTimed waits
 *    at most timeoutMs (0 polls) and gives OS_QUEUE_TIMEOUT on expiry without
 *    writing the destination or the size. Items leave in the order they came
 *    (FIFO); with several waiters each item goes to exactly one of them.
 *  - The destination of a get must have room for the queue's largest item.
 *    A get copies exactly the item's bytes, which never exceed that size, and
 *    stores their count through size; it never writes past those bytes. A
 *    null destination or size gives OS_INVALID_VALUE and leaves the item
 *    queued.
 *  - Queues are never deleted; they live until the process ends.
 *
 * Mutexes
 *  - osMutSemCreate(&id, name, options): options is reserved (pass 0). When
 *    *id already names a live mutex it is kept (0 is returned, *id
 *    unchanged); otherwise a new, unlocked mutex is numbered and *id written.
 *  - osMutSemTake waits without limit. Take and give of a number that names
 *    no mutex give OS_INVALID_ID; a give by a thread that does not hold the
 *    mutex gives OS_SEM_FAILURE. Mutexes are not recursive: a second take by
 *    the holder gives OS_SEM_FAILURE instead of deadlocking.
 *
 * Tasks
 *  - osTaskCreate(&id, name, entry, stackSize, arg, priority, flags) starts a
 *    thread that runs entry() until it returns. stackSize is in bytes (raised
 *    to the platform minimum); arg, priority (0 lowest .. 255) and flags are
 *    accepted and not used by the stand-in. Creating under a number whose task
 *    still runs gives OS_NAME_ALREADY_EXISTS; a number whose task has
 *    returned but was not joined is reaped and reused.
 *  - osTaskRegister() is the first call of a new task; it names the thread
 *    after its task (visible in ps/top) and gives OS_INVALID_ID when called
 *    from a thread that no osTaskCreate started.
 *  - osTaskJoin(id) returns once the task's entry has returned and frees the
 *    number; an unknown or already joined number gives OS_INVALID_ID. A task
 *    must not join itself (OS_INVALID_VALUE).
 *  - osTaskDelay(ms) sleeps at least ms milliseconds; 0 yields.
 *
 * Commands and files
 *  - osRunCommand(cmd, timeoutSeconds) runs cmd through /bin/sh -c and waits
 *    for it at most timeoutSeconds (0: no limit). 0 when it exited with
 *    status 0; its exit status (positive) when it exited otherwise;
 *    OS_ERROR_TIMEOUT when it was killed at the time limit; OS_INVALID_VALUE
 *    for a null command or when it could not be started.
 *  - osIsFileExists(path): 0 when path names an existing file or directory,
 *    OS_NO_SUCH_FILE otherwise (also for a null path).
 *  - osFileRemove(path): 0 when the file was deleted, OS_NO_SUCH_FILE when it
 *    did not exist, OS_INVALID_VALUE for any other failure.
 */
#ifndef OSAL_H
#define OSAL_H

#include <stdint.h>

#if defined(__GNUC__)
#define OSAL_API __attribute__((visibility("default")))
#else
#define OSAL_API
#endif

#define OS_SUCCESS 0
#define OS_ERROR_TIMEOUT (-304)
#define OS_SEM_FAILURE (-306)
#define OS_QUEUE_FULL (-309)
#define OS_QUEUE_TIMEOUT (-310)
#define OS_QUEUE_INVALID_SIZE (-311)
#define OS_QUEUE_ID_ERROR (-312)
#define OS_NO_FREE_IDS (-314)
#define OS_NAME_ALREADY_EXISTS (-315)
#define OS_INVALID_ID (-316)
#define OS_INVALID_VALUE (-320)
#define OS_NO_SUCH_FILE (-501)

#define OS_QUEUE_BLOCK_SIZE 256u

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*osTaskEntry)(void);

OSAL_API int32_t osTaskCreate(uint32_t* taskId, const char* name, osTaskEntry entry, uint32_t stackSize,
                              uint32_t arg, uint32_t priority, uint32_t flags);
OSAL_API int32_t osTaskRegister(void);
OSAL_API int32_t osTaskJoin(uint32_t taskId);
OSAL_API int32_t osTaskDelay(uint32_t milliseconds);

OSAL_API int32_t osQueueCreate(uint32_t* queueId, const char* name, uint32_t itemBlocks, uint32_t depth);
OSAL_API int32_t osQueuePut(uint32_t queueId, const void* item, uint32_t size);
OSAL_API int32_t osQueueGet(uint32_t queueId, void* destination, uint32_t* size);
OSAL_API int32_t osQueueGetTimed(uint32_t queueId, void* destination, uint32_t* size, uint32_t timeoutMs);

OSAL_API int32_t osMutSemCreate(uint32_t* mutexId, const char* name, uint32_t options);
OSAL_API int32_t osMutSemTake(uint32_t mutexId);
OSAL_API int32_t osMutSemGive(uint32_t mutexId);

OSAL_API int32_t osRunCommand(const char* command, uint32_t timeoutSeconds);
OSAL_API int32_t osIsFileExists(const char* path);
OSAL_API int32_t osFileRemove(const char* path);

#ifdef __cplusplus
}
#endif

#endif
