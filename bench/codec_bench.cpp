// Message body codec against protobuf, on one realistic 10-cell record: a
// collection task as the daemon sends it (node, task id, file size, flags,
// state, creation time, user, node name, package path and the JSON options).
//
// Pairs (time per iteration; target: ours at most the protobuf time):
//   BM_Chs_Encode10 vs BM_Protobuf_Encode10
//     ours: a reused MsgObject gets a new record with the 10 cells, built as
//     the daemon's senders build them (AddRecord and the Append functions,
//     in the body's own memory), is encoded into a buffer and cleared,
//     freeing record and cells; protobuf: the 10 fields of a reused message
//     are set and the message is serialized to an array.
//   BM_Chs_EncodeNew10: the same with record and cells created with new
//     and handed over (append, appendInner), for comparison.
//   BM_Chs_Decode10 vs BM_Protobuf_Decode10
//     ours: a reused MsgObject decodes the bytes (dropping the records of
//     the previous pass) and every cell value is read once through its tag,
//     as a handler does it; protobuf: a reused message is cleared, parsed
//     and every field read.
//   BM_Chs_DecodeFresh10 vs BM_Protobuf_DecodeFresh10: the same with a new
//   MsgObject / message each time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec_bench.pb.h"
#include "msg/msg_object.h"

namespace {

constexpr uint64_t kRecordCode = 0x70003014;

enum Tag : unsigned short {
    TAG_NODE_ID = 1,
    TAG_TASK_ID,
    TAG_FILE_SIZE,
    TAG_COMPRESS,
    TAG_STATE,
    TAG_CREATE_TIME,
    TAG_USER,
    TAG_NODE_NAME,
    TAG_PATH,
    TAG_OPTIONS,
};

struct Task {
    uint16_t nodeId = 3;
    uint32_t taskId = 0x70003014;
    uint64_t fileSize = 734003200;
    bool compress = true;
    uint64_t state = chs_bench::TASK_STATE_RUNNING;
    uint64_t createTime = 1765058259;
    std::string user = "admin";
    std::string nodeName = "ctrl-node-0A.enclosure-3";
    std::string path = "/var/log/chs/collect/diagnose_20261206_215739_0A.tar.gz";
    std::string options =
        "{\"type\":\"diagnose\",\"nodes\":[\"0A\",\"0B\"],\"level\":\"full\",\"compress\":true,"
        "\"deadline\":1765061859}";
};

const Task& TheTask() {
    static const Task task;
    return task;
}

void BuildRecord(MsgObject& body, const Task& task) {
    MsgRecord& record = body.AddRecord(kRecordCode);
    record.AppendUInt16(TAG_NODE_ID, task.nodeId);
    record.AppendUInt32(TAG_TASK_ID, task.taskId);
    record.AppendUInt64(TAG_FILE_SIZE, task.fileSize);
    record.AppendBool(TAG_COMPRESS, task.compress);
    record.AppendEnum(TAG_STATE, task.state);
    record.AppendNumber(CTLVCell::TLV_TIME, TAG_CREATE_TIME, task.createTime, 8);
    record.AppendString(TAG_USER, task.user);
    record.AppendString(TAG_NODE_NAME, task.nodeName);
    record.AppendString(TAG_PATH, task.path);
    record.AppendString(TAG_OPTIONS, task.options, CTLVCell::TLV_JSON_OBJECT);
}

void BuildRecordWithNew(MsgObject& body, const Task& task) {
    MsgRecord* record = new MsgRecord(kRecordCode);
    body.append(record);
    record->appendInner(CTLVCell::NewUInt16(TAG_NODE_ID, task.nodeId));
    record->appendInner(CTLVCell::NewUInt32(TAG_TASK_ID, task.taskId));
    record->appendInner(CTLVCell::NewUInt64(TAG_FILE_SIZE, task.fileSize));
    record->appendInner(CTLVCell::NewBool(TAG_COMPRESS, task.compress));
    record->appendInner(CTLVCell::NewEnum(TAG_STATE, task.state));
    record->appendInner(CTLVCell::NewNumber(CTLVCell::TLV_TIME, TAG_CREATE_TIME, task.createTime, 8));
    record->appendInner(CTLVCell::NewString(TAG_USER, task.user));
    record->appendInner(CTLVCell::NewString(TAG_NODE_NAME, task.nodeName));
    record->appendInner(CTLVCell::NewString(TAG_PATH, task.path));
    record->appendInner(CTLVCell::NewString(TAG_OPTIONS, task.options, CTLVCell::TLV_JSON_OBJECT));
}

void FillProto(chs_bench::CollectTask& message, const Task& task) {
    message.set_node_id(task.nodeId);
    message.set_task_id(task.taskId);
    message.set_file_size(task.fileSize);
    message.set_compress(task.compress);
    message.set_state(static_cast<chs_bench::TaskState>(task.state));
    message.set_create_time(task.createTime);
    message.set_user(task.user);
    message.set_node_name(task.nodeName);
    message.set_path(task.path);
    message.set_options_json(task.options);
}

std::vector<unsigned char> ChsWire() {
    MsgObject body;
    BuildRecord(body, TheTask());
    std::vector<unsigned char> wire(body.length());
    body.encode(wire.data(), static_cast<unsigned int>(wire.size()));
    return wire;
}

std::string ProtoWire() {
    chs_bench::CollectTask message;
    FillProto(message, TheTask());
    return message.SerializeAsString();
}

void ReadProto(const chs_bench::CollectTask& message) {
    benchmark::DoNotOptimize(message.node_id());
    benchmark::DoNotOptimize(message.task_id());
    benchmark::DoNotOptimize(message.file_size());
    benchmark::DoNotOptimize(message.compress());
    benchmark::DoNotOptimize(message.state());
    benchmark::DoNotOptimize(message.create_time());
    benchmark::DoNotOptimize(message.user().data());
    benchmark::DoNotOptimize(message.node_name().data());
    benchmark::DoNotOptimize(message.path().data());
    benchmark::DoNotOptimize(message.options_json().data());
}

// Build a record with `Build` into a reused body, encode it, clear the body.
template <void (*Build)(MsgObject&, const Task&)>
void EncodeLoop(benchmark::State& state) {
    const Task& task = TheTask();
    unsigned char buffer[512];
    MsgObject body;
    for (auto _ : state) {
        Build(body, task);
        unsigned int written = body.encode(buffer, sizeof(buffer));
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
        body.clear();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * ChsWire().size()));
}

void BM_Chs_Encode10(benchmark::State& state) { EncodeLoop<BuildRecord>(state); }
BENCHMARK(BM_Chs_Encode10);

void BM_Chs_EncodeNew10(benchmark::State& state) { EncodeLoop<BuildRecordWithNew>(state); }
BENCHMARK(BM_Chs_EncodeNew10);

void BM_Protobuf_Encode10(benchmark::State& state) {
    const Task& task = TheTask();
    unsigned char buffer[512];
    chs_bench::CollectTask message;
    for (auto _ : state) {
        FillProto(message, task);
        bool written = message.SerializeToArray(buffer, sizeof(buffer));
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * ProtoWire().size()));
}
BENCHMARK(BM_Protobuf_Encode10);

bool DecodeAndRead(MsgObject& body, const std::vector<unsigned char>& wire) {
    const unsigned int size = static_cast<unsigned int>(wire.size());
    if (body.decode(wire.data(), size) != size) {
        return false;
    }
    const MsgRecord& record = body[0];
    benchmark::DoNotOptimize(record[TAG_NODE_ID].GetUInt64());
    benchmark::DoNotOptimize(record[TAG_TASK_ID].GetUInt64());
    benchmark::DoNotOptimize(record[TAG_FILE_SIZE].GetUInt64());
    benchmark::DoNotOptimize(record[TAG_COMPRESS].GetBool());
    benchmark::DoNotOptimize(record[TAG_STATE].GetUInt64());
    benchmark::DoNotOptimize(record[TAG_CREATE_TIME].GetUInt64());
    benchmark::DoNotOptimize(static_cast<const char*>(record[TAG_USER]));
    benchmark::DoNotOptimize(static_cast<const char*>(record[TAG_NODE_NAME]));
    benchmark::DoNotOptimize(static_cast<const char*>(record[TAG_PATH]));
    benchmark::DoNotOptimize(record[TAG_OPTIONS].GetValue());
    return true;
}

void BM_Chs_Decode10(benchmark::State& state) {
    const std::vector<unsigned char> wire = ChsWire();
    MsgObject body;
    for (auto _ : state) {
        if (!DecodeAndRead(body, wire)) {
            state.SkipWithError("decode failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(BM_Chs_Decode10);

void BM_Chs_DecodeFresh10(benchmark::State& state) {
    const std::vector<unsigned char> wire = ChsWire();
    for (auto _ : state) {
        MsgObject body;
        if (!DecodeAndRead(body, wire)) {
            state.SkipWithError("decode failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(BM_Chs_DecodeFresh10);

void BM_Protobuf_Decode10(benchmark::State& state) {
    const std::string wire = ProtoWire();
    chs_bench::CollectTask message;
    for (auto _ : state) {
        message.Clear();
        if (!message.ParseFromArray(wire.data(), static_cast<int>(wire.size()))) {
            state.SkipWithError("parse failed");
            break;
        }
        ReadProto(message);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(BM_Protobuf_Decode10);

void BM_Protobuf_DecodeFresh10(benchmark::State& state) {
    const std::string wire = ProtoWire();
    for (auto _ : state) {
        chs_bench::CollectTask message;
        if (!message.ParseFromArray(wire.data(), static_cast<int>(wire.size()))) {
            state.SkipWithError("parse failed");
            break;
        }
        ReadProto(message);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(BM_Protobuf_DecodeFresh10);

}  // namespace

BENCHMARK_MAIN();
