#ifndef VYR_BRIDGE_STORE_FACE_H
#define VYR_BRIDGE_STORE_FACE_H

/*
 * The store's flat C face, for code that cannot call C++ members: the
 * managed bridge assemblies call it, and so may a host written in C. It is
 * exported by the bridge library beside the C++ outside face and reaches
 * the same process-wide store.
 *
 * Text: every string is UTF-8, passed in as a vyr_text (pointer and byte
 * count; no terminator needed, embedded NULs allowed) and handed out as a
 * byte count with a block that also ends in a NUL.
 *
 * Status: every function returns a vyr_status and never lets a C++
 * exception out. VYR_FAILED means the store refused the operation and gives
 * why in a vyr_failure; VYR_ERROR means a C++ exception ended the operation,
 * and the face keeps it (vyr_error_get). Out-parameters are written only on
 * VYR_OK and VYR_FAILED; on any other status they are left as they were.
 *
 * Memory, one rule: every block the face hands out through an out-parameter
 * (a list, a failure, an error, and the data of a vyr_text) is a single
 * allocation owned by the caller, freed with vyr_free once; everything a
 * block points to lies inside it. A text out-parameter may bring a buffer of
 * the caller's (data and size set on entry, else data null): a text that
 * fits, with its NUL, is written there and is no block; the caller tells the
 * two apart by the data pointer it gets back. Handles (vyr_admin, vyr_access) are
 * released with their own release function. The face never keeps or frees
 * a pointer it was given.
 *
 * Threads: the admin's functions are thread-safe, each taking the store's
 * lock as the C++ wrapper does. The functions of a write access also take
 * the store's lock for their whole run (the C++ write access takes none),
 * so one thread may edit while others query the same classification; a
 * write access itself is used by one thread at a time. vyr_admin_reset must
 * not run concurrently with any other function of the face.
 *
 * Resets: a handle made before a reset of the store is disposed: every
 * function given it returns VYR_DISPOSED, except its release function.
 */

#include <stddef.h>
#include <stdint.h>

#include "external/platform/Export.h"

#ifdef __cplusplus
#define VYR_FACE_API extern "C" VYR_EXPORT
#else
#define VYR_FACE_API VYR_EXPORT
#endif

/* The face's version: a caller built against another one must not use it.
   Version 2 appended the kind to vyr_failure, which changed the stride of
   vyr_failures' items. */
#define VYR_FACE_VERSION 2

typedef enum vyr_status {
    VYR_OK = 0,
    /* The store refused the operation; the vyr_failure says why. */
    VYR_FAILED = 1,
    /* A C++ exception ended the operation; vyr_error_get gives it. */
    VYR_ERROR = 2,
    /* The handle was made before a reset of the store, or the store's
       reset was refused because handles of the old store are in use. */
    VYR_DISPOSED = 3,
    /* A required pointer was null, or a text is too long to hand on. */
    VYR_INVALID = 4,
    /* vyr_admin_reset while a write access or a classification run is
       live; nothing was reset. */
    VYR_BUSY = 5
} vyr_status;

/* UTF-8 text given to the face: `size` bytes from `data` (which may be
   null when size is 0). */
typedef struct vyr_text {
    const char* data;
    size_t size;
} vyr_text;

/* A list of texts; `items[i].data` ends in a NUL after its size bytes. */
typedef struct vyr_list {
    size_t count;
    const vyr_text* items;
} vyr_list;

/* One source id of a level and its classified ids (possibly none). */
typedef struct vyr_source {
    vyr_text id;
    size_t classified_count;
    const vyr_text* classified;
} vyr_source;

/* One level of a classification's cache and its sources, ordered by id. */
typedef struct vyr_level {
    int32_t level;
    size_t source_count;
    const vyr_source* sources;
} vyr_level;

/* Several failures, one per level file. */
typedef struct vyr_failures {
    size_t count;
    const struct vyr_failure* items;
} vyr_failures;

/* Each level a classification's cache holds, lowest first. */
typedef struct vyr_levels {
    size_t count;
    const vyr_level* levels;
} vyr_levels;

/* The kind of a failure, what a caller decides on; the store's own values
   (vyr::cache::FailureKind), fixed. Carried as an int32_t. */
typedef enum vyr_failure_kind {
    VYR_FAILURE_NONE = 0,
    /* Another holder kept the level's lock for the whole wait. */
    VYR_FAILURE_BUSY = 1,
    /* The path, or a folder below the level folder, is a symbolic link or
       leaves it. */
    VYR_FAILURE_LINK = 2,
    /* What stands at the level path (or its lock file) is not a regular
       file. */
    VYR_FAILURE_NOT_REGULAR_FILE = 3,
    /* The level file has more than one hard link. */
    VYR_FAILURE_SEVERAL_LINKS = 4,
    /* A document does not read as a level file. */
    VYR_FAILURE_NOT_WELL_FORMED = 5,
    /* The level has no file: no folder, an id that names no file inside it,
       or a missing file that could not be made. */
    VYR_FAILURE_NO_FILE = 6,
    /* Text that the level file format cannot hold. */
    VYR_FAILURE_CANNOT_STORE = 7,
    /* Another writer kept changing the file during the write-back. */
    VYR_FAILURE_KEEPS_CHANGING = 8,
    /* The level is not locked by this write access. */
    VYR_FAILURE_NOT_LOCKED = 9,
    /* No cached level to make the missing level file from. */
    VYR_FAILURE_NO_LOWER_LEVEL = 10,
    /* A classification is already there. */
    VYR_FAILURE_EXISTS = 11,
    /* A call of the system failed; error is its error number. */
    VYR_FAILURE_SYSTEM_ERROR = 12,
    /* The id's level file, or the temporary file it is written from, would
       have a name longer than the level folder's file system allows. */
    VYR_FAILURE_ID_TOO_LONG = 13,
    /* The edit reaches a source id that a one-source write access does not
       hold. */
    VYR_FAILURE_OTHER_SOURCE = 14
} vyr_failure_kind;

/* Why the store refused an operation: the level and its file, what failed
   (the message of the assertion record that reports it), the system's
   error number (set for VYR_FAILURE_SYSTEM_ERROR only), the reason (the
   system's text, or why a document does not read, with its line and
   column) and the kind (a vyr_failure_kind), by which a caller tells what
   happened; the texts are for people. */
typedef struct vyr_failure {
    int32_t level;
    vyr_text file;
    vyr_text what;
    int32_t error;
    vyr_text reason;
    int32_t kind;
} vyr_failure;

/* The C++ exception that ended an operation with VYR_ERROR: its type's
   name, its message (what()) and the token under which the face keeps it,
   so that native code of the bridge can throw the same exception again. */
typedef struct vyr_error {
    uint64_t token;
    vyr_text type;
    vyr_text message;
} vyr_error;

/* A handle to the process-wide store, as the C++ AdminWrapper. */
typedef struct vyr_admin vyr_admin;
/* A write access to one classification, as the C++ WriteAccess. */
typedef struct vyr_access vyr_access;

/* Frees a block the face handed out; null is ignored. */
VYR_FACE_API void vyr_free(void* block);

/* The last C++ exception that ended a face function on this thread with
   VYR_ERROR, as a block; VYR_INVALID when there is none. */
VYR_FACE_API vyr_status vyr_error_get(vyr_error** error);

/* Binds a new handle to the process-wide store, creating the store on first
   use (which asks the directory service for the level folders). */
VYR_FACE_API vyr_status vyr_admin_make(vyr_admin** admin);
/* A handle around a caller's vyr::bridge::classification::AdminWrapper,
   which it copies: the store it reaches. */
VYR_FACE_API vyr_status vyr_admin_wrap(const void* wrapper, vyr_admin** admin);
/* Releases the handle; the store stays. Null is ignored. */
VYR_FACE_API void vyr_admin_release(vyr_admin* admin);
/* Destroys the process-wide store, writing nothing; every handle made
   before is disposed. VYR_BUSY, and nothing done, while a write access
   made through the face is unreleased or a classification run is in
   progress. */
VYR_FACE_API vyr_status vyr_admin_reset(void);

/* Queries, each as the C++ AdminWrapper operation of the same name. */
VYR_FACE_API vyr_status vyr_admin_classification_exists(vyr_admin* admin, vyr_text id, int32_t* exists);
/* Writes a new classification's file at the level, holding the texts and
   flags and no pairs, and caches it; VYR_FAILED when it did not (an
   existing classification included). */
VYR_FACE_API vyr_status vyr_admin_classification_create(vyr_admin* admin, vyr_text id, vyr_text text2,
                                                        vyr_text text3, vyr_text text4, vyr_text text5,
                                                        int32_t flag1, int32_t flag2, int32_t level,
                                                        vyr_failure** failure);
/* A copy of each level's pairs of the id's cache, made under the store's
   lock; an unknown id gets an empty cache entry, as cachesGet does. */
VYR_FACE_API vyr_status vyr_admin_levels_get(vyr_admin* admin, vyr_text id, vyr_levels** levels);
/* Text 2, 3, 4, 5 or 6 (`which`) of the highest level that has the id. */
VYR_FACE_API vyr_status vyr_admin_text_get(vyr_admin* admin, vyr_text id, int32_t which, vyr_text* text);
VYR_FACE_API vyr_status vyr_admin_mapping_exists(vyr_admin* admin, vyr_text id, vyr_text source,
                                                 vyr_text classified, int32_t* exists);
/* A copy of the set, made under the store's lock; *ids is set to null
   where the C++ operation gives a null pointer (an unknown id or source). */
VYR_FACE_API vyr_status vyr_admin_classified_ids_get(vyr_admin* admin, vyr_text id, vyr_text source,
                                                     vyr_list** ids);
VYR_FACE_API vyr_status vyr_admin_source_ids_get(vyr_admin* admin, vyr_text id, vyr_text classified,
                                                 vyr_list** ids);
VYR_FACE_API vyr_status vyr_admin_classified_id_get(vyr_admin* admin, vyr_text id, vyr_text source,
                                                    vyr_text* classified);
VYR_FACE_API vyr_status vyr_admin_source_id_get(vyr_admin* admin, vyr_text id, vyr_text classified,
                                                vyr_text* source);
/* Every pair of the merged view: sources and classified ids alternate. */
VYR_FACE_API vyr_status vyr_admin_mappings_get(vyr_admin* admin, vyr_text id, vyr_list** pairs);
/* Reads again the id's level files that changed; *changed tells whether
   the view changed, *unread names the first level file that is there and
   did not read (null when every one read). */
VYR_FACE_API vyr_status vyr_admin_refresh(vyr_admin* admin, vyr_text id, int32_t* changed,
                                          vyr_failure** unread);
VYR_FACE_API vyr_status vyr_admin_change_count_get(vyr_admin* admin, vyr_text id, uint64_t* count);
/* The level files of the id that were there and did not read when the
   store last read them (its first load or a refresh), lowest level first;
   an empty list when all read. */
VYR_FACE_API vyr_status vyr_admin_read_failures_get(vyr_admin* admin, vyr_text id, vyr_failures** failures);
/* A new write access to the id; release it with vyr_access_release. */
VYR_FACE_API vyr_status vyr_admin_write_access_get(vyr_admin* admin, vyr_text id, vyr_access** access);

/* The write access's operations, as the C++ WriteAccess's. Each one that
   the store can refuse returns VYR_FAILED with the reason. */
VYR_FACE_API vyr_status vyr_access_lock(vyr_access* access, int32_t level, vyr_failure** failure);
VYR_FACE_API vyr_status vyr_access_add(vyr_access* access, vyr_text source, vyr_text classified, int32_t level,
                                       vyr_failure** failure);
VYR_FACE_API vyr_status vyr_access_set(vyr_access* access, vyr_text source, vyr_text classified, int32_t level,
                                       vyr_failure** failure);
VYR_FACE_API vyr_status vyr_access_remove(vyr_access* access, vyr_text source, vyr_text classified,
                                          int32_t level, vyr_failure** failure);
VYR_FACE_API vyr_status vyr_access_source_remove(vyr_access* access, vyr_text source, int32_t level,
                                                 vyr_failure** failure);
VYR_FACE_API vyr_status vyr_access_classified_remove(vyr_access* access, vyr_text classified, int32_t level,
                                                     vyr_failure** failure);
/* Unlists the source at the level, so that the levels below decide it. */
VYR_FACE_API vyr_status vyr_access_source_inherit(vyr_access* access, vyr_text source, int32_t level,
                                                  vyr_failure** failure);
/* Writes every locked level back now; the locks stay held. */
VYR_FACE_API vyr_status vyr_access_write_back(vyr_access* access, vyr_failure** failure);
/* Makes the level's missing file from the highest cached level's header. */
VYR_FACE_API vyr_status vyr_access_file_create(vyr_access* access, int32_t level);
/* Ends the access as the C++ destructor does: writes every locked level
   back, then releases the locks and the handle. A disposed handle (made
   before a reset) only lets its locks go. Null is ignored. */
VYR_FACE_API void vyr_access_release(vyr_access* access);
/* Ends the access without writing anything: lets the locks go, reads each
   level it held again from its file so that the store agrees with the
   file, and releases the handle. For an access that its owner forgot to
   end. Null is ignored. */
VYR_FACE_API void vyr_access_abandon(vyr_access* access);

/* The directory service. `directories` is a const vyr::DirectoriesInterface*
   given by a caller; vyr_directories_get gives the process-wide one. */
VYR_FACE_API vyr_status vyr_directories_get(const void** directories);
VYR_FACE_API vyr_status vyr_directories_sys_get(const void* directories, vyr_text* folder);
VYR_FACE_API vyr_status vyr_directories_shared_get(const void* directories, vyr_list** folders);
VYR_FACE_API vyr_status vyr_directories_user_get(const void* directories, vyr_text* folder);
/* Sets the process-wide service's three folders. Takes no lock: must not
   run while the store is being made or reset. */
VYR_FACE_API vyr_status vyr_directories_set(vyr_text sys, const vyr_text* shared, size_t shared_count,
                                            vyr_text user);

/* Definition objects given by a caller: `admin` is a
   vyr::bridge::definition::AdminWrapper*, `node` a vyr::definition::Node*. */
VYR_FACE_API vyr_status vyr_definition_admin_name_get(const void* admin, vyr_text* name);
VYR_FACE_API vyr_status vyr_node_name_get(const void* node, vyr_text* name);
VYR_FACE_API vyr_status vyr_node_has_children(const void* node, int32_t* has);
VYR_FACE_API vyr_status vyr_node_child_count(const void* node, size_t* count);
VYR_FACE_API vyr_status vyr_node_child_get(const void* node, size_t index, const void** child);

/* The run's user-interface callback given by a caller, a
   vyr::classification::ClassificationUiCallbackInterface*. */
VYR_FACE_API vyr_status vyr_callback_progress(void* callback, int32_t done, int32_t total);
VYR_FACE_API vyr_status vyr_callback_message(void* callback, vyr_text message);

/* Every function above, in declaration order, for a caller that does not
   resolve them by name (the managed side inside a native host). */
typedef struct vyr_face {
    uint32_t version;
    uint32_t size;
    void (*free_block)(void*);
    vyr_status (*error_get)(vyr_error**);
    vyr_status (*admin_make)(vyr_admin**);
    vyr_status (*admin_wrap)(const void*, vyr_admin**);
    void (*admin_release)(vyr_admin*);
    vyr_status (*admin_reset)(void);
    vyr_status (*admin_classification_exists)(vyr_admin*, vyr_text, int32_t*);
    vyr_status (*admin_classification_create)(vyr_admin*, vyr_text, vyr_text, vyr_text, vyr_text, vyr_text,
                                              int32_t, int32_t, int32_t, vyr_failure**);
    vyr_status (*admin_levels_get)(vyr_admin*, vyr_text, vyr_levels**);
    vyr_status (*admin_text_get)(vyr_admin*, vyr_text, int32_t, vyr_text*);
    vyr_status (*admin_mapping_exists)(vyr_admin*, vyr_text, vyr_text, vyr_text, int32_t*);
    vyr_status (*admin_classified_ids_get)(vyr_admin*, vyr_text, vyr_text, vyr_list**);
    vyr_status (*admin_source_ids_get)(vyr_admin*, vyr_text, vyr_text, vyr_list**);
    vyr_status (*admin_classified_id_get)(vyr_admin*, vyr_text, vyr_text, vyr_text*);
    vyr_status (*admin_source_id_get)(vyr_admin*, vyr_text, vyr_text, vyr_text*);
    vyr_status (*admin_mappings_get)(vyr_admin*, vyr_text, vyr_list**);
    vyr_status (*admin_refresh)(vyr_admin*, vyr_text, int32_t*, vyr_failure**);
    vyr_status (*admin_change_count_get)(vyr_admin*, vyr_text, uint64_t*);
    vyr_status (*admin_read_failures_get)(vyr_admin*, vyr_text, vyr_failures**);
    vyr_status (*admin_write_access_get)(vyr_admin*, vyr_text, vyr_access**);
    vyr_status (*access_lock)(vyr_access*, int32_t, vyr_failure**);
    vyr_status (*access_add)(vyr_access*, vyr_text, vyr_text, int32_t, vyr_failure**);
    vyr_status (*access_set)(vyr_access*, vyr_text, vyr_text, int32_t, vyr_failure**);
    vyr_status (*access_remove)(vyr_access*, vyr_text, vyr_text, int32_t, vyr_failure**);
    vyr_status (*access_source_remove)(vyr_access*, vyr_text, int32_t, vyr_failure**);
    vyr_status (*access_classified_remove)(vyr_access*, vyr_text, int32_t, vyr_failure**);
    vyr_status (*access_source_inherit)(vyr_access*, vyr_text, int32_t, vyr_failure**);
    vyr_status (*access_write_back)(vyr_access*, vyr_failure**);
    vyr_status (*access_file_create)(vyr_access*, int32_t);
    void (*access_release)(vyr_access*);
    void (*access_abandon)(vyr_access*);
    vyr_status (*directories_get)(const void**);
    vyr_status (*directories_sys_get)(const void*, vyr_text*);
    vyr_status (*directories_shared_get)(const void*, vyr_list**);
    vyr_status (*directories_user_get)(const void*, vyr_text*);
    vyr_status (*directories_set)(vyr_text, const vyr_text*, size_t, vyr_text);
    vyr_status (*definition_admin_name_get)(const void*, vyr_text*);
    vyr_status (*node_name_get)(const void*, vyr_text*);
    vyr_status (*node_has_children)(const void*, int32_t*);
    vyr_status (*node_child_count)(const void*, size_t*);
    vyr_status (*node_child_get)(const void*, size_t, const void**);
    vyr_status (*callback_progress)(void*, int32_t, int32_t);
    vyr_status (*callback_message)(void*, vyr_text);
} vyr_face;

/* The table of the face when the caller was built for `version`; null when
   it was built for another one. */
VYR_FACE_API const vyr_face* vyr_face_get(uint32_t version);

#endif
