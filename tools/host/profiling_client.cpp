#include "tools/host/profiling_client.h"

#include "message/job_context.h"

namespace analysis::orbx::host {

namespace {

template <class Handshake_>
Handshake_ BuildHandshake(const Handshake& handshake) {
    Handshake_ msg;
    msg.set_jobid(handshake.jobId);
    msg.set_devid(handshake.devIdOnHost);
    msg.set_mode(handshake.mode);
    return msg;
}

int ReadResponse(const message::MessagePtr& msg, proto::Response* reply) {
    auto rsp = message::MessageAs<proto::Response>(msg);
    if (rsp == nullptr) {
        return kRecvFailed;
    }
    if (reply != nullptr) {
        *reply = *rsp;
    }
    return kRecvOk;
}

// Connects, sends the handshake and reads the first answer.
int Handshaken(HostClient& client, const Target& target, const message::Message& handshake,
               std::unique_ptr<HostSession>* session, proto::Response* reply) {
    std::unique_ptr<HostSession> s = client.Connect(target.devId, target.vfId);
    if (s == nullptr || s->SendMessage(handshake) != 0) {
        return kRecvFailed;
    }
    message::MessagePtr msg;
    int ret = s->RecvMessage(&msg);
    if (ret == kRecvOk) {
        ret = ReadResponse(msg, reply);
    }
    *session = std::move(s);
    return ret;
}

}  // namespace

std::string MakeJobContext(const std::string& jobId, const std::string& devId,
                           const std::string& tag) {
    message::JobContext ctx;
    ctx.job_id = jobId;
    ctx.dev_id = devId;
    ctx.tag = tag;
    return ctx.ToString();
}

// ---- ControlChannel -----------------------------------------------------

int ControlChannel::Open(HostClient& client, const Target& target, const Handshake& handshake,
                         std::unique_ptr<ControlChannel>* out, proto::Response* reply) {
    std::unique_ptr<HostSession> session;
    const int ret = Handshaken(
        client, target, BuildHandshake<proto::CtrlChannelHandshake>(handshake), &session, reply);
    if (ret == kRecvOk) {
        out->reset(new ControlChannel(std::move(session)));
    }
    return ret;
}

int ControlChannel::Command(const message::Message& request, proto::Response* reply) {
    if (session_->SendMessage(request) != 0) {
        return kRecvFailed;
    }
    if (answerDeadlineMs_ != 0) {
        return AwaitResponse(reply, answerDeadlineMs_);
    }
    message::MessagePtr msg;
    const int ret = session_->RecvMessage(&msg);
    return ret == kRecvOk ? ReadResponse(msg, reply) : ret;
}

int ControlChannel::AwaitResponse(proto::Response* reply, uint32_t timeoutMs) {
    message::MessagePtr msg;
    const int ret = session_->RecvMessageWithin(&msg, timeoutMs);
    return ret == kRecvOk ? ReadResponse(msg, reply) : ret;
}

int ControlChannel::StartJob(const std::string& jobCtx, const std::string& sampleConfig,
                             proto::Response* reply) {
    proto::JobStartReq req;
    req.mutable_hdr()->set_job_ctx(jobCtx);
    req.set_sampleconfig(sampleConfig);
    return Command(req, reply);
}

int ControlChannel::StartReplay(const std::string& jobCtx, const proto::ReplayStartReq& events,
                                proto::Response* reply) {
    proto::ReplayStartReq req = events;
    req.mutable_hdr()->set_job_ctx(jobCtx);
    return Command(req, reply);
}

int ControlChannel::StopReplay(const std::string& jobCtx, proto::Response* reply) {
    proto::ReplayStopReq req;
    req.mutable_hdr()->set_job_ctx(jobCtx);
    return Command(req, reply);
}

int ControlChannel::StopJob(const std::string& jobCtx, proto::Response* reply) {
    proto::JobStopReq req;
    req.mutable_hdr()->set_job_ctx(jobCtx);
    return Command(req, reply);
}

// ---- DataChannel --------------------------------------------------------

int DataChannel::Open(HostClient& client, const Target& target, const Handshake& handshake,
                      std::unique_ptr<DataChannel>* out, proto::Response* reply) {
    std::unique_ptr<HostSession> session;
    const int ret = Handshaken(
        client, target, BuildHandshake<proto::DataChannelHandshake>(handshake), &session, reply);
    if (ret == kRecvOk) {
        out->reset(new DataChannel(std::move(session)));
    }
    return ret;
}

int DataChannel::NextView(FileChunkView* chunk, bool* finished) {
    *finished = false;
    std::string_view value;
    const int ret = session_->RecvView(&value);
    if (ret != kRecvOk) {
        return ret;
    }
    if (HostSession::IsContainerRefusal(value)) {
        return kRecvContainerRefused;
    }
    std::string typeName;
    size_t headLen = 0;
    if (!message::SplitFrame(value.data(), value.size(), &typeName, &headLen)) {
        return kRecvFailed;
    }
    if (typeName == proto::FileChunkReq::descriptor()->full_name()) {
        return ParseFileChunkView(value.data() + headLen, value.size() - headLen, chunk)
                   ? kRecvOk
                   : kRecvFailed;
    }
    message::MessagePtr msg = message::DecodeMessage(value.data(), value.size());
    if (message::MessageAs<proto::DataChannelFinish>(msg) != nullptr) {
        *finished = true;
        return kRecvOk;
    }
    return kRecvFailed;
}

int DataChannel::Next(proto::FileChunkReq* chunk, bool* finished) {
    FileChunkView view;
    const int ret = NextView(&view, finished);
    if (ret == kRecvOk && !*finished) {
        chunk->Swap(&view.fields);
        chunk->set_chunk(view.payload.data(), view.payload.size());
    }
    return ret;
}

int DataChannel::ReadUntilFinish(std::vector<proto::FileChunkReq>* chunks) {
    while (true) {
        proto::FileChunkReq chunk;
        bool finished = false;
        const int ret = Next(&chunk, &finished);
        if (ret != kRecvOk || finished) {
            return ret;
        }
        chunks->push_back(std::move(chunk));
    }
}

int DataChannel::CollectUntilFinish(std::map<std::string, CollectedFile>* files) {
    FileChunkView view;
    while (true) {
        bool finished = false;
        const int ret = NextView(&view, &finished);
        if (ret != kRecvOk || finished) {
            return ret;
        }
        const proto::FileChunkReq& chunk = view.fields;
        CollectedFile& file = (*files)[chunk.filename()];
        file.data.append(view.payload);
        message::JobContext ctx;
        if (ctx.FromString(chunk.hdr().job_ctx())) {
            file.tag = ctx.tag;
        }
        file.dataModule = chunk.datamodule();
        file.complete = file.complete || chunk.islastchunk();
        ++file.chunks;
    }
}

}  // namespace analysis::orbx::host
