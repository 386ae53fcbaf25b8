// A host that breaks the rules, against the daemon as its own process: after each group
// the daemon still runs a normal job and its sessions and threads come back to where they were.
#include <gtest/gtest.h>
#include "testing/build_paths.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/oru_paths.h"
#include "testing/daemon_fixture.h"
#include "testing/host_job.h"
#include "testing/sim_session.h"
#include "tools/host/profiling_client.h"

namespace {

using namespace analysis::orbx;
using host::ControlChannel;
using host::DataChannel;
using host::Handshake;
using host::HostClient;
using host::HostSession;
using host::Target;
using oru_testing::Packet;

constexpr uint32_t kReplyWaitMs = 20000;  // beyond the daemon's ~10 s request poll
constexpr uint32_t kNoReplyWaitMs = 300;  // used only before a reply that must come first
constexpr uint32_t kMaxRequestValue = 3145728;
constexpr uint32_t kMaxFrame = 0x8000000;
constexpr char kPackage[] = "analysis.orbx.proto.";

std::string Be32(uint32_t v) {
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
    return std::string(b, 4);
}

// A codec frame: name length (with its zero byte), the name, the body.
std::string Frame(const std::string& name, const std::string& body) {
    return Be32(static_cast<uint32_t>(name.size() + 1)) + name + std::string(1, '\0') + body;
}

std::string FrameOf(const message::Message& msg) {
    return Frame(msg.GetTypeName(), msg.SerializeAsString());
}

template <class T>
T HandshakeOf(const std::string& jobId, int devId, const std::string& mode) {
    T hs;
    hs.set_jobid(jobId);
    hs.set_devid(devId);
    hs.set_mode(mode);
    return hs;
}
const auto CtrlHandshake = HandshakeOf<proto::CtrlChannelHandshake>;
const auto DataHandshake = HandshakeOf<proto::DataChannelHandshake>;

const std::vector<std::string> kMessageNames = {
    "Header",           "FileChunkReq",         "FileChunkFlushReq",    "Response",
    "JobStartReq",      "JobStopReq",           "ReplayStartReq",       "ReplayStopReq",
    "FinishJobRsp",     "CtrlChannelHandshake", "DataChannelHandshake", "DeviceInfo",
    "DataChannelFinish"};

// Random protobuf bodies: half noise, half well-formed wire records that often parse.
class BodyGenerator {
  public:
    explicit BodyGenerator(uint32_t seed) : rng_(seed) {}

    std::string Next() { return Pick(2) == 0 ? Noise(Pick(96)) : Records(); }
    std::string Noise(size_t n) {
        std::string s(n, '\0');
        for (char& c : s) {
            c = static_cast<char>(Pick(256));
        }
        return s;
    }

  private:
    uint32_t Pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
    void Varint(std::string& out, uint64_t v) {
        do {
            out.push_back(static_cast<char>((v & 0x7F) | (v > 0x7F ? 0x80 : 0)));
            v >>= 7;
        } while (v != 0);
    }
    std::string Records() {
        static const uint32_t kWireTypes[] = {0, 1, 2, 5};
        std::string out;
        for (uint32_t i = 0, n = 1 + Pick(6); i < n; ++i) {
            const uint32_t wire = kWireTypes[Pick(4)];
            Varint(out, (uint64_t{1} + Pick(13)) << 3 | wire);
            switch (wire) {
                case 0: {
                    const uint64_t magnitudes[] = {Pick(70), rng_(), ~uint64_t{0} - Pick(5)};
                    Varint(out, magnitudes[Pick(3)]);
                    break;
                }
                case 1:
                    out += Noise(8);
                    break;
                case 5:
                    out += Noise(4);
                    break;
                default: {
                    static const char* kTexts[] = {
                        "",         "job-1", "system-wide",
                        "def_mode", "{}",    R"({"job_id":"j","dev_id":"0"})",
                        "../x"};
                    std::string text = Pick(2) == 0 ? kTexts[Pick(7)] : Noise(Pick(24));
                    Varint(out, text.size());
                    out += text;
                }
            }
        }
        return out;
    }
    std::mt19937 rng_;
};

// Directories below the card's root, but the per-device ones that come and go with jobs.
std::set<std::string> Dirs() {
    std::set<std::string> paths;
    const std::string perDevice = std::string(common::kInotifyDir) + "[0-9]+(/.*)?";
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(
             std::string(analysis::orbx::common::kRootPrefix) + "/var", ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::string path = it->path().string();
        if (it->is_directory(ec) && !std::regex_match(path, std::regex(perDevice))) {
            paths.insert(path);
        }
    }
    return paths;
}

using oru_testing::InfoOf;
using oru_testing::IsDir;
using oru_testing::LlcConfig;
using oru_testing::LlcEvents;

template <class T>
T WithContext(const std::string& jobCtx) {
    T msg;
    msg.mutable_hdr()->set_job_ctx(jobCtx);
    return msg;
}

class HostileHostTest : public oru_e2e::DaemonChild {
  protected:
    void TearDown() override {
        if (daemon_ != nullptr) {
            EXPECT_TRUE(daemon_->Running()) << "the daemon died";
        }
    }

    std::unique_ptr<HostSession> Connect() {
        std::unique_ptr<HostSession> session;
        oru_testing::WaitUntil([&] { return (session = client_->Connect(0)) != nullptr; });
        return session;
    }
    // A control channel whose commands wait at most kReplyWaitMs for their answer.
    std::unique_ptr<ControlChannel> OpenControl(const Handshake& hs) {
        auto ctrl = oru_testing::OpenControl(*client_, hs, 0);
        if (ctrl != nullptr) {
            ctrl->SetAnswerDeadline(kReplyWaitMs);
        }
        return ctrl;
    }
    void RunJob(std::unique_ptr<ControlChannel>& ctrl, const std::string& jobId,
                const std::string& mode = "") {
        EXPECT_TRUE(oru_e2e::RunNormalJob(*client_, jobId, 0, mode, -1, &ctrl));
    }

    // The daemon over four devices, past a normal job: what it holds then is the baseline.
    void Begin(const std::string& jobId, const std::string& mode = "") {
        StartDaemon(4);
        EXPECT_TRUE(oru_e2e::RunNormalJob(*client_, jobId, 0, mode));
        baseline_ = oru_testing::FiguresOf(daemon_->Pid());
        dirs_ = Dirs();
    }
    void End(const std::string& jobId, const std::string& mode = "") {
        EXPECT_TRUE(oru_e2e::RunNormalJob(*client_, jobId, 0, mode));
        ExpectBackTo(baseline_, std::chrono::seconds(30));
    }

    oru_testing::ProcessFigures baseline_;
    std::set<std::string> dirs_;
};

enum class Expect {
    kClosed,     // the session is closed without a word
    kRefused,    // one FAILED Response with the given reason, then closed
    kJudged,     // random content: the answer is checked against what it holds
    kAbandoned,  // an unfinished request: the host gives up and closes
};

struct RequestCase {
    std::string name;
    std::string packet;        // written through the session layer when not empty
    oru_testing::Buffers raw;  // otherwise one driver message of these buffers
    Expect expect;
    std::string info;
};

RequestCase Refused(const std::string& name, const std::string& value, const std::string& info) {
    return {name, Packet(5, value), {}, Expect::kRefused, info};
}
RequestCase Closed(const std::string& name, const std::string& packet) {
    return {name, packet, {}, Expect::kClosed, ""};
}
RequestCase ClosedRaw(const std::string& name, const oru_testing::Buffers& raw) {
    return {name, "", raw, Expect::kClosed, ""};
}

// A handshake whose frame is exactly `size` bytes, padded through its job id.
template <class T>
std::string HandshakeOfSize(size_t size, const std::string& mode) {
    std::string jobId(size, 'a');
    T hs;
    hs.set_mode(mode);
    for (int i = 0; i < 4; ++i) {
        hs.set_jobid(jobId);
        std::string frame = FrameOf(hs);
        if (frame.size() == size) {
            return frame;
        }
        jobId.resize(jobId.size() - (frame.size() - size));
    }
    return "";
}

bool JobIdAcceptable(const std::string& id) {
    return !id.empty() && id.size() <= 512 && std::all_of(id.begin(), id.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
    });
}

bool ModeAcceptable(const std::string& mode) {
    return mode.empty() || mode == "def_mode" || mode == "system-wide";
}

// What the daemon may answer a handshake holding body: SUCCESS only for sound values.
void JudgeHandshakeAnswer(const std::string& type, const std::string& body,
                          const proto::Response& reply, const std::string& name) {
    const auto* desc =
        google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(kPackage + type);
    ASSERT_NE(desc, nullptr);
    std::unique_ptr<message::Message> msg(
        google::protobuf::MessageFactory::generated_factory()->GetPrototype(desc)->New());
    if (!msg->ParseFromString(body)) {
        EXPECT_EQ(reply.status(), proto::FAILED) << name;
        EXPECT_EQ(InfoOf(reply), "Failed to decode message") << name;
        return;
    }
    if (auto* ctrl = dynamic_cast<proto::CtrlChannelHandshake*>(msg.get())) {
        // A sound one may still be refused while another job holds its mode.
        if (reply.status() == proto::SUCCESS) {
            EXPECT_TRUE(ctrl->devid() >= 0 && ctrl->devid() <= 63 &&
                        JobIdAcceptable(ctrl->jobid()) && ModeAcceptable(ctrl->mode()))
                << name;
        }
    } else if (auto* data = dynamic_cast<proto::DataChannelHandshake*>(msg.get())) {
        bool sound = JobIdAcceptable(data->jobid()) && ModeAcceptable(data->mode());
        EXPECT_EQ(reply.status(), sound ? proto::SUCCESS : proto::FAILED) << name;
    } else {
        EXPECT_EQ(reply.status(), proto::FAILED) << name;
        EXPECT_EQ(InfoOf(reply), "unknown message") << name;
    }
}

std::vector<RequestCase> MalformedRequests() {
    const std::string hs = FrameOf(CtrlHandshake("req1", 0, "system-wide"));
    std::vector<RequestCase> cases = {
        // Sizes: the value is limited to 3 MiB, and the header must tell the truth.
        Closed("value one byte over 3 MiB",
               Packet(5, HandshakeOfSize<proto::CtrlChannelHandshake>(kMaxRequestValue + 1, ""))),
        Refused("value of exactly 3 MiB is read",
                HandshakeOfSize<proto::DataChannelHandshake>(kMaxRequestValue, ""), ""),
        Closed("empty value", Packet(5, "")),
        Closed("length field claims 128 MiB", Packet(5, hs, kMaxFrame)),
        Closed("length field claims 4 GiB", Packet(5, hs, UINT32_MAX)),
        Closed("length field short of the value", Packet(5, hs, 5)),
        Closed("shorter than a header", Packet(5, "").substr(0, 11)),
        Closed("request type 16", Packet(16, hs)),
        Closed("request type 17", Packet(17, hs)),
        Closed("request type 0", Packet(0, hs)),
        Closed("request type all ones", Packet(UINT32_MAX, hs)),
        ClosedRaw("segment with a foreign tag", {oru_testing::Segment(Packet(5, hs), true, 0xB1)}),
        ClosedRaw("segment claiming 128 MiB",
                  {oru_testing::Segment(Packet(5, hs), true, HDC_PACKET_TAG, kMaxFrame)}),
        ClosedRaw("segment claiming 4 GiB",
                  {oru_testing::Segment(Packet(5, hs), true, HDC_PACKET_TAG, UINT32_MAX - 1)}),
        ClosedRaw("request growing past 3 MiB without an end",
                  oru_testing::Buffers(7, oru_testing::Segment(std::string(500000, 'r'), false))),
        ClosedRaw("segment shorter than its header", {std::string("\xb0\0\0", 3)}),
        {"last segment never sent",
         "",
         {oru_testing::Segment(Packet(5, hs).substr(0, 20), false)},
         Expect::kAbandoned,
         ""},
        Refused("a command in place of a handshake",
                FrameOf(WithContext<proto::JobStartReq>(host::MakeJobContext("req1", "0"))),
                "unknown message"),
    };
    const std::pair<const char*, std::string> undecodable[] = {
        {"frame name length claims 128 MiB", Be32(kMaxFrame) + "x"},
        {"frame name length 1026",
         Be32(1026) + std::string(kPackage) + "CtrlChannelHandshake" + std::string(1100, '\0')},
        {"frame name length 0", Be32(0)},
        {"frame name beyond the value", Be32(200) + kPackage},
        {"frame cut inside its name", hs.substr(0, 20)},
        {"frame cut inside its body", hs.substr(0, hs.size() - 3)},
        {"unknown type name", Frame(std::string(kPackage) + "NoSuchReq", "")},
        {"type name of 1024 characters", Frame(std::string(1024, 'n'), "")},
        {"unqualified type name", Frame("CtrlChannelHandshake", "")},
    };
    for (const auto& [name, value] : undecodable) {
        cases.push_back(Refused(name, value, "Failed to decode message"));
    }
    for (int dev : {64, 1000, INT_MAX, -1}) {
        cases.push_back(Refused("control handshake for device " + std::to_string(dev),
                                FrameOf(CtrlHandshake("req2", dev, "")), ""));
    }
    for (const std::string& id : {std::string("a/b"), std::string(".."), std::string("../../x"),
                                  std::string(), std::string(513, 'j')}) {
        cases.push_back(Refused("control handshake for job '" + id + "'",
                                FrameOf(CtrlHandshake(id, 0, "")), ""));
        cases.push_back(
            Refused("data handshake for job '" + id + "'", FrameOf(DataHandshake(id, 0, "")), ""));
    }
    cases.push_back(Refused("control handshake in an unknown mode",
                            FrameOf(CtrlHandshake("req2", 0, "bogus")), ""));
    cases.push_back(Refused("data handshake in an unknown mode",
                            FrameOf(DataHandshake("req3", 0, "DEF_MODE")), ""));
    BodyGenerator gen(1313);
    for (int i = 0; i < 6; ++i) {
        cases.push_back(Refused("garbage value " + std::to_string(i), gen.Noise(1 + i * 37),
                                "Failed to decode message"));
    }
    for (const std::string& type : kMessageNames) {
        for (int i = 0; i < 6; ++i) {
            std::string body = gen.Next();
            cases.push_back({type + " with random body " + std::to_string(i),
                             Packet(5, Frame(kPackage + type, body)),
                             {body},
                             Expect::kJudged,
                             type});
        }
    }
    return cases;
}

TEST_F(HostileHostTest, MalformedRequestsAreClosedOrRefusedAndTheDaemonServesOn) {
    Begin("before1");

    for (const RequestCase& c : MalformedRequests()) {
        SCOPED_TRACE(c.name);
        auto session = Connect();
        ASSERT_NE(session, nullptr);
        if (!c.packet.empty()) {
            ASSERT_EQ(session->SendRaw(c.packet.data(), static_cast<uint32_t>(c.packet.size())), 0);
        } else {
            ASSERT_EQ(oru_testing::SendRaw(session->Handle(), c.raw), DRV_ERROR_NONE);
        }
        message::MessagePtr msg;
        if (c.expect == Expect::kAbandoned) {
            EXPECT_EQ(session->RecvMessageWithin(&msg, kNoReplyWaitMs), host::kRecvTimedOut);
            continue;  // closing the session must free the daemon's reader
        }
        int rc = session->RecvMessageWithin(&msg, kReplyWaitMs);
        if (c.expect == Expect::kClosed) {
            EXPECT_EQ(rc, host::kRecvClosed);
            continue;
        }
        ASSERT_EQ(rc, host::kRecvOk);
        auto reply = message::MessageAs<proto::Response>(msg);
        ASSERT_NE(reply, nullptr);
        if (c.expect == Expect::kRefused) {
            EXPECT_EQ(reply->status(), proto::FAILED);
            EXPECT_EQ(InfoOf(*reply), c.info);
        } else {
            JudgeHandshakeAnswer(c.info, c.raw[0], *reply, c.name);
        }
        if (reply->status() == proto::FAILED) {
            // A refused session is not kept.
            EXPECT_EQ(session->RecvMessageWithin(&msg, kReplyWaitMs), host::kRecvClosed);
        }
    }

    End("after1");
    EXPECT_EQ(Dirs(), dirs_) << "directories were created or removed";
}

std::string PaddedContext(const std::string& jobId, const std::string& devId, size_t size) {
    std::string head = R"({"job_id":")" + jobId + R"(","dev_id":")" + devId + R"(","pad":")";
    return head + std::string(size > head.size() + 2 ? size - head.size() - 2 : 0, 'p') + "\"}";
}

std::string Nested(size_t depth) {
    return R"({"job_id":"hb","dev_id":"0","n":)" + std::string(depth, '[') +
           std::string(depth, ']') + "}";
}

// Job contexts a start must be dropped for, without a reply.
std::vector<std::string> HostileContexts() {
    std::vector<std::string> contexts = {
        PaddedContext("hb", "0", 1048577),
        Nested(100000),
        R"({"job_id":"hb","dev_id":99999999999999999999})",
        R"({"job_id":"hb","dev_id":"99999999999999999999"})",
        R"({"job_id":"hb","dev_id":"0","tag":1e999})",
        R"({"job_id":"hb","dev_id":"0","chunkEndTime":3000000000})",
        "[1]",
        "",
    };
    for (const char* id : {"a/b", "..", "../../x", "hb/../hb", ""}) {
        contexts.push_back(host::MakeJobContext(id, "0"));
    }
    contexts.push_back(host::MakeJobContext(std::string(513, 'j'), "0"));
    for (const char* dev : {"64", "65", "1000", "-1", "4294967296", "0x1", ""}) {
        contexts.push_back(host::MakeJobContext("hb", dev));
    }
    return contexts;
}

std::vector<std::string> ControlGarbage() {
    BodyGenerator gen(4242);
    std::vector<std::string> values;
    for (int i = 0; i < 8; ++i) {
        values.push_back(gen.Noise(1 + i * 29));
    }
    // A stop of a job that does not exist, cut every 7 bytes.
    std::string stop = FrameOf(WithContext<proto::JobStopReq>(host::MakeJobContext("nojob", "0")));
    for (size_t cut = 1; cut < stop.size(); cut += 7) {
        values.push_back(stop.substr(0, cut));
    }
    values.push_back(Be32(kMaxFrame) + "x");
    values.push_back(Frame(std::string(kPackage) + "NoSuchReq", ""));
    values.push_back(FrameOf(CtrlHandshake("hb", 0, "")));  // a second handshake
    for (const std::string& type : kMessageNames) {
        for (int i = 0; i < 6; ++i) {
            values.push_back(Frame(kPackage + type, gen.Next()));
        }
    }
    for (const std::string& ctx : HostileContexts()) {
        auto start = WithContext<proto::JobStartReq>(ctx);
        start.set_sampleconfig(LlcConfig("hb"));
        values.push_back(FrameOf(start));
        values.push_back(FrameOf(WithContext<proto::JobStopReq>(ctx)));
        values.push_back(FrameOf(WithContext<proto::ReplayStartReq>(ctx)));
        values.push_back(FrameOf(WithContext<proto::ReplayStopReq>(ctx)));
    }
    return values;
}

TEST_F(HostileHostTest, GarbageOnAControlSessionIsNeverAnsweredAndTheSessionServesOn) {
    Begin("before2");

    auto ctrl = OpenControl(Handshake{"hb", 0, ""});
    ASSERT_NE(ctrl, nullptr);
    for (const std::string& value : ControlGarbage()) {
        ASSERT_EQ(ctrl->Session().SendValue(value.data(), static_cast<uint32_t>(value.size())), 0);
    }
    // Answers come in order: the first being this start's, nothing before it was answered.
    std::string ctx = host::MakeJobContext("hb", "0");
    auto start = WithContext<proto::JobStartReq>(ctx);
    start.set_sampleconfig("not json");
    proto::Response reply;
    ASSERT_EQ(ctrl->Command(start, &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), proto::FAILED);
    EXPECT_EQ(InfoOf(reply), "invalid sample configuration");
    ASSERT_EQ(ctrl->Command(WithContext<proto::JobStopReq>(ctx), &reply), host::kRecvOk);
    EXPECT_EQ(InfoOf(reply), "Profiling is not started on device");
    EXPECT_EQ(Dirs(), dirs_) << "a hostile job context created or removed a directory";

    RunJob(ctrl, "hb");

    // A lying length field ends the session: its job stops and its data channel is finished.
    std::unique_ptr<DataChannel> data;
    ASSERT_EQ(DataChannel::Open(*client_, Target{0, 0}, Handshake{"hb", 0, ""}, &data, &reply),
              host::kRecvOk);
    start.set_sampleconfig(LlcConfig("hb"));
    ASSERT_EQ(ctrl->Command(start, &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    EXPECT_TRUE(IsDir(std::string(common::kInotifyDir) + "hb"));
    std::string liar = Packet(5, FrameOf(WithContext<proto::JobStopReq>(ctx)), 3);
    ASSERT_EQ(ctrl->Session().SendRaw(liar.data(), static_cast<uint32_t>(liar.size())), 0);
    std::vector<proto::FileChunkReq> chunks;
    EXPECT_EQ(data->ReadUntilFinish(&chunks), host::kRecvOk);
    EXPECT_FALSE(IsDir(std::string(common::kInotifyDir) + "hb"));
    EXPECT_EQ(ctrl->AwaitResponse(&reply, kReplyWaitMs), host::kRecvClosed);
    ctrl.reset();
    data.reset();

    End("after2");
}

struct ConfigCase {
    std::string name;
    std::string config;
    bool mayRun;  // a sound configuration that happens to be odd
    std::string refusal = "invalid sample configuration";
};

std::vector<ConfigCase> HostileConfigs() {
    const size_t frame = LlcConfig("cfg", R"(,"pad":"")").size();
    const std::string exact =
        LlcConfig("cfg", R"(,"pad":")" + std::string(1048576 - frame, 'p') + "\"");
    std::vector<ConfigCase> cases = {
        {"exactly 1 MiB", exact, true},
        {"1 MiB and a byte", exact.substr(0, exact.size() - 2) + "p\"}", false},
        {"nested 100000 deep",
         LlcConfig("cfg", R"(,"n":)" + std::string(100000, '[') + std::string(100000, ']')), false},
        {"interval beyond 32 bits", LlcConfig("cfg", R"(,"llc_interval":3000000000)"), false},
        {"interval beyond a double", LlcConfig("cfg", R"(,"llc_interval":1e999)"), false},
        {"interval of 23 digits", LlcConfig("cfg", R"(,"llc_interval":99999999999999999999999)"),
         false},
        {"interval near the largest double", LlcConfig("cfg", R"(,"llc_interval":1.7e308)"), true},
        {"interval at the smallest int", LlcConfig("cfg", R"(,"llc_interval":-2147483648)"), true},
    };
    for (const char* id : {"a/b", "..", ".", "../../escape", "x/../../y", "job id", "job_1"}) {
        cases.push_back({std::string("job id ") + id, LlcConfig(id), false});
    }
    // Without a job id the job would take the shared profiling directory as its own.
    cases.push_back({"empty job id", LlcConfig(""), false});
    cases.push_back({"no job id", R"({"gxprof_llc_profiling":"on","llc_interval":10})", false});
    cases.push_back({"job id of 513 characters", LlcConfig(std::string(513, 'j')), false});
    // A sound id, but longer than a file name may be.
    cases.push_back({"job id of 512 characters", LlcConfig(std::string(512, 'j')), false,
                     "Failed to create tmp root result directory."});
    return cases;
}

TEST_F(HostileHostTest, HostileConfigurationsAreRefusedOrRunTruthfully) {
    Begin("before3");
    auto ctrl = OpenControl(Handshake{"cfg", 0, ""});
    ASSERT_NE(ctrl, nullptr);
    const std::string ctx = host::MakeJobContext("cfg", "0");

    for (const ConfigCase& c : HostileConfigs()) {
        SCOPED_TRACE(c.name);
        auto start = WithContext<proto::JobStartReq>(ctx);
        start.set_sampleconfig(c.config);
        proto::Response reply;
        ASSERT_EQ(ctrl->Command(start, &reply), host::kRecvOk);
        if (reply.status() == proto::SUCCESS) {
            EXPECT_TRUE(c.mayRun) << "accepted";
            EXPECT_TRUE(IsDir(std::string(common::kInotifyDir) + "cfg"));
            // This host opened no data session, so no finish could reach it.
            ASSERT_EQ(ctrl->Command(WithContext<proto::JobStopReq>(ctx), &reply), host::kRecvOk);
            EXPECT_EQ(reply.status(), proto::FAILED) << reply.message();
        } else {
            EXPECT_EQ(InfoOf(reply), c.refusal);
            ASSERT_EQ(ctrl->Command(WithContext<proto::JobStopReq>(ctx), &reply), host::kRecvOk);
            EXPECT_EQ(InfoOf(reply), "Profiling is not started on device");
        }
        EXPECT_EQ(Dirs(), dirs_) << "directories were created or removed";
    }
    RunJob(ctrl, "cfg");
    ctrl.reset();
    End("after3");
}

TEST_F(HostileHostTest, CommandsOutOfOrderAreAnsweredTruthfully) {
    Begin("before4");
    auto ctrl = OpenControl(Handshake{"ord", 0, ""});
    ASSERT_NE(ctrl, nullptr);
    const std::string ctx = host::MakeJobContext("ord", "0");
    const std::string jobDir = std::string(common::kInotifyDir) + "ord";
    proto::Response reply;
    std::unique_ptr<DataChannel> data;
    ASSERT_EQ(DataChannel::Open(*client_, Target{0, 0}, Handshake{"ord", 0, ""}, &data, &reply),
              host::kRecvOk);
    auto finished = std::async(std::launch::async, [&data] {
        std::vector<proto::FileChunkReq> chunks;
        return data->ReadUntilFinish(&chunks);
    });
    std::shared_ptr<void> unblock(nullptr, [&data](void*) { data->Session().Close(); });

    // Nothing to act on yet: no answers, as the first answer below shows.
    auto start = WithContext<proto::JobStartReq>(ctx);
    start.set_sampleconfig(LlcConfig("ord"));
    ASSERT_EQ(data->Session().SendMessage(start), 0);  // commands on a data session are not read
    ASSERT_EQ(ctrl->Session().SendMessage(WithContext<proto::JobStopReq>(ctx)), 0);
    ASSERT_EQ(ctrl->Session().SendMessage(WithContext<proto::ReplayStartReq>(ctx)), 0);
    ASSERT_EQ(ctrl->Session().SendMessage(WithContext<proto::ReplayStopReq>(ctx)), 0);
    EXPECT_FALSE(IsDir(jobDir));
    ASSERT_EQ(ctrl->Command(start, &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();

    ASSERT_EQ(ctrl->Command(start, &reply), host::kRecvOk);  // a second start of the same job
    EXPECT_EQ(reply.status(), proto::FAILED);
    EXPECT_EQ(InfoOf(reply), "Create task failed.");
    EXPECT_TRUE(IsDir(jobDir)) << "the refused start touched the running job";

    auto replay = LlcEvents();
    replay.mutable_hdr()->set_job_ctx(ctx);
    ASSERT_EQ(ctrl->Command(replay, &reply), host::kRecvOk);
    ASSERT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    // A second replay start: if refused, the job is thrown back as the answer says.
    ASSERT_EQ(ctrl->Command(replay, &reply), host::kRecvOk);
    const bool secondReplayRan = reply.status() == proto::SUCCESS;
    ASSERT_EQ(ctrl->Command(WithContext<proto::ReplayStopReq>(ctx), &reply), host::kRecvOk);
    if (secondReplayRan) {
        EXPECT_EQ(reply.status(), proto::SUCCESS) << reply.message();
    } else {
        EXPECT_FALSE(IsDir(jobDir));
        EXPECT_EQ(InfoOf(reply), "Profiling is not started on device");
    }
    ASSERT_EQ(ctrl->Command(WithContext<proto::JobStopReq>(ctx), &reply), host::kRecvOk);
    EXPECT_EQ(reply.status(), secondReplayRan ? proto::SUCCESS : proto::FAILED) << reply.message();
    EXPECT_FALSE(IsDir(jobDir));
    EXPECT_EQ(finished.get(), host::kRecvOk) << "the data channel was never finished";

    // The job is gone: later commands for it are not answered, the next start is.
    ASSERT_EQ(ctrl->Session().SendMessage(WithContext<proto::JobStopReq>(ctx)), 0);
    ASSERT_EQ(ctrl->Session().SendMessage(replay), 0);
    ASSERT_EQ(ctrl->Session().SendMessage(WithContext<proto::ReplayStopReq>(ctx)), 0);
    RunJob(ctrl, "ord");
    ctrl.reset();
    End("after4");
}

TEST_F(HostileHostTest, TwoHostsRacingForOneDeviceAndModeGetOneWinner) {
    Begin("before5", "system-wide");
    auto other = HostClient::Create();
    ASSERT_NE(other, nullptr);
    int won = 0;
    for (int round = 0; round < 200 && won < 4; ++round) {
        std::promise<void> go;
        std::shared_future<void> ready = go.get_future().share();
        auto race = [&ready](HostClient* client, std::string jobId) {
            std::unique_ptr<ControlChannel> ctrl;
            proto::Response reply;
            ready.wait();
            int rc = ControlChannel::Open(*client, Target{0, 0}, Handshake{jobId, 0, "system-wide"},
                                          &ctrl, &reply);
            if (rc != host::kRecvOk || reply.status() != proto::SUCCESS) {
                ctrl.reset();
            }
            return ctrl;
        };
        std::string suffix = std::to_string(round);
        auto a = std::async(std::launch::async, race, client_.get(), "raceA" + suffix);
        auto b = std::async(std::launch::async, race, other.get(), "raceB" + suffix);
        go.set_value();
        auto ctrlA = a.get();
        auto ctrlB = b.get();
        ASSERT_FALSE(ctrlA != nullptr && ctrlB != nullptr)
            << "both hosts were told they own device 0 in mode system-wide";
        std::unique_ptr<ControlChannel>& winner = ctrlA != nullptr ? ctrlA : ctrlB;
        if (winner == nullptr) {
            // The previous winner's session is still winding down.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        ++won;
        RunJob(winner, (ctrlA != nullptr ? "raceA" : "raceB") + suffix, "system-wide");
    }
    EXPECT_EQ(won, 4);
    End("after5", "system-wide");
}

TEST_F(HostileHostTest, DataChannelsWhoseJobNeverEndsAreReleasedOnceTheHostLeaves) {
    Begin("before6");
    proto::Response reply;
    for (int i = 0; i < 12; ++i) {
        std::unique_ptr<DataChannel> data;
        ASSERT_EQ(DataChannel::Open(*client_, Target{0, 0},
                                    Handshake{"gone" + std::to_string(i), 0, ""}, &data, &reply),
                  host::kRecvOk);
        EXPECT_EQ(reply.status(), proto::SUCCESS);
    }
    End("after6");
}

}  // namespace
