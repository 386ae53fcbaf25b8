/* Application-monitor client: registration and heartbeats over a Unix socket. */
#ifndef OSTREL_APPMON_H
#define OSTREL_APPMON_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct appmon_client {
    int fd;                /* connected socket, -1 when none */
    int registered;        /* 1 after a successful register */
    char serverPath[108];  /* socket path given to init */
} appmon_client_t;

/* Connects to the monitor service listening at serverPath; non-zero when nothing listens. */
int appmon_client_init(appmon_client_t* client, const char* serverPath);
/* Registers this process: timeoutMs without a heartbeat means dead; script is run then. */
int appmon_client_register(appmon_client_t* client, unsigned long timeoutMs, const char* script);
int appmon_client_heartbeat(appmon_client_t* client);
int appmon_client_deregister(appmon_client_t* client, const char* reason);
/* Closes the connection; the record may be initialised again. */
void appmon_client_exit(appmon_client_t* client);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_APPMON_H */
