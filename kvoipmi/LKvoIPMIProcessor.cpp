#include "kvoipmi/LKvoIPMIProcessor.h"

#include <fcntl.h>
// sys/ioctl.h first: the OpenIPMI header uses its request macros.
#include <sys/ioctl.h>

#include <linux/ipmi.h>
#include <sys/select.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "baseutils/HostPort.h"
#include "baseutils/KvoLogger.h"
#include "kvoipmi/CKvoIPMICommandData.h"
#include "kvoipmi/KvoIPMICommandData.h"

static_assert(IPMICTL_SEND_COMMAND == 0x8028690D, "OpenIPMI send request number");
static_assert(IPMICTL_RECEIVE_MSG_TRUNC == 0xC030690B, "OpenIPMI receive request number");
static_assert(sizeof(ipmi_system_interface_addr) == 8, "system interface address length");

namespace {

// Shared by every processor of the process; ids stay distinct across threads.
std::atomic<unsigned int> gnMsgID{1};

constexpr int kOpenPasses = 5;
constexpr unsigned int kAddressLength = 8;
constexpr unsigned short kResponseDataRoom = KVO_IPMI_MAX_BUFFER_LENGTH - 2;
constexpr long kSelectSeconds = 20;
constexpr long kSelectMicroseconds = 60;

}  // namespace

void sleep_in_ms(unsigned long long milliseconds) {
    hostPort().sleepMilliseconds(
        static_cast<unsigned int>(milliseconds > UINT_MAX ? UINT_MAX : milliseconds));
}

const std::vector<std::string>& IPMIProcessor::DevicePaths() {
    static const std::vector<std::string> paths = {"/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"};
    return paths;
}

IPMIProcessor::IPMIProcessor() : mDescriptor(0) {}

IPMIProcessor::~IPMIProcessor() {
    Release();
}

unsigned int IPMIProcessor::Initialize() {
    for (int passesLeft = kOpenPasses; passesLeft > 0; --passesLeft) {
        for (const std::string& device : DevicePaths()) {
            const char* path = device.c_str();
            KVO_LOG(KvoLogInfo, "Open IPMI device : %s", path);
            // Close-on-exec: the shell commands run later must not inherit it.
            mDescriptor = hostPort().open(path, O_RDWR | O_CLOEXEC);
            if (mDescriptor >= 0) {
                KVO_LOG(KvoLogInfo, "File Descriptor Value %d", mDescriptor);
                return KVO_IPMI_PROCESSOR_SUCCESS;
            }
            int error = errno;
            KVO_LOG(KvoLogInfo, "Errno: %d, %s, open failed for device: %s", error,
                    std::strerror(error), path);
        }
        KVO_LOG(KvoLogInfo, "Can't Open any IPMI Device, retries left : %d\n", passesLeft);
        hostPort().sleepSeconds(1);
    }
    std::fputs("Can't open IPMI device\n", stderr);
    return KVO_IPMI_PROCESSOR_FAILURE;
}

void IPMIProcessor::Release() {
    if (mDescriptor > 0) {
        hostPort().close(mDescriptor);
    }
    mDescriptor = 0;
}

unsigned int IPMIProcessor::Process(CKvoIPMICommandData& command) {
    ipmi_system_interface_addr address;
    unsigned char receiveAddress[kAddressLength];
    ipmi_req request;
    ipmi_recv response;
    std::memset(&address, 0, sizeof(address));
    std::memset(receiveAddress, 0, sizeof(receiveAddress));
    std::memset(&request, 0, sizeof(request));
    std::memset(&response, 0, sizeof(response));
    LogIPMIResponse(command);

    unsigned int requestLength = command.GetRequestBufferLength();
    unsigned char* requestBytes = command.GetRequestBufferData();
    unsigned char* responseBytes = command.GetResponseBufferData(0);
    // A length outside the buffer would make the kernel read past it; and a
    // descriptor beyond FD_SETSIZE cannot be waited for with select.
    if (requestLength < 2 || requestLength > KVO_IPMI_MAX_BUFFER_LENGTH || mDescriptor < 0 ||
        mDescriptor >= FD_SETSIZE) {
        KVO_LOG(KvoLogInfo, "Invalid IPMI request length %u or descriptor %d", requestLength,
                mDescriptor);
        return KVO_IPMI_PROCESSOR_FAILURE;
    }

    address.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
    address.channel = IPMI_BMC_CHANNEL;
    address.lun = 0;
    unsigned int messageId = gnMsgID.fetch_add(1);
    request.addr = reinterpret_cast<unsigned char*>(&address);
    request.addr_len = kAddressLength;
    request.msgid = static_cast<long>(messageId);
    request.msg.netfn = requestBytes[0];
    request.msg.cmd = requestBytes[1];
    request.msg.data_len = static_cast<unsigned short>(requestLength - 2);
    request.msg.data = requestBytes + 2;

    if (hostPort().ioctl(mDescriptor, IPMICTL_SEND_COMMAND, &request) < 0) {
        responseBytes[2] = 0x01;
        return KVO_IPMI_PROCESSOR_FAILURE;
    }

    unsigned int retryInterval = command.GetRetryInterval();
    for (unsigned int attempt = 1;; ++attempt) {
        if (attempt > command.GetRetryCount()) {
            return KVO_IPMI_PROCESSOR_FAILURE;
        }
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(mDescriptor, &readSet);
        timeval timeout{kSelectSeconds, kSelectMicroseconds};
        int ready = hostPort().select(mDescriptor + 1, &readSet, nullptr, nullptr, &timeout);
        if (ready <= 0) {
            KVO_LOG(KvoLogInfo,
                    "IPMI Driver Not available for Receiving IPMI Command response for  %d time\n",
                    attempt);
            sleep_in_ms(retryInterval);
            continue;
        }
        if (!FD_ISSET(mDescriptor, &readSet)) {
            continue;
        }
        response.addr = receiveAddress;
        response.addr_len = kAddressLength;
        response.msg.data = responseBytes + 2;
        response.msg.data_len = kResponseDataRoom;
        if (hostPort().ioctl(mDescriptor, IPMICTL_RECEIVE_MSG_TRUNC, &response) < 0) {
            int error = errno;
            if (error == EMSGSIZE) {
                responseBytes[0] = response.msg.netfn;
                responseBytes[1] = response.msg.cmd;
                responseBytes[2] = 0x10;
                KVO_LOG(KvoLogInfo,
                        "Overurn of data and Error in ioctl IPMICTL_RECEIVE_MSG_TRUNC and last "
                        "error is %d: \n",
                        error);
                return KVO_IPMI_PROCESSOR_FAILURE;
            }
            KVO_LOG(KvoLogInfo,
                    "Error in ioctl IPMICTL_RECEIVE_MSG_TRUNC and last error is %d:", error);
            sleep_in_ms(retryInterval);
            continue;
        }
        if (response.msgid != static_cast<long>(messageId)) {
            KVO_LOG(KvoLogInfo, "Mismatch in message id for id number %d", messageId);
            continue;
        }
        // An answer without a completion code says nothing: whatever lies in
        // the buffer is not the controller's verdict.
        if (response.msg.data_len == 0) {
            KVO_LOG(KvoLogInfo, "No completion code in the response for id number %d", messageId);
            sleep_in_ms(retryInterval);
            continue;
        }
        responseBytes[0] = response.msg.netfn;
        responseBytes[1] = response.msg.cmd;
        command.SetResponseBufferLength(static_cast<unsigned int>(response.msg.data_len) + 2);
        return KVO_IPMI_PROCESSOR_SUCCESS;
    }
}

IIPMICommandProcessor* IPMICommandProcessorCreator::Create() {
    auto processor = std::make_unique<IPMIProcessor>();
    if (processor->Initialize() != KVO_IPMI_PROCESSOR_SUCCESS) {
        return nullptr;
    }
    return processor.release();
}
