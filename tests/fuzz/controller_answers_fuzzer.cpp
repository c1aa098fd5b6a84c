// The command layer and the IPMI device processor against a controller
// whose every answer comes from the input, on a whole virtual server in
// virtual time, built once and reset between inputs. Per request the input gives a control byte
// (silence, stray responses with other message ids before the next answer, a long answer), the
// answer's length and its bytes, completion code first. Once the input is spent every request is
// refused, so each run comes to an end.
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"
#include "tests/fuzz/FuzzSupport.h"
#include "vserver/BmcTransport.h"
#include "vserver/ServerDescription.h"
#include "vserver/SimulatedServer.h"

namespace {

constexpr std::uint8_t kInvalidCommand = 0xC1;
constexpr std::uint8_t kSilent = 0x01;
constexpr std::uint8_t kStrays = 0x02;
constexpr std::uint8_t kLong = 0x04;

class FuzzedController : public BmcTransport {
public:
    FuzzedController(FuzzBytes& bytes, EmulatedKernel& kernel) : bytes_(bytes), kernel_(kernel) {}

    std::optional<IpmiResponse> exchange(const IpmiRequest& request) override {
        IpmiResponse response;
        response.netfn = static_cast<std::uint8_t>(request.netfn + 1);
        response.cmd = request.cmd;
        if (bytes_.empty()) {
            response.data = {kInvalidCommand};
            return response;
        }
        std::uint8_t control = bytes_.byte();
        if (control & kStrays) {
            kernel_.injectStrayResponses(1, 1 + (control >> 6));
        }
        if (control & kSilent) {
            return std::nullopt;
        }
        std::size_t length = bytes_.byte();
        if (control & kLong) {
            length += 200;  // beyond what the device's receive buffer takes
        }
        for (std::size_t i = 0; i < length; ++i) {
            response.data.push_back(bytes_.byte());
        }
        return response;
    }

private:
    FuzzBytes& bytes_;
    EmulatedKernel& kernel_;
};

// Writes down what the bundled default controller answers, in the input's
// form: the seed of the corpus comes from a real exchange.
class RecordingController : public BmcTransport {
public:
    RecordingController(BmcTransport& real, std::string& seed) : real_(real), seed_(seed) {}

    std::optional<IpmiResponse> exchange(const IpmiRequest& request) override {
        std::optional<IpmiResponse> response = real_.exchange(request);
        if (!response) {
            seed_.push_back(static_cast<char>(kSilent));
            return response;
        }
        std::size_t length = response->data.size();
        bool longAnswer = length > 255;
        seed_.push_back(static_cast<char>(longAnswer ? kLong : 0));
        seed_.push_back(static_cast<char>(longAnswer ? length - 200 : length));
        seed_.append(response->data.begin(), response->data.end());
        return response;
    }

private:
    BmcTransport& real_;
    std::string& seed_;
};

const ServerDescription& description() {
    static const ServerDescription* loaded = new ServerDescription(
        loadServerDescription(std::string(INVENTORY_SOURCE_DIR) + "/vserver/servers/default.xml"));
    return *loaded;
}

void resetCatalogue() {
    for (spartInfo& row : veskPartInfo) {
        row.mountPoint.clear();
        row.attachMask = 0;
        row.present = 0;
    }
}

// The commands of the layer that need no presented disk.
void runCommandLayer() {
    GenerationType = -1;
    resetCatalogue();
    {
        secureVesk layer;
        if (layer.layerReady && layer.secureVeskInit() && layer.layerReady) {
            std::uint64_t granted = 0;
            if (layer.CreateDropBox(dynDriveName, 1 << 20, &granted)) {
                layer.SecureVeskCopy(layer.session, "0123456789abcdef0123456789abcdef", 0);
                layer.DeleteDropBox(0);
            }
            unsigned char flag = 0;
            layer.getStateFlag(flag);
            layer.isDepCheckSupported();
        }
    }
}

}  // namespace

// FUZZ_WRITE_SEED=FILE: record the default controller's answers to FILE
// and stop.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* seedPath = std::getenv("FUZZ_WRITE_SEED");
    if (seedPath == nullptr) {
        return 0;
    }
    fuzzHost();
    std::string seed;
    {
        SimulatedServer server(description());
        RecordingController recorder(server.controller(), seed);
        server.kernel().attachController(&recorder);
        runCommandLayer();
        server.kernel().attachController(nullptr);
    }
    writeInputFile(seedPath, reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size());
    std::exit(0);
}

// One server for the whole process, put back to a new one's state after
// each input (within it, so that the input frees what it took): building
// and removing a server took most of every run.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzHost();
    static SimulatedServer* server = new SimulatedServer(description());
    FuzzBytes bytes(data, size);
    FuzzedController controller(bytes, server->kernel());
    server->kernel().attachController(&controller);
    runCommandLayer();
    server->kernel().attachController(nullptr);
    server->reset();
    return 0;
}
