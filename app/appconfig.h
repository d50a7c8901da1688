/*
 * appconfig.h - the settings record AppContext and the reading of the two
 * configuration files of the application home directory into it.
 *
 * Offers:
 *   AppContext               the one settings record, all zero at start
 *   App_config_path          path of a file under TS_APP_HOME; 0, or -1 when
 *                            the path is cut or TS_APP_HOME is unset or empty
 *   App_parse_xml            reads, parses and extracts one file; 0 or -1
 *   ExtractValueFromXML      copies a parsed tree into a record by position
 *   OutputFreeMemory         releases the text buffers; 0, or -1 for null
 *   AppContext_ClearSettings sets every numeric field to 0
 *   AppContext_stage / _commit / _discard
 *                            an application prepared aside and published whole
 *   AppContext_lock / _unlock  the record's lock, see below
 *   copy_text                a text into a fixed buffer, cut; null reads as ""
 *
 * Text buffers: Apikey (APIKEY_SIZE), FeedID, DayNightName, Input1Name,
 * MotionDetectionName and the eight ChannelName (CHANNEL_NAME_SIZE each) are
 * owned by the record. They are null until the first "ConfigParams" read with
 * XivelyEnabled non-zero, reused by later reads into the same record,
 * released (and nulled) by OutputFreeMemory. Every text in them is
 * NUL-terminated. A null or empty text is absent: nothing is sent with it.
 *
 * Owner: the main thread writes the settings, ChannelValue aside, which the
 * upload tick writes. An application of the configuration never writes
 * AppContext field by field: it stages a private copy (AppContext_stage),
 * reads the files and checks the ranges there, and publishes the result in
 * one step under the lock (AppContext_commit). Other threads therefore see
 * the whole configuration before an application or the whole one after it,
 * never a mix such as feed texts cleared by the first file and not yet
 * refilled by the second.
 *
 * The lock: one mutex over the whole of AppContext, its pointers and the
 * texts they point to. Every writer holds it (commit, OutputFreeMemory,
 * AppContext_ClearSettings, extraction, ChannelValue from the upload tick),
 * and readers on other threads (trigger handlers, upload ticks) take it while
 * they copy what they need into their own storage:
 *
 *     char name[CHANNEL_NAME_SIZE] = "";
 *     AppContext_lock();
 *     int on = AppContext.Input1Enabled;
 *     copy_text(name, sizeof(name), AppContext.Input1Name);
 *     AppContext_unlock();
 *
 * The main thread may read the settings without the lock (not ChannelValue).
 * The lock is a leaf and not recursive: nothing is called while it is held
 * except memory and string functions, and no function of this module may be
 * called with it held. Never hold it across a call into another module (the
 * SDK, logging, the shell, setup_triggers, which waits for SDK callbacks that
 * may be waiting for this lock). This module logs only after releasing it,
 * and App_parse_xml takes it only around the extraction, not the file reading.
 */
#ifndef OMBRELLE_APPCONFIG_H
#define OMBRELLE_APPCONFIG_H

#include <stddef.h>
#include <stdint.h>

#include "xmlParser.h"

enum {
    APP_CHANNELS = 8,
    APIKEY_SIZE = 128,        /* at most 127 characters */
    FEEDID_SIZE = 32,
    CHANNEL_NAME_SIZE = 32,   /* also the three trigger names */
    CHANNEL_VALUE_SIZE = 8,   /* a little-endian double, or a text */
    APP_CONFIG_PATH_SIZE = 256,
    APP_XML_FILE_MAX = 1024 * 1024, /* the files are a few KB; bigger is refused */
};

struct AppContext_t {
    int32_t Input1Enabled;
    int32_t MotionDetectionEnabled;
    int32_t DayNightEnabled;
    int32_t RS485Enabled;
    int32_t Ext_thread;          /* value-1 bit toggles the RS-485 reader */
    int32_t XivelyEnabled;
    int32_t AppEnabled;
    char *Apikey;                /* APIKEY_SIZE buffer or null */
    char *FeedID;                /* FEEDID_SIZE buffer or null */
    char *DayNightName;          /* CHANNEL_NAME_SIZE buffers or null */
    char *Input1Name;
    char *MotionDetectionName;
    int32_t SensorParam;
    int32_t SensorType;
    int32_t IntervalinMin;
    int32_t ChannelNumber;
    int32_t ChannelEnabled[APP_CHANNELS];
    char *ChannelName[APP_CHANNELS];
    /*
     * With ChannelParam, the layout of SensorRecord: 8 doubles then 8 int32.
     * Bytes, so that a double (memcpy) and a text both fit without aliasing
     * trouble; a text when the channel's ChannelParam is 1.
     */
    alignas(8) unsigned char ChannelValue[APP_CHANNELS][CHANNEL_VALUE_SIZE];
    int32_t ChannelParam[APP_CHANNELS];
};

static_assert(sizeof(double) == CHANNEL_VALUE_SIZE, "a channel value holds one double");
static_assert(sizeof(((AppContext_t *)nullptr)->ChannelValue) == 64, "8 values of 8 bytes");
static_assert(offsetof(AppContext_t, ChannelParam) == offsetof(AppContext_t, ChannelValue) + 64,
              "ChannelParam follows ChannelValue without padding");
static_assert(offsetof(AppContext_t, ChannelValue) % 8 == 0, "values aligned as doubles");
static_assert(sizeof(AppContext_t) == offsetof(AppContext_t, ChannelParam) + 32,
              "the 96-byte sensor record ends the context");
#if UINTPTR_MAX == 0xffffffffu
static_assert(offsetof(AppContext_t, Apikey) == 28 && offsetof(AppContext_t, ChannelName) == 96 &&
                  offsetof(AppContext_t, ChannelValue) == 128 && sizeof(AppContext_t) == 224,
              "32-bit layout");
#endif

extern AppContext_t AppContext;

/* Allocator of the text buffers (malloc); released with free(). A test seam (docs/testing.md, "Test seams"). */
extern void *(*appcontext_alloc)(size_t size);

void AppContext_lock(void);
void AppContext_unlock(void);

/*
 * Writes "$TS_APP_HOME/relative" into out[size] (APP_CONFIG_PATH_SIZE for the
 * configuration files); a longer path is cut. Returns 0, or -1 when the path
 * was cut (out holds the cut path) or when TS_APP_HOME is unset or empty (out
 * is then "", a path that is never found).
 */
int App_config_path(const char *relative, char *out, size_t size);

/*
 * Reads the file `path` whole, parses it and extracts it into `context`.
 * Returns 0, or -1 when the file cannot be opened, is not a regular file, is
 * larger than APP_XML_FILE_MAX, cannot be fully read, holds a NUL byte, or
 * does not parse; `context` is then unchanged. Logs each step. The file is
 * opened without waiting (a FIFO put in its place is refused at once).
 */
int App_parse_xml(const char *path, AppContext_t *context);

/*
 * Copies the values of the "ConfigParams" and "XivelyConfigParams" elements
 * found in pre-order below `node` into `context`, by position. Children that
 * do not exist leave their fields as they were; absent text buffers are not
 * written. Holds the lock while it writes.
 */
void ExtractValueFromXML(TreeNode *node, AppContext_t *context);

/* Releases the text buffers of `context` and nulls them. Returns 0, or -1 for null. */
int OutputFreeMemory(AppContext_t *context);

/* Sets every numeric field of `context` (ChannelValue included) to 0; the text pointers stay. */
void AppContext_ClearSettings(AppContext_t *context);

/*
 * AppContext_stage fills `next` with a copy of AppContext's settings whose
 * text buffers are its own; 0, or -1 when a buffer cannot be allocated
 * (`next` is then empty). Read the files into `next` and check it; then
 * AppContext_commit publishes all of it at once under the lock (AppContext
 * keeps its ChannelValue) and releases the replaced buffers, or
 * AppContext_discard drops it. Both leave `next` empty. Main thread only;
 * neither logs.
 */
int AppContext_stage(AppContext_t *next);
void AppContext_commit(AppContext_t *next);
void AppContext_discard(AppContext_t *next);

/* Copies `text` into out[size], cut to size - 1 bytes; a null `text` gives "". */
void copy_text(char *out, size_t size, const char *text);

#endif
