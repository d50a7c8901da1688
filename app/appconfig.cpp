#include "appconfig.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "applog.h"
#include "tsdk.h"
#include "utf8text.h"

AppContext_t AppContext;

void *(*appcontext_alloc)(size_t size) = malloc;

/* Guards AppContext and its text buffers; see appconfig.h. */
static pthread_mutex_t app_context_mutex = PTHREAD_MUTEX_INITIALIZER;

/* Positions (1-based) of the children of "XivelyConfigParams". */
enum {
    FEED_FIRST_CHANNEL = 7,   /* ChannelEnabled of channel 1; its name and param follow */
    FEED_CHANNEL_STRIDE = 3,
    FEED_LAST_WARNED = 7,     /* the "too long" warnings stop here */
};

void AppContext_lock(void)
{
    pthread_mutex_lock(&app_context_mutex);
}

void AppContext_unlock(void)
{
    pthread_mutex_unlock(&app_context_mutex);
}

int App_config_path(const char *relative, char *out, size_t size)
{
    if (size == 0)
        return -1;
    const char *home = getenv("TS_APP_HOME");
    if (home == nullptr || home[0] == '\0') {
        out[0] = '\0';
        return -1;
    }
    int n = snprintf(out, size, "%s/%s", home, relative);
    if (n < 0) {
        out[0] = '\0';
        return -1;
    }
    return (size_t)n < size ? 0 : -1;
}

/* ---- the text buffers ---- */

/* Every text buffer of the record with its size, in allocation order. */
struct TextSlot {
    char **buffer;
    size_t size;
};
enum { TEXT_SLOTS = 5 + APP_CHANNELS };

static void text_slots(AppContext_t *context, TextSlot slots[TEXT_SLOTS])
{
    slots[0] = {&context->Apikey, APIKEY_SIZE};
    slots[1] = {&context->FeedID, FEEDID_SIZE};
    slots[2] = {&context->DayNightName, CHANNEL_NAME_SIZE};
    slots[3] = {&context->Input1Name, CHANNEL_NAME_SIZE};
    slots[4] = {&context->MotionDetectionName, CHANNEL_NAME_SIZE};
    for (int i = 0; i < APP_CHANNELS; i++)
        slots[5 + i] = {&context->ChannelName[i], CHANNEL_NAME_SIZE};
}

/* Allocates the absent buffers and zeroes all of them; -1 at the first failure. Lock held. */
static int get_memory_locked(AppContext_t *context)
{
    TextSlot slots[TEXT_SLOTS];
    text_slots(context, slots);
    for (const TextSlot &slot : slots) {
        if (*slot.buffer == nullptr)
            *slot.buffer = (char *)appcontext_alloc(slot.size);
        if (*slot.buffer == nullptr)
            return -1;
        memset(*slot.buffer, 0, slot.size);
    }
    return 0;
}

/* Frees and nulls the text buffers; the lock is held when `context` is AppContext. */
static void release_texts(AppContext_t *context)
{
    char **order[TEXT_SLOTS] = {&context->Apikey, &context->FeedID, &context->Input1Name,
                                &context->MotionDetectionName, &context->DayNightName};
    for (int i = 0; i < APP_CHANNELS; i++)
        order[5 + i] = &context->ChannelName[i];
    for (char **buffer : order) {
        free(*buffer);
        *buffer = nullptr;
    }
}

static void log_free_done(void)
{
    app_log("[Ombrelle]OutputFreeMemory done \n");
}

int OutputFreeMemory(AppContext_t *context)
{
    if (context == nullptr)
        return -1;
    AppContext_lock();
    release_texts(context);
    AppContext_unlock();
    log_free_done();
    return 0;
}

void AppContext_ClearSettings(AppContext_t *context)
{
    TextSlot slots[TEXT_SLOTS];
    char *kept[TEXT_SLOTS];
    AppContext_lock();
    text_slots(context, slots);
    for (int i = 0; i < TEXT_SLOTS; i++)
        kept[i] = *slots[i].buffer;
    memset(context, 0, sizeof(*context));
    for (int i = 0; i < TEXT_SLOTS; i++)
        *slots[i].buffer = kept[i];
    AppContext_unlock();
}

void copy_text(char *out, size_t size, const char *text)
{
    if (size == 0)
        return;
    snprintf(out, size, "%s", text != nullptr ? text : "");
}

/* ---- an application prepared aside ---- */

int AppContext_stage(AppContext_t *next)
{
    AppContext_lock();
    *next = AppContext;
    AppContext_unlock();
    /* The main thread is the only writer of the texts: they are read without the lock. */
    TextSlot slots[TEXT_SLOTS];
    text_slots(next, slots);
    for (const TextSlot &slot : slots) {
        const char *live = *slot.buffer;
        *slot.buffer = nullptr;
        if (live == nullptr)
            continue;
        *slot.buffer = (char *)appcontext_alloc(slot.size);
        if (*slot.buffer == nullptr) {
            AppContext_discard(next);
            return -1;
        }
        memset(*slot.buffer, 0, slot.size);
        copy_text(*slot.buffer, slot.size, live);
    }
    return 0;
}

void AppContext_commit(AppContext_t *next)
{
    AppContext_lock();
    /* The published values belong to the upload tick, not to the configuration. */
    memcpy(next->ChannelValue, AppContext.ChannelValue, sizeof next->ChannelValue);
    AppContext_t old = AppContext;
    AppContext = *next;
    AppContext_unlock();
    *next = old;
    AppContext_discard(next);
}

void AppContext_discard(AppContext_t *next)
{
    release_texts(next);
    memset(next, 0, sizeof *next);
}

/* ---- reading values by position ---- */

static bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/*
 * Decimal integer: leading white space, an optional sign, digits up to the
 * first other character; no digit gives 0. Saturates at the 32-bit limits.
 */
static int32_t read_number(const char *text)
{
    const char *p = text;
    while (is_space(*p))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    const int64_t limit = (int64_t)INT32_MAX + 1;
    int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit)
            magnitude = limit;
    }
    if (negative)
        return (int32_t)-magnitude;
    return magnitude > INT32_MAX ? INT32_MAX : (int32_t)magnitude;
}

/* Text of the child at 1-based `position`, or null when there is no such child. */
static const char *child_text(const TreeNode *node, int position)
{
    int count = node->childCount < XML_MAX_CHILDREN ? node->childCount : XML_MAX_CHILDREN;
    if (position < 1 || position > count || node->children[position - 1] == nullptr)
        return nullptr;
    const TreeNode *child = node->children[position - 1];
    if (memchr(child->value, '\0', sizeof(child->value)) == nullptr)
        return nullptr;
    return child->value;
}

static void take_number(const TreeNode *node, int position, int32_t *field)
{
    const char *text = child_text(node, position);
    if (text != nullptr)
        *field = read_number(text);
}

/*
 * Copies the child's text into buffer[size], cut to at most size - 1 bytes and
 * never inside a UTF-8 character; not when either is absent.
 */
static void take_text(const TreeNode *node, int position, char *buffer, size_t size)
{
    const char *text = child_text(node, position);
    if (text == nullptr || buffer == nullptr)
        return;
    size_t len = utf8_cut_length(text, strlen(text), size - 1);
    memcpy(buffer, text, len);
    buffer[len] = '\0';
}

/* ---- the two elements ---- */

/* "ConfigParams"; -1 when the text buffers could not be allocated. */
static int extract_config(const TreeNode *node, AppContext_t *context)
{
    AppContext_lock();
    take_number(node, 1, &context->Input1Enabled);
    take_number(node, 3, &context->MotionDetectionEnabled);
    take_number(node, 5, &context->DayNightEnabled);
    take_number(node, 7, &context->RS485Enabled);
    take_number(node, 8, &context->XivelyEnabled);
    take_number(node, 9, &context->AppEnabled);
    take_number(node, 10, &context->Ext_thread);
    bool feed = context->XivelyEnabled != 0;
    int got = 0;
    if (feed) {
        got = get_memory_locked(context);
        if (got < 0) {
            release_texts(context);
        } else {
            take_text(node, 2, context->Input1Name, CHANNEL_NAME_SIZE);
            take_text(node, 4, context->MotionDetectionName, CHANNEL_NAME_SIZE);
            take_text(node, 6, context->DayNightName, CHANNEL_NAME_SIZE);
        }
    }
    AppContext_unlock();

    if (!feed)
        return 0;
    if (got < 0) {
        log_free_done();
        app_errlog("[Ombrelle]failed to allocate memory\n");
        return -1;
    }
    app_log("[Ombrelle]OutputGetMemory done \n");
    return 0;
}

static void warn_long_texts(const TreeNode *node)
{
    for (int position = 1; position <= FEED_LAST_WARNED; position++) {
        const char *text = child_text(node, position);
        size_t limit = position == 1 ? APIKEY_SIZE - 1 : CHANNEL_NAME_SIZE - 1;
        if (text != nullptr && strlen(text) > limit)
            app_log("[Ombrelle]Data %d too long, will be cut to %d!\n", position - 1, (int)limit);
    }
}

/* "XivelyConfigParams": taken only while the feed is on; off, it releases the texts. */
static void extract_feed(const TreeNode *node, AppContext_t *context)
{
    AppContext_lock();
    bool feed = context->XivelyEnabled != 0;
    AppContext_unlock();
    if (!feed) {
        OutputFreeMemory(context);
        return;
    }
    warn_long_texts(node);

    AppContext_lock();
    take_text(node, 1, context->Apikey, APIKEY_SIZE);
    take_text(node, 2, context->FeedID, FEEDID_SIZE);
    take_number(node, 3, &context->SensorType);
    take_number(node, 4, &context->SensorParam);
    take_number(node, 5, &context->IntervalinMin);
    take_number(node, 6, &context->ChannelNumber);
    for (int k = 0; k < APP_CHANNELS && k < context->ChannelNumber; k++) {
        int position = FEED_FIRST_CHANNEL + FEED_CHANNEL_STRIDE * k;
        take_number(node, position, &context->ChannelEnabled[k]);
        take_text(node, position + 1, context->ChannelName[k], CHANNEL_NAME_SIZE);
        take_number(node, position + 2, &context->ChannelParam[k]);
    }
    AppContext_unlock();
}

void ExtractValueFromXML(TreeNode *node, AppContext_t *context)
{
    if (node == nullptr || context == nullptr)
        return;
    if (strcmp(node->name, "ConfigParams") == 0) {
        if (extract_config(node, context) < 0)
            return;
    } else if (strcmp(node->name, "XivelyConfigParams") == 0) {
        extract_feed(node, context);
    }
    int count = node->childCount < XML_MAX_CHILDREN ? node->childCount : XML_MAX_CHILDREN;
    for (int i = 0; i < count; i++)
        ExtractValueFromXML(node->children[i], context);
}

/* ---- the file ---- */

static int stat_failed(const char *path)
{
    app_errlog("[Ombrelle]failed to stat file %s\n", path);
    return -1;
}

static int allocation_failed(void)
{
    app_errlog("[Ombrelle]Error allocating memory for xmlBuf \n");
    return -1;
}

static int open_failed(const char *path)
{
    app_errlog("[Ombrelle]Error opening file %s \n", path);
    return -1;
}

/* "XML size = %d" for a size that may not fit an int. */
static void log_size(off_t size)
{
    app_log("[Ombrelle]XML size = %d \n", size > INT_MAX ? INT_MAX : (int)size);
}

/* Reads exactly `length` bytes and then finds the end of the file; false on a short or longer file. */
static bool read_exactly(int fd, char *buffer, size_t length)
{
    size_t got = 0;
    for (;;) {
        char probe;
        char *into = got < length ? buffer + got : &probe;
        size_t want = got < length ? length - got : 1;
        ssize_t n = read(fd, into, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return got == length;
        got += (size_t)n;
        if (got > length)
            return false;
    }
}

/*
 * Reads the regular file `path` whole into a NUL-terminated buffer the caller
 * frees. The file is opened first and the open descriptor is examined, so what
 * is read is what was checked: a FIFO or device swapped in is refused, and the
 * non-blocking open cannot wait for a FIFO's writer.
 */
static int read_whole_file(const char *path, char **text, size_t *size)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        struct stat st;
        return stat(path, &st) == 0 ? open_failed(path) : stat_failed(path);
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return stat_failed(path);
    }
    log_size(st.st_size);
    if (st.st_size < 0 || st.st_size > APP_XML_FILE_MAX) {
        close(fd);
        return allocation_failed();
    }
    size_t length = (size_t)st.st_size;
    char *buffer = (char *)malloc(length + 1);
    if (buffer == nullptr) {
        close(fd);
        return allocation_failed();
    }
    /* A short read, or more bytes than fstat gave (a file being rewritten), is no file. */
    bool whole = read_exactly(fd, buffer, length);
    close(fd);
    if (!whole) {
        free(buffer);
        return open_failed(path);
    }
    buffer[length] = '\0';
    *text = buffer;
    *size = length;
    return 0;
}

int App_parse_xml(const char *path, AppContext_t *context)
{
    app_log("[Ombrelle]Parsing XML file %s \n", path);
    char *text = nullptr;
    size_t size = 0;
    if (read_whole_file(path, &text, &size) < 0)
        return -1;

    TreeNode root;
    memset(&root, 0, sizeof(root));
    /* A NUL byte would end the text early: a partial parse, so no parse. */
    bool parsed = memchr(text, '\0', size) == nullptr && xml2Tree(text, &root) == 0;
    free(text);
    if (!parsed) {
        app_errlog("[Ombrelle]failed to parse xml into a tree\n");
        return -1;
    }
    ExtractValueFromXML(&root, context);
    releaseTree(&root);
    return 0;
}
