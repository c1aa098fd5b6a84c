// The IPMI transport's cost per command against the emulated OpenIPMI
// device: a bare send, select and receive, the IPMI library's request, and
// the storage layer's command wrapper, each with every log off and on. The
// controller model's work is the same in all of them.
#include <benchmark/benchmark.h>
#include <sys/ioctl.h>

#include <linux/ipmi.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "baseutils/KvoLogger.h"
#include "kvoipmi/KvoIPMIInterfaceImpl.h"
#include "kvoipmi/KvoIPMISession.h"
#include "kvoipmi/KvoIPMISessionHandler.h"
#include "storage/IPMIRequest.h"
#include "storage/VeskLog.h"
#include "vserver/SimulatedServer.h"
#include "vserver/TempDirectory.h"

namespace {

constexpr unsigned char kOemNetFn = 0x30;
constexpr unsigned char kStorageType = 0xAD;
// The model records every exchange; forgotten now and then so that memory
// stays flat.
constexpr int kForgetEvery = 4096;

// A default server in a working directory of its own, with the logs on or
// off.
class Bench {
public:
    explicit Bench(bool logs) : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(directory_.path());
        if (logs) {
            std::FILE* marker = std::fopen("zebdebuglog", "w");
            std::fclose(marker);
        }
        server_ = std::make_unique<SimulatedServer>(
            loadServerDescription(INVENTORY_SOURCE_DIR "/vserver/servers/default.xml"));
    }
    ~Bench() {
        server_.reset();
        KvoIPMISessionHandler::DestroyInstance();
        KvoLogger::Terminate();
        std::filesystem::current_path(previous_);
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    void forget(std::int64_t iteration) {
        if (iteration % kForgetEvery == 0) {
            server_->controller().clearRecord();
            server_->kernel().clearRecord();
        }
    }

private:
    std::filesystem::path previous_;
    TempDirectory directory_{"transport"};
    std::unique_ptr<SimulatedServer> server_;
};

void bareLoop(benchmark::State& state) {
    Bench bench(state.range(0) != 0);
    int fd = hostPort().open("/dev/ipmi0", O_RDWR);
    ipmi_system_interface_addr address{IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL, 0};
    unsigned char data[2] = {0, 0};
    unsigned char answer[256];
    ipmi_addr from{};
    long id = 0;
    std::int64_t iteration = 0;
    for (auto _ : state) {
        ipmi_req request{};
        request.addr = reinterpret_cast<unsigned char*>(&address);
        request.addr_len = sizeof(address);
        request.msgid = ++id;
        request.msg.netfn = kOemNetFn;
        request.msg.cmd = kStorageType;
        request.msg.data = data;
        request.msg.data_len = sizeof(data);
        hostPort().ioctl(fd, IPMICTL_SEND_COMMAND, &request);
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(fd, &ready);
        timeval timeout{20, 0};
        hostPort().select(fd + 1, &ready, nullptr, nullptr, &timeout);
        ipmi_recv response{};
        response.addr = reinterpret_cast<unsigned char*>(&from);
        response.addr_len = sizeof(from);
        response.msg.data = answer;
        response.msg.data_len = sizeof(answer);
        hostPort().ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &response);
        benchmark::DoNotOptimize(answer[0]);
        bench.forget(++iteration);
    }
    hostPort().close(fd);
}

void libraryRequest(benchmark::State& state) {
    Bench bench(state.range(0) != 0);
    KvoIPMIInterfaceImpl library;
    library.Initialize(static_cast<const _KvoIPMIConfiguration*>(nullptr));
    std::int64_t iteration = 0;
    for (auto _ : state) {
        _KvoIPMICommandData record{};
        record.requestBuffer[0] = kOemNetFn;
        record.requestBuffer[1] = kStorageType;
        record.requestLength = 4;
        record.responseLength = 6;
        benchmark::DoNotOptimize(library.IPMIRequest(&record));
        bench.forget(++iteration);
    }
    library.Release();
}

void storageWrapper(benchmark::State& state) {
    Bench bench(state.range(0) != 0);
    if (state.range(0) != 0) {
        enableVeskLog();
    }
    InitKvoIPMILibrary();
    std::int64_t iteration = 0;
    for (auto _ : state) {
        clearRecord(IPMIReqBuf);
        benchmark::DoNotOptimize(OEMIPMIRequest(OEM_VESK_TYPE, 0x00, &IPMIReqBuf, 4, 6));
        bench.forget(++iteration);
    }
    ReleaseKvoIPMILibrary();
    disableVeskLog();
}

}  // namespace

// Argument: 0 every log off, 1 every log on.
BENCHMARK(bareLoop)->Arg(0)->Arg(1);
BENCHMARK(libraryRequest)->Arg(0)->Arg(1);
BENCHMARK(storageWrapper)->Arg(0)->Arg(1);

BENCHMARK_MAIN();
