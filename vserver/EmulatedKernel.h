#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class BmcTransport;
class VirtualServer;

// What the kernel saw of one IPMICTL_SEND_COMMAND that it accepted.
struct IpmiSentMessage {
    int file = 0;  // which open of the device sent it (1 = first open)
    int addrType = 0;
    int channel = 0;
    int lun = 0;
    unsigned int addrLen = 0;
    long msgid = 0;
    std::uint8_t netfn = 0;
    std::uint8_t cmd = 0;
    unsigned int dataLen = 0;
    std::vector<std::uint8_t> data;
};

// What the caller offered to one IPMICTL_RECEIVE_MSG_TRUNC.
struct IpmiReceiveCall {
    int file = 0;
    unsigned int addrLen = 0;
    unsigned int dataRoom = 0;  // msg.data_len as given by the caller
};

// The kernel side of the virtual server: the OpenIPMI character device and
// the module set that lsmod, modprobe and rmmod see and change. Registers its
// device nodes and shell programs with the server it is built on.
//
// By default the three IPMI modules are loaded and "/dev/ipmi0" is present.
// A device node exists only while it is marked present and both ipmi_devintf
// and ipmi_si are loaded, as on a real host.
class EmulatedKernel {
public:
    explicit EmulatedKernel(VirtualServer& server);
    ~EmulatedKernel();
    EmulatedKernel(const EmulatedKernel&) = delete;
    EmulatedKernel& operator=(const EmulatedKernel&) = delete;

    // The paths where distributions put the OpenIPMI device.
    static const std::vector<std::string>& ipmiDevicePaths();

    // Every request sent to the device goes to controller (not owned; null:
    // nothing answers).
    void attachController(BmcTransport* controller);

    void setIpmiDevicePresent(const std::string& path, bool present);

    // Modules. Names use "_" ("usb-storage" is taken as "usb_storage").
    void loadModule(const std::string& name);
    void unloadModule(const std::string& name);
    bool isModuleLoaded(const std::string& name) const;
    // Loaded or built into the kernel: the driver works.
    bool isModuleActive(const std::string& name) const;
    std::vector<std::string> loadedModules() const;  // in load order
    // Modules built into the kernel: written to
    // /lib/modules/<release>/modules.builtin.
    void setBuiltinModules(const std::vector<std::string>& names);
    // Scripted failures of the shell programs for one module (exit code 1).
    void setModprobeFails(const std::string& name, bool fails);
    void setRmmodFails(const std::string& name, bool fails);
    // Called, without the kernel's lock, after the module set may have
    // changed; returns a token for removeModuleListener.
    int addModuleListener(std::function<void()> listener);
    void removeModuleListener(int token);

    // Faults of the IPMI device, each for the next count occurrences.
    void failSends(unsigned count, int error = EIO);
    void failReceives(unsigned count, int error);
    // The answers to the next count requests never arrive.
    void loseResponses(unsigned count);
    // The answers to the next count requests arrive without any data, not
    // even a completion code.
    void emptyResponses(unsigned count);
    // The next count readiness waits see nothing, though an answer may wait.
    void injectTimeouts(unsigned count);
    // Before the answer to each of the next count requests, stray responses
    // with other message ids arrive.
    void injectStrayResponses(unsigned count, unsigned strays = 1);

    std::vector<IpmiSentMessage> sentMessages() const;
    std::vector<IpmiReceiveCall> receiveCalls() const;
    unsigned openFiles() const;          // device files open now
    std::vector<int> openFlags() const;  // flags of every open of the device, in order
    // Forgets the sent messages, receive calls and opens seen so far.
    void clearRecord();
    // What reset goes back to: the modules, devices and scripted programs of now.
    void markInitial();
    // The modules and devices of the mark, no fault, nothing recorded.
    void reset();

    struct State;

private:
    void registerPrograms();
    void notifyModuleListeners() const;
    std::string builtinPath() const;

    VirtualServer& server_;
    std::shared_ptr<State> state_;
};
