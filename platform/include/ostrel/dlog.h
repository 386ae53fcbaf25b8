/*
 * Logging library. One line per call: time, level, module id, then the
 * caller's text. Errors and events are always written; the other levels only
 * at or above the minimum level, taken from OSTREL_LOG_LEVEL (debug, info,
 * warning, error; default warning). Lines go to standard error, or appended to
 * the file named by OSTREL_LOG_FILE.
 */
#ifndef OSTREL_DLOG_H
#define OSTREL_DLOG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DLOG_DEBUG 0
#define DLOG_INFO 1
#define DLOG_WARN 2
#define DLOG_ERROR 3
#define DLOG_EVENT 0x10

#define DLOG_ATTR_RESERVED_LEN 32

typedef struct {
    int32_t type;     /* process type: 1 = application */
    int32_t pid;      /* 0 = the calling process */
    int32_t deviceId;
    char reserved[DLOG_ATTR_RESERVED_LEN];
} LogAttr;

int dlog_init(void);
int DlogSetAttr(LogAttr attr);
/* 1 when a line of this level would be written for the module, else 0. */
int CheckLogLevel(int moduleId, int level);

void DlogErrorInner(int moduleId, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void DlogWarnInner(int moduleId, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void DlogInfoInner(int moduleId, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void DlogDebugInner(int moduleId, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void DlogEventInner(int moduleId, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

/*
 * Test hook: every written line is also handed to sink (level, module id, the
 * caller's text without stamp), after the level filter. NULL removes it.
 */
typedef void (*DlogSink)(int level, int moduleId, const char* text, void* ctx);
void DlogSetSink(DlogSink sink, void* ctx);
/* Re-reads OSTREL_LOG_LEVEL and OSTREL_LOG_FILE (tests). */
void DlogReloadSettings(void);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_DLOG_H */
