// Logging library: one stamped line per call, to standard error or a file.
#include "ostrel/dlog.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>
#include <mutex>

namespace {

struct Settings {
    std::mutex mu;  // guards file, sink and the writes
    FILE* file = nullptr;
    DlogSink sink = nullptr;
    void* sinkCtx = nullptr;
    std::atomic<int> minLevel{DLOG_WARN};
    std::atomic<bool> loaded{false};
};

Settings& Get() {
    static Settings* s = new Settings();  // never destroyed: logging works during exit
    return *s;
}

int ParseLevel(const char* text) {
    if (text == nullptr || *text == '\0') return DLOG_WARN;
    if (strcasecmp(text, "debug") == 0 || strcmp(text, "0") == 0) return DLOG_DEBUG;
    if (strcasecmp(text, "info") == 0 || strcmp(text, "1") == 0) return DLOG_INFO;
    if (strcasecmp(text, "warning") == 0 || strcasecmp(text, "warn") == 0 ||
        strcmp(text, "2") == 0) {
        return DLOG_WARN;
    }
    if (strcasecmp(text, "error") == 0 || strcmp(text, "3") == 0) return DLOG_ERROR;
    return DLOG_WARN;
}

void LoadLocked(Settings& s) {
    s.minLevel = ParseLevel(getenv("OSTREL_LOG_LEVEL"));
    if (s.file != nullptr) {
        fclose(s.file);
        s.file = nullptr;
    }
    const char* path = getenv("OSTREL_LOG_FILE");
    if (path != nullptr && *path != '\0') {
        s.file = fopen(path, "ae");
    }
    s.loaded = true;
}

void EnsureLoaded(Settings& s) {
    if (!s.loaded) {
        LoadLocked(s);
    }
}

const char* LevelName(int level) {
    switch (level) {
        case DLOG_DEBUG: return "DEBUG";
        case DLOG_INFO: return "INFO";
        case DLOG_WARN: return "WARNING";
        case DLOG_ERROR: return "ERROR";
        default: return "EVENT";
    }
}

bool Enabled(Settings& s, int level) {
    return level == DLOG_ERROR || level == DLOG_EVENT || level >= s.minLevel.load();
}

void Write(int level, int moduleId, const char* fmt, va_list args) {
    Settings& s = Get();
    std::lock_guard<std::mutex> lock(s.mu);
    EnsureLoaded(s);
    if (!Enabled(s, level)) {
        return;
    }
    char text[8192];
    vsnprintf(text, sizeof(text), fmt, args);
    size_t len = strlen(text);
    if (len > 0 && text[len - 1] == '\n') {
        text[len - 1] = '\0';
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    localtime_r(&tv.tv_sec, &tmv);
    char stamp[64];
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tmv);
    FILE* out = s.file != nullptr ? s.file : stderr;
    fprintf(out, "[%s.%06ld] [%s] [%d] %s\n", stamp, static_cast<long>(tv.tv_usec),
            LevelName(level), moduleId, text);
    fflush(out);
    if (s.sink != nullptr) {
        s.sink(level, moduleId, text, s.sinkCtx);
    }
}

}  // namespace

extern "C" {

int dlog_init(void) {
    Settings& s = Get();
    std::lock_guard<std::mutex> lock(s.mu);
    EnsureLoaded(s);
    return 0;
}

int DlogSetAttr(LogAttr attr) {
    if (attr.type < 0) {
        return -1;
    }
    return 0;
}

int CheckLogLevel(int moduleId, int level) {
    (void)moduleId;
    Settings& s = Get();
    if (!s.loaded.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(s.mu);
        EnsureLoaded(s);
    }
    return Enabled(s, level) ? 1 : 0;
}

#define ORU_DLOG_FN(name, level)                        \
    void name(int moduleId, const char* fmt, ...) {     \
        va_list args;                                   \
        va_start(args, fmt);                            \
        Write(level, moduleId, fmt, args);              \
        va_end(args);                                   \
    }

ORU_DLOG_FN(DlogErrorInner, DLOG_ERROR)
ORU_DLOG_FN(DlogWarnInner, DLOG_WARN)
ORU_DLOG_FN(DlogInfoInner, DLOG_INFO)
ORU_DLOG_FN(DlogDebugInner, DLOG_DEBUG)
ORU_DLOG_FN(DlogEventInner, DLOG_EVENT)

void DlogSetSink(DlogSink sink, void* ctx) {
    Settings& s = Get();
    std::lock_guard<std::mutex> lock(s.mu);
    s.sink = sink;
    s.sinkCtx = ctx;
}

void DlogReloadSettings(void) {
    Settings& s = Get();
    std::lock_guard<std::mutex> lock(s.mu);
    LoadLocked(s);
}

}  // extern "C"
