// The door through which the profiling service (its transport and its
// component entry) reaches the HDC session layer. Each routine passes its
// arguments through to the session layer unchanged (see hdc/hdc_api.h for
// results and ownership).
#ifndef ORU_HDC_KVT_HDC_H
#define ORU_HDC_KVT_HDC_H

#include <cstdint>

#include "hdc/hdc_api.h"

// IdeCreatePacket with type IDE_PROFILING_REQ (5).
int KvtIdeCreatePacket(const void* value, uint32_t valueLen, IdeTlvReq** packet,
                       uint32_t* packetLen);
void KvtIdeFreePacket(IdeTlvReq** packet);

int KvtHdcClientDestroy(HDC_CLIENT client);
HDC_SESSION KvtHdcServerAccept(HDC_SERVER server);
int KvtHdcServerDestroy(HDC_SERVER server);
int KvtHdcSessionConnect(int peerNode, int peerDevId, HDC_CLIENT client, HDC_SESSION* session);
int KvtHdcSessionConnectEx(int peerNode, int peerDevId, int hostPid, HDC_CLIENT client,
                           HDC_SESSION* session);
int KvtHdcSessionClose(HDC_SESSION session);
int KvtHdcSessionDestroy(HDC_SESSION session);
int KvtGetDevIdBySession(HDC_SESSION session, int* devId);
int KvtGetVfIdBySession(HDC_SESSION session, int* vfId);

// Blocking whole-buffer write and read (HdcSessionWrite, HdcSessionRead).
int KvtHdcWrite(HDC_SESSION session, const void* buf, uint32_t len);
int KvtHdcRead(HDC_SESSION session, void** recvBuf, uint32_t* recvLen);
// Blocking write of parts joined as one buffer (HdcSessionWriteParts).
int KvtHdcWriteParts(HDC_SESSION session, const HdcBufferPart* parts, size_t count);

#endif  // ORU_HDC_KVT_HDC_H
