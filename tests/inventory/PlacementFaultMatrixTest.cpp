// Every controller command of one placement of two files, refused, pending
// to the poll limit and unanswered: whatever the outcome, the controller is
// left with no drop box, nothing attached and no open session, the host with
// no mount; and a placement that reports success placed both files intact.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>

#include "baseutils/Logger.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"
#include "tests/support/ControllerCommands.h"
#include "tests/support/TestSupport.h"
#include "vserver/Md5Digest.h"
#include "vserver/SimulatedServer.h"
#include "vserver/TempDirectory.h"

namespace {

constexpr int kDriverStoreSlot = 4;  // VSK021

struct CommandCall {
    CommandKey key;
    unsigned callNumber;
};

CommandKey keyOf(const IpmiRequest& request) {
    CommandKey key{request.netfn, request.cmd, -1};
    if (request.netfn == 0x30 && request.cmd == 0xA2 && !request.data.empty()) {
        key.sub = request.data[0];
    }
    return key;
}

std::string describe(const CommandCall& call) {
    char text[64];
    std::snprintf(text, sizeof(text), "netfn 0x%02x cmd 0x%02x sub %d call %u", call.key.netfn,
                  call.key.cmd, call.key.sub, call.callNumber);
    return text;
}

struct Placed {
    bool succeeded = false;
    unsigned char error = 0;
};

cfgEntry fileCopy(SimulatedServer& server, const std::string& name, std::size_t size) {
    std::string path = "/payload/" + name;
    server.host().writeFile(path, std::string(size, name[0]));
    cfgEntry entry;
    entry.mode = EXML_FILECOPY;
    entry.digest = DIGEST_MD5;
    entry.source = path;
    entry.destination = "21/fw/" + name;
    entry.fileSize = size;
    entry.hash = md5FileText(server.host().resolve(path));
    entry.targetPartition = 21;
    return entry;
}

// One placement of two files as the command line runs it: start-up, the
// copy and its verification, the layer's end.
Placed placeTwoFiles(SimulatedServer& server) {
    GenerationType = -1;
    for (spartInfo& row : veskPartInfo) {
        row.mountPoint.clear();
        row.attachMask = 0;
        row.present = 0;
    }
    Placed placed;
    auto layer = std::make_unique<secureVesk>();
    if (layer->layerReady && layer->secureVeskInit() == 1 && layer->StartCopyFile()) {
        layer->exchangeFiles.push_back(fileCopy(server, "a.bin", 3000));
        layer->exchangeFiles.push_back(fileCopy(server, "b.bin", 70000));
        placed.succeeded = layer->CompleteCopyFile();
    }
    placed.error = layer->getQuibError();
    return placed;
}

using Injection = std::function<void(SimulatedServer&)>;

// A fresh default server with the fault, in a fresh working directory.
template <typename Body>
void scene(const Injection& inject, Body&& body) {
    ScopedWorkingDirectory run;
    copyDataFiles(run.path());
    CLogger::GetInstance()->Close();
    SimulatedServer server(loadServerDescription(bundledServersDirectory() + "/default.xml"));
    inject(server);
    body(server);
}

std::vector<CommandCall> commandsOfACleanPlacement() {
    std::vector<CommandCall> calls;
    scene([](SimulatedServer&) {},
          [&](SimulatedServer& server) {
              EXPECT_TRUE(placeTwoFiles(server).succeeded);
              std::map<CommandKey, unsigned> seen;
              for (const RecordedExchange& exchange : server.controller().exchanges()) {
                  CommandKey key = keyOf(exchange.request);
                  calls.push_back({key, ++seen[key]});
              }
          });
    return calls;
}

}  // namespace

TEST(PlacementFaultMatrixTest, EveryControllerCommandRefusedPendingOrSilentLeavesNothingBehind) {
    std::vector<CommandCall> calls = commandsOfACleanPlacement();
    ASSERT_GT(calls.size(), 20u);
    const struct {
        const char* name;
        Behaviour behaviour;
    } modes[] = {
        {"refused", Behaviour::code(0xCC)},
        {"pending", Behaviour::pending(3000)},
        {"silent", Behaviour::silent()},
    };
    for (const CommandCall& call : calls) {
        for (const auto& mode : modes) {
            SCOPED_TRACE(describe(call) + " " + mode.name);
            scene(
                [&](SimulatedServer& s) {
                    s.controller().script().onCall(call.key, call.callNumber, mode.behaviour);
                },
                [&](SimulatedServer& server) {
                    Placed placed = placeTwoFiles(server);
                    ManagementController& controller = server.controller();
                    EXPECT_EQ(0, controller.storage().dynamicBitmap());
                    EXPECT_EQ(0, controller.storage().attachedMask(true));
                    EXPECT_EQ(0, controller.storage().attachedMask(false));
                    EXPECT_FALSE(controller.sessionOpen());
                    EXPECT_TRUE(server.mounts().mounts().empty());
                    if (!placed.succeeded) {
                        EXPECT_NE(0, placed.error);
                        return;
                    }
                    for (const char* name : {"fw/a.bin", "fw/b.bin"}) {
                        EXPECT_TRUE(controller.readPartitionFile(false, kDriverStoreSlot, name))
                            << name;
                    }
                });
        }
    }
}
