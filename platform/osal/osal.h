/**
 * \file
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
 *  - Queues are never deleted; they live until the process ends.
 */
#ifndef OSAL_H
#define OSAL_H

#include <stdint.h>

/// Default visibility: the name is part of libosal's binary interface.
#if defined(__GNUC__)
#define OSAL_API __attribute__((visibility("default")))
#else
#define OSAL_API
#endif

#define OS_SUCCESS 0                 ///< done
#define OS_ERROR_TIMEOUT (-304)      ///< osRunCommand: the command was killed at its time limit
#define OS_SEM_FAILURE (-306)        ///< give by a non-holder, or a second take by the holder
#define OS_QUEUE_FULL (-309)         ///< osQueuePut: the queue holds depth items
#define OS_QUEUE_TIMEOUT (-310)      ///< osQueueGetTimed: no item within the time-out
#define OS_QUEUE_INVALID_SIZE (-311) ///< an item larger than the queue's largest, or a zero size at creation
#define OS_QUEUE_ID_ERROR (-312)     ///< no queue has that number
#define OS_NO_FREE_IDS (-314)        ///< no mutex number left
#define OS_NAME_ALREADY_EXISTS (-315) ///< osTaskCreate: a task of that number still runs
#define OS_INVALID_ID (-316)         ///< no mutex or task has that number
#define OS_INVALID_VALUE (-320)      ///< a null or otherwise unusable argument
#define OS_NO_SUCH_FILE (-501)       ///< the file does not exist

/// Bytes of one block of a queue's largest item (osQueueCreate's itemBlocks).
#define OS_QUEUE_BLOCK_SIZE 256u

#ifdef __cplusplus
extern "C" {
#endif

/// The function a task runs.
typedef void (*osTaskEntry)(void);

/// Starts a thread that runs entry() until it returns. stackSize is in bytes
/// (raised to the platform minimum); arg, priority (0 lowest .. 255) and flags
/// are accepted and not used by the stand-in. Creating under a number whose
/// task still runs gives OS_NAME_ALREADY_EXISTS; a number whose task has
/// returned but was not joined is reaped and reused.
OSAL_API int32_t osTaskCreate(uint32_t* taskId, const char* name, osTaskEntry entry, uint32_t stackSize,
                              uint32_t arg, uint32_t priority, uint32_t flags);
/// The first call of a new task; names the thread after its task (visible in
/// ps and top). OS_INVALID_ID from a thread that no osTaskCreate started.
OSAL_API int32_t osTaskRegister(void);
/// Returns once the task's entry has returned and frees the number; an unknown
/// or already joined number gives OS_INVALID_ID. A task must not join itself
/// (OS_INVALID_VALUE).
OSAL_API int32_t osTaskJoin(uint32_t taskId);
/// Sleeps at least milliseconds; 0 yields.
OSAL_API int32_t osTaskDelay(uint32_t milliseconds);

/// Creates queue *queueId: its largest item is itemBlocks * OS_QUEUE_BLOCK_SIZE
/// bytes (libxr9al's CAN queues pass 4, so they carry 1024-byte messages; a
/// queue of 256-byte update-message records passes 1) and it holds depth
/// items. A zero itemBlocks or depth gives OS_QUEUE_INVALID_SIZE. Creating
/// again under a number in use keeps the queue and every item in it and
/// returns 0; its largest item and capacity become the larger of the old and
/// the new values, so nothing already queued becomes invalid.
OSAL_API int32_t osQueueCreate(uint32_t* queueId, const char* name, uint32_t itemBlocks, uint32_t depth);
/// Adds a copy of size bytes of item; never blocks. An item larger than the
/// queue's largest gives OS_QUEUE_INVALID_SIZE, a full queue OS_QUEUE_FULL, an
/// unknown number OS_QUEUE_ID_ERROR; in each case nothing is queued. A
/// zero-length item is a valid item.
OSAL_API int32_t osQueuePut(uint32_t queueId, const void* item, uint32_t size);
/// Waits without limit for the oldest item, copies exactly its bytes to
/// destination and stores their count through size. destination must have
/// room for the queue's largest item; nothing is written past the item's
/// bytes. Items leave in the order they came; with several waiters each item
/// goes to exactly one. A null destination or size gives OS_INVALID_VALUE and
/// leaves the item queued.
OSAL_API int32_t osQueueGet(uint32_t queueId, void* destination, uint32_t* size);
/// As osQueueGet, waiting at most timeoutMs (0 polls); OS_QUEUE_TIMEOUT on
/// expiry, with neither destination nor size written.
OSAL_API int32_t osQueueGetTimed(uint32_t queueId, void* destination, uint32_t* size, uint32_t timeoutMs);

/// Numbers a new, unlocked mutex into *mutexId, or keeps the live mutex that
/// *mutexId already names (0, *mutexId unchanged). options is reserved (pass 0).
OSAL_API int32_t osMutSemCreate(uint32_t* mutexId, const char* name, uint32_t options);
/// Waits without limit until the caller holds the mutex. Not recursive: a
/// second take by the holder gives OS_SEM_FAILURE instead of deadlocking. A
/// number that names no mutex gives OS_INVALID_ID.
OSAL_API int32_t osMutSemTake(uint32_t mutexId);
/// Releases the mutex. OS_SEM_FAILURE when the caller does not hold it,
/// OS_INVALID_ID for a number that names no mutex.
OSAL_API int32_t osMutSemGive(uint32_t mutexId);

/// Runs command through /bin/sh -c and waits for it at most timeoutSeconds
/// (0: no limit). 0 when it exited with status 0; its exit status (positive)
/// when it exited otherwise; OS_ERROR_TIMEOUT when it was killed at the time
/// limit; OS_INVALID_VALUE for a null command or when it could not be started.
OSAL_API int32_t osRunCommand(const char* command, uint32_t timeoutSeconds);
/// 0 when path names an existing file or directory, OS_NO_SUCH_FILE otherwise
/// (also for a null path).
OSAL_API int32_t osIsFileExists(const char* path);
/// 0 when the file was deleted, OS_NO_SUCH_FILE when it did not exist,
/// OS_INVALID_VALUE for any other failure.
OSAL_API int32_t osFileRemove(const char* path);

#ifdef __cplusplus
}
#endif

#endif
