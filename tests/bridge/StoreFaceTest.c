/* mkdtemp */
#define _POSIX_C_SOURCE 200809L

/* The store's C face from a program written in C: a query, an edit that
   reaches the file, failures told by their kind, a C++ exception that comes
   back as a status, and two threads querying while a third edits another
   classification. Works on a copy of the sample data in a temporary folder. */

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bridge/StoreFace.h"

static int failures = 0;

#define CHECK(condition)                                                            \
    do {                                                                            \
        if (!(condition)) {                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                             \
        }                                                                           \
    } while (0)

static vyr_text text(const char* s) {
    vyr_text t = {s, strlen(s)};
    return t;
}

static int copyTree(const char* from, const char* to) {
    char command[4096];
    snprintf(command, sizeof command, "cp -R '%s/.' '%s'", from, to);
    return system(command);
}

static int fileWrite(const char* path, const char* bytes) {
    FILE* file = fopen(path, "wb");
    int written = 0;
    if (file == NULL) {
        return 0;
    }
    written = fputs(bytes, file) >= 0;
    return fclose(file) == 0 && written;
}

static int fileHolds(const char* path, const char* needle) {
    FILE* file = fopen(path, "rb");
    static char bytes[1 << 16];
    size_t size = 0;
    if (file == NULL) {
        return 0;
    }
    size = fread(bytes, 1, sizeof bytes - 1, file);
    fclose(file);
    bytes[size] = '\0';
    return strstr(bytes, needle) != NULL;
}

static void* queryMany(void* unused) {
    vyr_admin* admin = NULL;
    int i;
    (void)unused;
    if (vyr_admin_make(&admin) != VYR_OK) {
        return (void*)1;
    }
    for (i = 0; i < 200; ++i) {
        vyr_text classified = {NULL, 0};
        if (vyr_admin_classified_id_get(admin, text("materials"), text("bolt"), &classified) != VYR_OK ||
            strcmp(classified.data, "steel") != 0) {
            vyr_free((void*)classified.data);
            vyr_admin_release(admin);
            return (void*)1;
        }
        vyr_free((void*)classified.data);
    }
    vyr_admin_release(admin);
    return NULL;
}

static void* editOther(void* unused) {
    vyr_admin* admin = NULL;
    vyr_access* access = NULL;
    vyr_failure* failure = NULL;
    int i;
    (void)unused;
    if (vyr_admin_make(&admin) != VYR_OK ||
        vyr_admin_write_access_get(admin, text("approved-materials"), &access) != VYR_OK ||
        vyr_access_lock(access, 2, &failure) != VYR_OK) {
        return (void*)1;
    }
    for (i = 0; i < 200; ++i) {
        char source[32];
        snprintf(source, sizeof source, "alloy%d", i);
        if (vyr_access_add(access, text(source), text("allow"), 2, &failure) != VYR_OK) {
            return (void*)1;
        }
    }
    vyr_access_release(access);
    vyr_admin_release(admin);
    return NULL;
}

int main(int argc, char** argv) {
    char root[] = "/tmp/vyr-face-XXXXXX";
    char folder[3][4096];
    char userFile[4096];
    vyr_text shared;
    vyr_admin* admin = NULL;
    vyr_access* access = NULL;
    vyr_list* ids = NULL;
    vyr_failure* failure = NULL;
    vyr_failures* unread = NULL;
    vyr_error* error = NULL;
    int32_t exists = 0;
    pthread_t threads[3];
    void* outcome = NULL;
    int i;

    CHECK(argc == 2);
    /* A caller built for the face before failures had a kind is refused. */
    CHECK(vyr_face_get(VYR_FACE_VERSION) != NULL && vyr_face_get(VYR_FACE_VERSION + 1) == NULL &&
          vyr_face_get(1) == NULL);
    CHECK(vyr_face_get(VYR_FACE_VERSION)->size == sizeof(vyr_face));
    if (argc != 2 || mkdtemp(root) == NULL || copyTree(argv[1], root) != 0) {
        return 1;
    }
    snprintf(folder[0], sizeof folder[0], "%s/system", root);
    snprintf(folder[1], sizeof folder[1], "%s/shared", root);
    snprintf(folder[2], sizeof folder[2], "%s/user", root);
    snprintf(userFile, sizeof userFile, "%s/user/Classification/materials.xml", root);
    shared = text(folder[1]);
    CHECK(vyr_directories_set(text(folder[0]), &shared, 1, text(folder[2])) == VYR_OK);

    /* A query: the shared level decides bracket's set. */
    CHECK(vyr_admin_make(&admin) == VYR_OK);
    CHECK(vyr_admin_classified_ids_get(admin, text("materials"), text("bracket"), &ids) == VYR_OK);
    CHECK(ids != NULL && ids->count == 1 && strcmp(ids->items[0].data, "aluminium") == 0);
    vyr_free(ids);
    CHECK(vyr_admin_classified_ids_get(admin, text("materials"), text("washer"), &ids) == VYR_OK && ids == NULL);
    CHECK(vyr_admin_classification_exists(NULL, text("materials"), &exists) == VYR_INVALID);

    /* An edit, written back into the user file. */
    CHECK(vyr_admin_write_access_get(admin, text("materials"), &access) == VYR_OK);
    CHECK(vyr_access_add(access, text("clip"), text("steel"), 2, &failure) == VYR_FAILED);
    CHECK(failure != NULL && failure->level == 2 && failure->what.size > 0 &&
          failure->kind == VYR_FAILURE_NOT_LOCKED && failure->error == 0);
    vyr_free(failure);
    failure = NULL;
    CHECK(vyr_access_lock(access, 2, &failure) == VYR_OK);
    CHECK(vyr_access_add(access, text("clip"), text("steel"), 2, &failure) == VYR_OK);
    CHECK(vyr_access_write_back(access, &failure) == VYR_OK);
    CHECK(fileHolds(userFile, "steel"));
    vyr_access_release(access);
    CHECK(vyr_admin_mapping_exists(admin, text("materials"), text("clip"), text("steel"), &exists) == VYR_OK &&
          exists == 1);

    /* Two level files that do not read: each item of the list carries its kind. */
    snprintf(userFile, sizeof userFile, "%s/shared/Classification/broken.xml", root);
    CHECK(fileWrite(userFile, "<classification"));
    snprintf(userFile, sizeof userFile, "%s/user/Classification/broken.xml", root);
    CHECK(fileWrite(userFile, "<classification id='broken'></wrong>"));
    CHECK(vyr_admin_read_failures_get(admin, text("broken"), &unread) == VYR_OK);
    CHECK(unread != NULL && unread->count == 2 && unread->items[0].level == 1 &&
          unread->items[0].kind == VYR_FAILURE_NOT_WELL_FORMED && unread->items[1].level == 2 &&
          unread->items[1].kind == VYR_FAILURE_NOT_WELL_FORMED && unread->items[1].reason.size > 0);
    vyr_free(unread);

    /* A C++ exception comes back as a status, kept with its type and text. */
    CHECK(vyr_directories_set(text("\xff"), NULL, 0, text("")) == VYR_ERROR);
    CHECK(vyr_error_get(&error) == VYR_OK);
    CHECK(error != NULL && error->token != 0 && strcmp(error->type.data, "std::system_error") == 0);
    vyr_free(error);
    shared = text(folder[1]);
    CHECK(vyr_directories_set(text(folder[0]), &shared, 1, text(folder[2])) == VYR_OK);

    /* Two threads query one classification while a third edits another. */
    CHECK(pthread_create(&threads[0], NULL, queryMany, NULL) == 0);
    CHECK(pthread_create(&threads[1], NULL, queryMany, NULL) == 0);
    CHECK(pthread_create(&threads[2], NULL, editOther, NULL) == 0);
    for (i = 0; i < 3; ++i) {
        CHECK(pthread_join(threads[i], &outcome) == 0 && outcome == NULL);
    }
    CHECK(vyr_admin_mapping_exists(admin, text("approved-materials"), text("alloy199"), text("allow"),
                                   &exists) == VYR_OK &&
          exists == 1);

    /* A reset disposes the handles made before it. */
    CHECK(vyr_admin_reset() == VYR_OK);
    CHECK(vyr_admin_classification_exists(admin, text("materials"), &exists) == VYR_DISPOSED);
    vyr_admin_release(admin);

    snprintf(userFile, sizeof userFile, "rm -rf '%s'", root);
    CHECK(system(userFile) == 0);
    return failures == 0 ? 0 : 1;
}
