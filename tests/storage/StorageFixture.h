#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "storage/IPMIRequest.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"
#include "tests/support/TestSupport.h"
#include "vserver/EmulatedKernel.h"
#include "vserver/HostPrograms.h"
#include "vserver/ManagementController.h"
#include "vserver/ServerDescription.h"
#include "vserver/SimulatedServer.h"
#include "vserver/VirtualServer.h"

using Bytes = std::vector<std::uint8_t>;

// A storage layer object talking to the controller model of the bundled
// default server through the IPMI library and the emulated OpenIPMI device.
class StorageTest : public ::testing::Test {
protected:
    StorageTest() {
        copyDataFiles(cwd.path());
        writeTextFile("zebdebuglog", "");
        GenerationType = -1;
        resetCatalogue();
    }

    ~StorageTest() override {
        vesk.reset();
        GenerationType = -1;
        resetCatalogue();
    }

    // Builds the storage layer object and forgets what start-up sent.
    secureVesk& layer() {
        vesk.reset();  // one object at a time: they share the log and the library
        vesk = std::make_unique<secureVesk>();
        controller.clearRecord();
        server.clock().clearSleeps();
        return *vesk;
    }

    // The storage layer object after its start-up (session, catalogue).
    secureVesk& initialised() {
        secureVesk& object = layer();
        EXPECT_EQ(1, object.secureVeskInit());
        controller.clearRecord();
        server.clock().clearSleeps();
        return object;
    }

    secureVesk& layerWithSession() {
        secureVesk& object = layer();
        EXPECT_EQ(1, object.BeginVeskSessionExtended(1200));
        controller.clearRecord();
        server.clock().clearSleeps();
        return object;
    }

    static void resetCatalogue() {
        for (spartInfo& row : veskPartInfo) {
            row.mountPoint.clear();
            row.attachMask = 0;
            row.present = 0;
        }
    }

    // Fills request bytes of IPMIReqBuf after clearing it; byte 0 is left to
    // IPMIRequest.
    static void request(std::initializer_list<std::pair<unsigned, unsigned char>> bytes) {
        clearRecord(IPMIReqBuf);
        for (const auto& [k, value] : bytes) {
            requestByte(IPMIReqBuf, k) = value;
        }
    }

    // Clears IPMIReqBuf and puts the session handle in request bytes 1-2.
    void requestWithHandle() const {
        clearRecord(IPMIReqBuf);
        requestByte(IPMIReqBuf, 1) = static_cast<unsigned char>(vesk->session.veskHandle & 0xFF);
        requestByte(IPMIReqBuf, 2) = static_cast<unsigned char>(vesk->session.veskHandle >> 8);
    }

    Bytes handleBytes() const {
        return {static_cast<std::uint8_t>(vesk->session.veskHandle & 0xFF),
                static_cast<std::uint8_t>(vesk->session.veskHandle >> 8)};
    }

    std::size_t sleepsOf(std::uint64_t milliseconds) {
        const auto& sleeps = server.clock().sleeps();
        return static_cast<std::size_t>(std::count(sleeps.begin(), sleeps.end(), milliseconds));
    }

    // Sleeps of the layer, without the library's short retry pauses.
    std::vector<std::uint64_t> longSleeps() {
        std::vector<std::uint64_t> result;
        for (std::uint64_t sleep : server.clock().sleeps()) {
            if (sleep >= 1000) {
                result.push_back(sleep);
            }
        }
        return result;
    }

    std::string log() const { return readTextFile(cwd.path() + "/QUIB_DBG.log"); }

    static ServerDescription defaultServer() {
        return loadServerDescription(bundledServersDirectory() + "/default.xml");
    }

    SimulatedServer simulated{defaultServer()};
    VirtualServer& server = simulated.host();
    ManagementController& controller = simulated.controller();
    EmulatedKernel& kernel = simulated.kernel();
    HostServices& services = simulated.services();
    ScopedWorkingDirectory cwd;
    std::unique_ptr<secureVesk> vesk;
};
