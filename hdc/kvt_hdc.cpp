#include "hdc/kvt_hdc.h"

int KvtIdeCreatePacket(const void* value, uint32_t valueLen, IdeTlvReq** packet,
                       uint32_t* packetLen) {
    return IdeCreatePacket(IDE_PROFILING_REQ, value, valueLen, packet, packetLen);
}

void KvtIdeFreePacket(IdeTlvReq** packet) {
    IdeFreePacket(packet);
}

int KvtHdcClientDestroy(HDC_CLIENT client) {
    return HdcClientDestroy(client);
}

HDC_SESSION KvtHdcServerAccept(HDC_SERVER server) {
    return HdcServerAccept(server);
}

int KvtHdcServerDestroy(HDC_SERVER server) {
    return HdcServerDestroy(server);
}

int KvtHdcSessionConnect(int peerNode, int peerDevId, HDC_CLIENT client, HDC_SESSION* session) {
    return HdcSessionConnect(peerNode, peerDevId, client, session);
}

int KvtHdcSessionConnectEx(int peerNode, int peerDevId, int hostPid, HDC_CLIENT client,
                           HDC_SESSION* session) {
    return HdcSessionConnectEx(peerNode, peerDevId, hostPid, client, session);
}

int KvtHdcSessionClose(HDC_SESSION session) {
    return HdcSessionClose(session);
}

int KvtHdcSessionDestroy(HDC_SESSION session) {
    return HdcSessionDestroy(session);
}

int KvtGetDevIdBySession(HDC_SESSION session, int* devId) {
    return IdeGetDevIdBySession(session, devId);
}

int KvtGetVfIdBySession(HDC_SESSION session, int* vfId) {
    return IdeGetVfIdBySession(session, vfId);
}

int KvtHdcWrite(HDC_SESSION session, const void* buf, uint32_t len) {
    return HdcSessionWrite(session, buf, len, HDC_FLAG_WAIT);
}

int KvtHdcWriteParts(HDC_SESSION session, const HdcBufferPart* parts, size_t count) {
    return HdcSessionWriteParts(session, parts, count, HDC_FLAG_WAIT);
}

int KvtHdcRead(HDC_SESSION session, void** recvBuf, uint32_t* recvLen) {
    return HdcSessionRead(session, recvBuf, recvLen, HDC_FLAG_WAIT);
}
