// Codec: EncodeMessage + DecodeMessage of a FileChunkReq carrying a 4 MiB
// chunk, against protobuf's SerializeToString + ParseFromString of the same
// message (no frame, the class known in advance).
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "message/job_context.h"
#include "wire/codec.h"
#include "wire/profiler.pb.h"

namespace {

namespace msg = analysis::orbx::message;
namespace proto = analysis::orbx::proto;

constexpr size_t kChunkBytes = 4u << 20;

const proto::FileChunkReq& ChunkMessage() {
    static const proto::FileChunkReq req = [] {
        msg::JobContext ctx;
        ctx.job_id = "JOB0123456789ABCDEF";
        ctx.dev_id = "0";
        ctx.tag = "0";
        ctx.module = "llc";
        proto::FileChunkReq r;
        r.mutable_hdr()->set_magic("ORU");
        r.mutable_hdr()->set_job_ctx(ctx.ToString());
        r.set_filename("data/llc.data.0");
        r.set_offset(-1);
        std::string chunk(kChunkBytes, '\0');
        for (size_t i = 0; i < chunk.size(); ++i) {
            chunk[i] = static_cast<char>((i * 131u) >> 3);
        }
        r.set_chunk(std::move(chunk));
        r.set_chunksizeinbytes(static_cast<int32_t>(kChunkBytes));
        r.set_islastchunk(false);
        r.set_tag("0");
        r.set_chunkstarttime(123456789);
        r.set_chunkendtime(223456789);
        r.set_datamodule(3);
        return r;
    }();
    return req;
}

void BM_CodecOru(benchmark::State& state) {
    const proto::FileChunkReq& req = ChunkMessage();
    for (auto _ : state) {
        std::string frame = msg::EncodeMessage(req);
        auto back = msg::DecodeAs<proto::FileChunkReq>(frame.data(), frame.size());
        if (back == nullptr || back->chunk().size() != kChunkBytes) {
            state.SkipWithError("EncodeMessage/DecodeMessage failed");
            break;
        }
        benchmark::DoNotOptimize(back);
    }
}
BENCHMARK(BM_CodecOru)->Unit(benchmark::kMicrosecond);

void BM_CodecBaseline(benchmark::State& state) {
    const proto::FileChunkReq& req = ChunkMessage();
    for (auto _ : state) {
        std::string bytes;
        proto::FileChunkReq back;
        if (!req.SerializeToString(&bytes) || !back.ParseFromString(bytes) ||
            back.chunk().size() != kChunkBytes) {
            state.SkipWithError("SerializeToString/ParseFromString failed");
            break;
        }
        benchmark::DoNotOptimize(back);
    }
}
BENCHMARK(BM_CodecBaseline)->Unit(benchmark::kMicrosecond);

}  // namespace
