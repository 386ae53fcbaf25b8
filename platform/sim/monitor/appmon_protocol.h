// Line protocol between the application-monitor client and the simulated
// monitor service, over a Unix-domain stream socket. Each request is one line,
// answered by one line:
//   "REGISTER <pid> <timeout ms> <script>"  -> "OK" or "ERR <why>"
//   "HEARTBEAT <pid>"                        -> "OK" or "ERR <why>"
//   "DEREGISTER <pid> <reason>"              -> "OK" or "ERR <why>"
#ifndef OSTREL_SIM_MONITOR_APPMON_PROTOCOL_H
#define OSTREL_SIM_MONITOR_APPMON_PROTOCOL_H

namespace ostrel::sim {

constexpr int kAppmonMaxLine = 4096;
constexpr int kAppmonReplyTimeoutMs = 5000;

}  // namespace ostrel::sim

#endif  // OSTREL_SIM_MONITOR_APPMON_PROTOCOL_H
