#include "vserver/EmulatedKernel.h"

// sys/ioctl.h first: the OpenIPMI header uses its request macros.
#include <sys/ioctl.h>

#include <linux/ipmi.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "vserver/BmcTransport.h"
#include "vserver/VirtualServer.h"

static_assert(IPMICTL_SEND_COMMAND == 0x8028690D, "OpenIPMI send request number");
static_assert(IPMICTL_RECEIVE_MSG_TRUNC == 0xC030690B, "OpenIPMI receive request number");

namespace {

struct QueuedMessage {
    long msgid = 0;
    std::uint8_t netfn = 0;
    std::uint8_t cmd = 0;
    std::vector<std::uint8_t> data;
};

struct ModuleInfo {
    const char* name;
    const char* dependency;  // null: none
    int size;
    const char* builtinPath;
};

const ModuleInfo kKnownModules[] = {
    {"ipmi_msghandler", nullptr, 122880, "kernel/drivers/char/ipmi/ipmi_msghandler.ko"},
    {"ipmi_devintf", "ipmi_msghandler", 20480, "kernel/drivers/char/ipmi/ipmi_devintf.ko"},
    {"ipmi_si", "ipmi_msghandler", 77824, "kernel/drivers/char/ipmi/ipmi_si.ko"},
    {"usb_storage", nullptr, 81920, "kernel/drivers/usb/storage/usb-storage.ko"},
    {"sg", nullptr, 40960, "kernel/drivers/scsi/sg.ko"},
    {"sd_mod", nullptr, 61440, "kernel/drivers/scsi/sd_mod.ko"},
};

const ModuleInfo* knownModule(const std::string& name) {
    for (const auto& module : kKnownModules) {
        if (name == module.name) {
            return &module;
        }
    }
    return nullptr;
}

std::string moduleName(std::string name) {
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

// The argument of a module command: the first operand that is not an option.
std::string operand(const std::vector<std::string>& argv) {
    for (std::size_t i = 1; i < argv.size(); ++i) {
        if (!argv[i].empty() && argv[i][0] != '-') {
            return moduleName(argv[i]);
        }
    }
    return "";
}

}  // namespace

struct EmulatedKernel::State {
    std::mutex mutex;
    VirtualServer* server = nullptr;
    BmcTransport* controller = nullptr;
    // What a reset goes back to.
    struct Setup {
        std::map<std::string, bool> present;
        std::vector<std::string> loaded;
        std::set<std::string> builtin;
        std::set<std::string> modprobeFails;
        std::set<std::string> rmmodFails;
    };
    Setup initial;
    std::map<std::string, bool> present;
    std::vector<std::string> loaded;
    std::set<std::string> builtin;
    std::set<std::string> modprobeFails;
    std::set<std::string> rmmodFails;
    unsigned sendFailures = 0;
    int sendError = EIO;
    unsigned receiveFailures = 0;
    int receiveError = 0;
    unsigned lostResponses = 0;
    unsigned emptyResponses = 0;
    unsigned timeouts = 0;
    unsigned strayRequests = 0;
    unsigned straysPerRequest = 1;
    int nextFile = 1;
    unsigned openFiles = 0;
    std::vector<int> openFlags;
    std::vector<IpmiSentMessage> sent;
    std::vector<IpmiReceiveCall> receives;
    std::map<int, std::function<void()>> moduleListeners;
    int nextListener = 1;

    bool isLoaded(const std::string& name) const {
        return std::find(loaded.begin(), loaded.end(), name) != loaded.end();
    }

    bool deviceAvailable() const { return isLoaded("ipmi_devintf") && isLoaded("ipmi_si"); }

    // Loaded modules that name depends on.
    std::vector<std::string> users(const std::string& name) const {
        std::vector<std::string> result;
        for (const auto& other : loaded) {
            const ModuleInfo* info = knownModule(other);
            if (info && info->dependency && name == info->dependency) {
                result.push_back(other);
            }
        }
        return result;
    }

    // Open device files hold the character device and the interface driver.
    bool heldByDevice(const std::string& name) const {
        return openFiles > 0 && (name == "ipmi_devintf" || name == "ipmi_si");
    }

    void load(const std::string& name) {
        const ModuleInfo* info = knownModule(name);
        if (info && info->dependency && !isLoaded(info->dependency)) {
            loaded.push_back(info->dependency);
        }
        if (!isLoaded(name)) {
            loaded.push_back(name);
        }
    }

    void unload(const std::string& name) {
        loaded.erase(std::remove(loaded.begin(), loaded.end(), name), loaded.end());
    }
};

namespace {

using State = EmulatedKernel::State;

// One open file of the OpenIPMI device: its own queue of received messages.
class IpmiDeviceFile : public VirtualDevice {
public:
    IpmiDeviceFile(std::shared_ptr<State> state, int file)
        : state_(std::move(state)), file_(file) {}

    ~IpmiDeviceFile() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        --state_->openFiles;
    }

    int ioctl(unsigned long request, void* argument) override {
        switch (request) {
            case IPMICTL_SEND_COMMAND:
                return send(*static_cast<ipmi_req*>(argument));
            case IPMICTL_RECEIVE_MSG_TRUNC:
                return receive(*static_cast<ipmi_recv*>(argument), true);
            case IPMICTL_RECEIVE_MSG:
                return receive(*static_cast<ipmi_recv*>(argument), false);
            default:
                errno = ENOTTY;
                return -1;
        }
    }

    bool readable() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->timeouts > 0) {
            --state_->timeouts;
            return false;
        }
        return !queue_.empty();
    }

private:
    static int fail(int error) {
        errno = error;
        return -1;
    }

    int send(const ipmi_req& request) {
        if (request.addr_len > IPMI_MAX_ADDR_SIZE || !request.addr) {
            return fail(EINVAL);
        }
        if (request.msg.data_len > IPMI_MAX_MSG_LENGTH) {
            return fail(EMSGSIZE);
        }
        if (request.msg.data_len > 0 && !request.msg.data) {
            return fail(EFAULT);
        }
        ipmi_system_interface_addr address{};
        std::memcpy(&address, request.addr,
                    std::min<std::size_t>(sizeof(address), request.addr_len));
        if (request.addr_len < sizeof(address) ||
            address.addr_type != IPMI_SYSTEM_INTERFACE_ADDR_TYPE ||
            address.channel != IPMI_BMC_CHANNEL) {
            return fail(EINVAL);
        }
        IpmiRequest message;
        message.netfn = request.msg.netfn;
        message.cmd = request.msg.cmd;
        if (request.msg.data_len > 0) {
            message.data.assign(request.msg.data, request.msg.data + request.msg.data_len);
        }
        BmcTransport* controller = nullptr;
        unsigned strays = 0;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            if (state_->sendFailures > 0) {
                --state_->sendFailures;
                return fail(state_->sendError);
            }
            state_->sent.push_back({file_, address.addr_type, address.channel, address.lun,
                                    request.addr_len, request.msgid, message.netfn, message.cmd,
                                    request.msg.data_len, message.data});
            if (state_->lostResponses > 0) {
                --state_->lostResponses;
                return 0;
            }
            if (state_->strayRequests > 0) {
                --state_->strayRequests;
                strays = state_->straysPerRequest;
            }
            controller = state_->controller;
        }
        // The controller may act on the virtual host; the kernel lock is not held.
        std::optional<IpmiResponse> answer;
        if (controller) {
            answer = controller->exchange(message);
        }
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (answer && state_->emptyResponses > 0) {
            --state_->emptyResponses;
            answer->data.clear();
        }
        for (unsigned i = 0; i < strays; ++i) {
            queue_.push_back({request.msgid + 0x10000 + static_cast<long>(i),
                              static_cast<std::uint8_t>(message.netfn + 1),
                              message.cmd,
                              {0x00}});
        }
        if (answer) {
            queue_.push_back({request.msgid, answer->netfn, answer->cmd, answer->data});
        }
        return 0;
    }

    int receive(ipmi_recv& response, bool truncate) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->receives.push_back({file_, response.addr_len, response.msg.data_len});
        if (state_->receiveFailures > 0) {
            --state_->receiveFailures;
            return fail(state_->receiveError);
        }
        if (queue_.empty()) {
            return fail(EAGAIN);
        }
        const QueuedMessage& message = queue_.front();
        ipmi_system_interface_addr address{IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL, 0};
        if (!response.addr || response.addr_len < sizeof(address)) {
            return fail(EINVAL);
        }
        if (!response.msg.data && !message.data.empty()) {
            return fail(EFAULT);
        }
        bool fits = message.data.size() <= response.msg.data_len;
        if (!fits && !truncate) {
            return fail(EMSGSIZE);  // the message stays queued
        }
        std::memcpy(response.addr, &address, sizeof(address));
        response.addr_len = sizeof(address);
        response.recv_type = IPMI_RESPONSE_RECV_TYPE;
        response.msgid = message.msgid;
        response.msg.netfn = message.netfn;
        response.msg.cmd = message.cmd;
        std::size_t count = fits ? message.data.size() : response.msg.data_len;
        if (count > 0) {
            std::memcpy(response.msg.data, message.data.data(), count);
        }
        response.msg.data_len = static_cast<unsigned short>(count);
        queue_.pop_front();
        return fits ? 0 : fail(EMSGSIZE);
    }

    std::shared_ptr<State> state_;
    int file_;
    std::deque<QueuedMessage> queue_;
};

void refreshNodes(const std::shared_ptr<State>& state) {
    for (const auto& entry : state->present) {
        const std::string& path = entry.first;
        if (!entry.second || !state->deviceAvailable()) {
            state->server->removeDeviceNode(path);
            continue;
        }
        std::weak_ptr<State> weak = state;
        state->server->addDeviceNode(path, [weak](int flags) -> std::unique_ptr<VirtualDevice> {
            std::shared_ptr<State> shared = weak.lock();
            if (!shared) {
                errno = ENOENT;
                return nullptr;
            }
            std::lock_guard<std::mutex> lock(shared->mutex);
            ++shared->openFiles;
            shared->openFlags.push_back(flags);
            return std::make_unique<IpmiDeviceFile>(shared, shared->nextFile++);
        });
    }
}

// Tells the module listeners, without holding the kernel's lock.
void notifyListeners(State& state) {
    std::map<int, std::function<void()>> listeners;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        listeners = state.moduleListeners;
    }
    for (const auto& entry : listeners) {
        entry.second();
    }
}

std::string lsmodListing(const State& state) {
    std::string text = "Module                  Size  Used by\n";
    for (auto it = state.loaded.rbegin(); it != state.loaded.rend(); ++it) {
        const ModuleInfo* info = knownModule(*it);
        std::vector<std::string> users = state.users(*it);
        int count = static_cast<int>(users.size()) + (state.heldByDevice(*it) ? 1 : 0);
        std::string names;
        for (const auto& user : users) {
            names += (names.empty() ? "" : ",") + user;
        }
        char line[256];
        std::snprintf(line, sizeof(line), "%-19s %8d  %d %s\n", it->c_str(),
                      info ? info->size : 16384, count, names.c_str());
        text += line;
    }
    return text;
}

ShellResult modprobe(State& state, const std::string& name) {
    if (name.empty()) {
        return {1, "modprobe: ERROR: missing parameters.\n"};
    }
    if (state.modprobeFails.count(name)) {
        return {1, "modprobe: ERROR: could not insert '" + name + "': Operation not permitted\n"};
    }
    if (state.builtin.count(name)) {
        return {0, ""};
    }
    if (!knownModule(name) && !state.isLoaded(name)) {
        return {1, "modprobe: FATAL: Module " + name + " not found.\n"};
    }
    state.load(name);
    return {0, ""};
}

ShellResult rmmod(State& state, const std::string& name) {
    if (state.builtin.count(name)) {
        return {1, "rmmod: ERROR: Module " + name + " is builtin.\n"};
    }
    if (!state.isLoaded(name)) {
        return {1, "rmmod: ERROR: Module " + name + " is not currently loaded\n"};
    }
    std::vector<std::string> users = state.users(name);
    if (!users.empty() || state.heldByDevice(name) || state.rmmodFails.count(name)) {
        return {1, "rmmod: ERROR: Module " + name + " is in use\n"};
    }
    state.unload(name);
    return {0, ""};
}

}  // namespace

EmulatedKernel::EmulatedKernel(VirtualServer& server)
    : server_(server), state_(std::make_shared<State>()) {
    state_->server = &server;
    state_->loaded = {"ipmi_msghandler", "ipmi_devintf", "ipmi_si"};
    for (const auto& path : ipmiDevicePaths()) {
        state_->present[path] = path == "/dev/ipmi0";
    }
    refreshNodes(state_);
    registerPrograms();
}

EmulatedKernel::~EmulatedKernel() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->controller = nullptr;
}

const std::vector<std::string>& EmulatedKernel::ipmiDevicePaths() {
    static const std::vector<std::string> paths = {"/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"};
    return paths;
}

void EmulatedKernel::attachController(BmcTransport* controller) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->controller = controller;
}

void EmulatedKernel::setIpmiDevicePresent(const std::string& path, bool present) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->present[path] = present;
    refreshNodes(state_);
}

void EmulatedKernel::loadModule(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->load(moduleName(name));
        refreshNodes(state_);
    }
    notifyModuleListeners();
}

void EmulatedKernel::unloadModule(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->unload(moduleName(name));
        refreshNodes(state_);
    }
    notifyModuleListeners();
}

bool EmulatedKernel::isModuleLoaded(const std::string& name) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->isLoaded(moduleName(name));
}

bool EmulatedKernel::isModuleActive(const std::string& name) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::string module = moduleName(name);
    return state_->isLoaded(module) || state_->builtin.count(module) != 0;
}

int EmulatedKernel::addModuleListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->moduleListeners[state_->nextListener] = std::move(listener);
    return state_->nextListener++;
}

void EmulatedKernel::removeModuleListener(int token) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->moduleListeners.erase(token);
}

void EmulatedKernel::notifyModuleListeners() const {
    notifyListeners(*state_);
}

std::vector<std::string> EmulatedKernel::loadedModules() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->loaded;
}

std::string EmulatedKernel::builtinPath() const {
    struct utsname names;
    server_.uname(&names);
    return std::string("/lib/modules/") + names.release + "/modules.builtin";
}

void EmulatedKernel::setBuiltinModules(const std::vector<std::string>& names) {
    std::string content;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->builtin.clear();
        for (const auto& raw : names) {
            std::string name = moduleName(raw);
            state_->builtin.insert(name);
            const ModuleInfo* info = knownModule(name);
            content += info ? info->builtinPath : "kernel/drivers/misc/" + name + ".ko";
            content += "\n";
        }
    }
    server_.writeFile(builtinPath(), content);
    notifyModuleListeners();
}

void EmulatedKernel::setModprobeFails(const std::string& name, bool fails) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (fails) {
        state_->modprobeFails.insert(moduleName(name));
    } else {
        state_->modprobeFails.erase(moduleName(name));
    }
}

void EmulatedKernel::setRmmodFails(const std::string& name, bool fails) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (fails) {
        state_->rmmodFails.insert(moduleName(name));
    } else {
        state_->rmmodFails.erase(moduleName(name));
    }
}

void EmulatedKernel::failSends(unsigned count, int error) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->sendFailures = count;
    state_->sendError = error;
}

void EmulatedKernel::failReceives(unsigned count, int error) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->receiveFailures = count;
    state_->receiveError = error;
}

void EmulatedKernel::loseResponses(unsigned count) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->lostResponses = count;
}

void EmulatedKernel::emptyResponses(unsigned count) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->emptyResponses = count;
}

void EmulatedKernel::injectTimeouts(unsigned count) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->timeouts = count;
}

void EmulatedKernel::injectStrayResponses(unsigned count, unsigned strays) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->strayRequests = count;
    state_->straysPerRequest = strays;
}

void EmulatedKernel::clearRecord() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->sent.clear();
    state_->receives.clear();
    state_->openFlags.clear();
}

void EmulatedKernel::markInitial() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    State& state = *state_;
    state.initial = State::Setup{state.present, state.loaded, state.builtin, state.modprobeFails,
                                 state.rmmodFails};
}

void EmulatedKernel::reset() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        State& state = *state_;
        state.present = state.initial.present;
        state.loaded = state.initial.loaded;
        state.builtin = state.initial.builtin;
        state.modprobeFails = state.initial.modprobeFails;
        state.rmmodFails = state.initial.rmmodFails;
        state.sendFailures = 0;
        state.sendError = EIO;
        state.receiveFailures = 0;
        state.receiveError = 0;
        state.lostResponses = 0;
        state.emptyResponses = 0;
        state.timeouts = 0;
        state.strayRequests = 0;
        state.straysPerRequest = 1;
        state.sent.clear();
        state.receives.clear();
        state.openFlags.clear();
    }
    refreshNodes(state_);
    notifyModuleListeners();
}

std::vector<IpmiSentMessage> EmulatedKernel::sentMessages() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->sent;
}

std::vector<IpmiReceiveCall> EmulatedKernel::receiveCalls() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->receives;
}

std::vector<int> EmulatedKernel::openFlags() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->openFlags;
}

unsigned EmulatedKernel::openFiles() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->openFiles;
}

void EmulatedKernel::registerPrograms() {
    std::shared_ptr<State> state = state_;
    VirtualShell& shell = server_.shell();
    // Runs a module command under the kernel's lock, then tells the listeners.
    auto moduleCommand = [state](ShellResult (*command)(State&, const std::string&)) {
        return [state, command](const std::vector<std::string>& argv, const std::string&) {
            ShellResult result;
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                result = command(*state, operand(argv));
                refreshNodes(state);
            }
            notifyListeners(*state);
            return result;
        };
    };
    shell.addProgram("lsmod", [state](const std::vector<std::string>&, const std::string&) {
        std::lock_guard<std::mutex> lock(state->mutex);
        return ShellResult{0, lsmodListing(*state)};
    });
    shell.addProgram("modprobe", moduleCommand(modprobe));
    shell.addProgram("rmmod", moduleCommand(rmmod));
    if (!shell.hasProgram("uname")) {
        VirtualServer* server = &server_;
        shell.addProgram(
            "uname", [server](const std::vector<std::string>& argv, const std::string&) {
                struct utsname names;
                server->uname(&names);
                bool release = argv.size() > 1 && argv[1] == "-r";
                return ShellResult{0, std::string(release ? names.release : names.sysname) + "\n"};
            });
    }
}
