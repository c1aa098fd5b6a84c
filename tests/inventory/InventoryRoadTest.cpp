#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "baseutils/Logger.h"
#include "inventory/InvHelper.h"
#include "inventory/Stage_IPMIInventory.h"
#include "storage/IPMIRequest.h"
#include "storage/SecureVesk.h"
#include "storage/StorageRoadLock.h"
#include "storage/partitions/VeskPartInfo.h"
#include "tests/support/ControllerCommands.h"
#include "tests/support/TestSupport.h"
#include "vserver/SimulatedServer.h"

namespace {

void release(std::vector<CDeviceInfo*>& devices) {
    std::set<CDeviceInfo*> distinct(devices.begin(), devices.end());
    for (CDeviceInfo* record : distinct) {
        delete record;
    }
    devices.clear();
}

struct Expected {
    const char* componentId;
    const char* name;
    const char* type;
    const char* version;
    const char* display;
    const char* vendor;  // empty: not a PCI device
    const char* device;
    const char* subVendor;
    const char* subDevice;
};

// The default server's record store, record for record.
const Expected kDefaultRecords[] = {
    {"25227", "BIOS", "BIOS", "2.19.1", "BIOS", "", "", "", ""},
    {"25228", "Integrated Management Controller", "FRMW", "7.10.30.00",
     "Management Controller Firmware", "", "", "", ""},
    {"28897", "Lifecycle Controller", "FRMW", "7.10.30.00", "Lifecycle Controller", "", "", "", ""},
    {"104684", "System CPLD", "FRMW", "1.1.3", "System CPLD", "", "", "", ""},
    {"27763", "Backplane 1", "FRMW", "4.35", "Backplane Expander Firmware", "", "", "", ""},
    {"101734", "Power Supply 1", "FRMW", "00.1D.7D", "PSU Firmware", "", "", "", ""},
    {"101734", "Power Supply 2", "FRMW", "00.1D.7D", "PSU Firmware", "", "", "", ""},
    {"159", "OS Drivers Pack", "APAC", "23.07.05", "OS Collector", "", "", "", ""},
    {"", "RAID Controller", "FRMW", "52.26.0-5179", "RAID Controller Firmware", "1000", "10e2",
     "1028", "1ae1"},
    {"", "Ethernet 25G 2P Adapter", "FRMW", "22.91.5", "NIC Firmware", "14e4", "16d7", "1028",
     "0b1b"},
    {"", "Ethernet 1G 2P LOM", "FRMW", "22.91.5", "LOM Firmware", "14e4", "165f", "1028", "1f5b"},
    {"", "NVMe SSD 1.6TB", "FRMW", "2.2.0", "SSD Firmware", "144d", "a824", "1028", "2049"},
};

void expectRecord(const Expected& expected, const CDeviceInfo& record) {
    SCOPED_TRACE(expected.name);
    EXPECT_EQ(expected.componentId, record.getComponentID());
    EXPECT_EQ(expected.name, record.getDeviceName());
    EXPECT_EQ(expected.type, record.getComponentType());
    EXPECT_EQ(expected.version, record.getVersion());
    EXPECT_EQ(expected.display, record.getDisplay());
    EXPECT_EQ(0, record.getStatus());
    bool pci = *expected.vendor != '\0';
    EXPECT_EQ(pci ? 1 : 2, record.getDeviceType());
    SPCIInfo identity = record.getPCIInfo();
    EXPECT_EQ(expected.vendor, identity.vendorID);
    EXPECT_EQ(expected.device, identity.deviceID);
    EXPECT_EQ(expected.subVendor, identity.subVendorID);
    EXPECT_EQ(expected.subDevice, identity.subDeviceID);
    EXPECT_EQ(pci ? "0" : "", identity.componentID);
}

// Nothing of a run is left at the controller or on the host: no drop box,
// nothing attached, no session, no mount, no link of a mounted partition,
// no udev rules, nothing under /tmp.
void expectNothingLeftOn(SimulatedServer& server) {
    EXPECT_EQ(0, server.controller().storage().dynamicBitmap());
    EXPECT_EQ(0, server.controller().storage().attachedMask(true));
    EXPECT_FALSE(server.controller().sessionOpen());
    EXPECT_TRUE(server.mounts().mounts().empty());
    EXPECT_FALSE(server.host().fileExists("/etc/udev/rules.d/98-secupdusb.rules"));
    std::vector<std::string> devices;
    server.host().listDirectory("/dev", devices);
    for (const std::string& name : devices) {
        EXPECT_NE(0u, name.rfind("secvskupd-", 0)) << name;
    }
    std::vector<std::string> left;
    server.host().listDirectory("/tmp", left);
    EXPECT_EQ(std::vector<std::string>{}, left);
}

struct DriverRun {
    bool succeeded = false;
    int veskType = 0;
    unsigned storageError = 0;
    std::string error;
    std::string document;
};

// One driver run as the bridge makes it, in directory.
DriverRun runDriverIn(const std::string& directory) {
    std::string program = directory + "/ipmiinventory.exe";
    std::vector<char> buffer(program.begin(), program.end());
    buffer.push_back('\0');
    char* arguments[] = {buffer.data(), nullptr};
    DriverRun run;
    CInvHelper helper;
    run.succeeded = helper.DoInventory(arguments, run.veskType, run.error);
    run.storageError = helper.writer().storageError();
    run.document = helper.GetPyxInv();
    return run;
}

class InventoryRoadTest : public ::testing::Test {
protected:
    explicit InventoryRoadTest(const std::string& name = "default.xml")
        : server(loadServerDescription(bundledServersDirectory() + "/" + name)) {
        copyDataFiles(cwd.path());
        writeTextFile("zebdebuglog", "");
        CLogger::GetInstance()->Close();
        GenerationType = -1;
    }
    ~InventoryRoadTest() override {
        release(devices);
        CLogger::GetInstance()->Close();
    }

    ManagementController& controller() { return server.controller(); }
    VirtualServer& host() { return server.host(); }

    std::vector<std::uint64_t> longSleeps() {
        std::vector<std::uint64_t> result;
        for (std::uint64_t sleep : host().clock().sleeps()) {
            if (sleep >= 1000) {
                result.push_back(sleep);
            }
        }
        return result;
    }

    void expectNothingLeft() { expectNothingLeftOn(server); }

    std::string pluginLog() { return readTextFile("IPMIInventoryLog.txt"); }
    std::string storageLog() { return readTextFile("QUIB_DBG.log"); }

    ScopedWorkingDirectory cwd;
    SimulatedServer server;
    std::vector<CDeviceInfo*> devices;
};

class NoStorageRoadTest : public InventoryRoadTest {
protected:
    NoStorageRoadTest() : InventoryRoadTest("no-storage.xml") {}
};

// The error table's text for a storage error number.
std::string errorText(unsigned code) {
    std::string table = readTextFile(std::string(INVENTORY_DATA_DIR) + "/ErrorCodes.xml");
    std::string key = "CodeNo=\"" + std::to_string(code) + "\" Discription=\"";
    std::size_t at = table.find(key);
    if (at == std::string::npos) {
        return "";
    }
    at += key.size();
    return table.substr(at, table.find('"', at) - at);
}

using Injection = std::function<void(SimulatedServer&)>;
using SceneBody = std::function<void(SimulatedServer&, const std::string&)>;

// A fresh default server with the fault, in a fresh working directory; the
// body runs the plug-in, then nothing of the run may be left anywhere.
void faultScene(const Injection& inject, const SceneBody& body,
                std::uint64_t timeBoundMs = 5u * 66u * 1000u) {
    ScopedWorkingDirectory run;
    copyDataFiles(run.path());
    writeTextFile("zebdebuglog", "");
    CLogger::GetInstance()->Close();
    GenerationType = -1;
    SimulatedServer faulty(loadServerDescription(bundledServersDirectory() + "/default.xml"));
    inject(faulty);
    body(faulty, run.path());
    expectNothingLeftOn(faulty);
    EXPECT_LT(faulty.host().clock().elapsedMilliseconds(), timeBoundMs);
}

// GetInventory on a list that already holds a record of the caller's: that
// record stays first, followed by records new ones.
void expectCallersList(std::size_t records) {
    auto* own = new CDeviceInfo();
    std::vector<CDeviceInfo*> list{own};
    GetInventory(list);
    EXPECT_EQ(own, list.front());
    EXPECT_EQ(1 + records, list.size());
    release(list);
}

}  // namespace

TEST_F(InventoryRoadTest, GetInventoryReturnsEveryRecordOfTheControllersStore) {
    auto* own = new CDeviceInfo();
    devices.push_back(own);
    GetInventory(devices);
    ASSERT_EQ(1u + std::size(kDefaultRecords), devices.size());
    EXPECT_EQ(own, devices[0]);
    for (std::size_t i = 0; i < std::size(kDefaultRecords); ++i) {
        expectRecord(kDefaultRecords[i], *devices[i + 1]);
    }
    // Attach: 5 s to find the disk, 1 s before the mount, 10 s to settle; the
    // controller works through three status polls of 1 s; attach again.
    EXPECT_EQ((std::vector<std::uint64_t>{5000, 1000, 10000, 1000, 1000, 1000, 5000, 1000, 10000}),
              longSleeps());
    expectNothingLeft();
    ASSERT_EQ(1u, controller().exchangeOutcomes().size());
    EXPECT_TRUE(controller().exchangeOutcomes()[0].accepted);
    for (const char* line : {"DoInventory success", "CInvHelper :: DoInventory Get Pyx Inv Success",
                             "vector<CDeviceInfo*> size after population: 13"}) {
        EXPECT_NE(std::string::npos, pluginLog().find(line)) << line;
    }
    EXPECT_NE(std::string::npos, storageLog().find("QueryPyx succeeded"));
}

TEST_F(InventoryRoadTest, SelectiveInventoryKeepsTheRecordsTheFiltersName) {
    GetSelectiveInventory(devices, {"101734", "25227"},
                          {SPCIInfo{"", "16d7", "0b1b", "14e4", "1028", ""}});
    ASSERT_EQ(4u, devices.size());
    expectRecord(kDefaultRecords[0], *devices[0]);
    expectRecord(kDefaultRecords[5], *devices[1]);
    expectRecord(kDefaultRecords[6], *devices[2]);
    expectRecord(kDefaultRecords[9], *devices[3]);
    expectNothingLeft();
}

TEST_F(NoStorageRoadTest, AServerWithoutControllerStorageHasAnEmptySuccessfulInventory) {
    DriverRun run = runDriverIn(cwd.path());
    EXPECT_TRUE(run.succeeded);
    EXPECT_EQ(0, run.veskType);
    EXPECT_EQ("", run.error);
    EXPECT_EQ("", run.document);
    EXPECT_EQ(0u, controller().sessionsBegun());
    GetInventory(devices);
    EXPECT_TRUE(devices.empty());
    EXPECT_NE(std::string::npos, pluginLog().find(" No Vesk"));
    EXPECT_NE(std::string::npos, pluginLog().find("Empty inventory from GetInvXMLString"));
}

// "No storage" is what a controller answers. A run that never reached one
// (no IPMI driver or device, an IPMI configuration the library refuses, no
// root) failed, with the error's text, and is logged as failed.
TEST(IpmiUnusableTest, AServerWhoseIpmiCannotBeUsedIsAFailedRunNotAnEmptyOne) {
    struct Case {
        const char* name;
        Injection inject;
        std::vector<unsigned> errors;  // one of these
    };
    const Case cases[] = {
        {"no IPMI driver loads",
         [](SimulatedServer& s) {
             for (const char* module : {"ipmi_si", "ipmi_devintf", "ipmi_msghandler"}) {
                 s.kernel().unloadModule(module);
             }
             s.kernel().setModprobeFails("ipmi_si", true);
         },
         {15, 16, 46}},
        {"no device node",
         [](SimulatedServer& s) { s.kernel().setIpmiDevicePresent("/dev/ipmi0", false); },
         {15, 16, 46}},
        {"a configuration that leaves the library no try",
         [](SimulatedServer&) {
             writeTextFile("KvoIPMIConfig.xml",
                           "<KvoIPMIConfiguration><Device name=\"Default\"><Configuration "
                           "name=\"Default\"><RetryCount>0</RetryCount><PollingCount>0"
                           "</PollingCount></Configuration></Device></KvoIPMIConfiguration>");
         },
         {QUIB_CONTROLLER_SILENT}},
        {"the process cannot become root",
         [](SimulatedServer& s) { s.host().refuseSetuid(true); },
         {QUIB_NOT_ROOT}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        faultScene(c.inject, [&](SimulatedServer& faulty, const std::string& directory) {
            CLogger::GetInstance()->Initialize("IPMIInventoryLog.txt");
            DriverRun run = runDriverIn(directory);
            EXPECT_FALSE(run.succeeded);
            EXPECT_NE(c.errors.end(), std::find(c.errors.begin(), c.errors.end(), run.storageError))
                << run.storageError;
            EXPECT_EQ(errorText(run.storageError), run.error);
            EXPECT_EQ(0u, faulty.controller().sessionsBegun());
            EXPECT_NE(std::string::npos, readTextFile("IPMIInventoryLog.txt")
                                             .find("CInvHelper :: DoInventory Get Pyx Inv Failed"));
            CLogger::GetInstance()->Close();
        });
    }
}

TEST_F(InventoryRoadTest, AFaultAtEveryStepOfTheRecordQueryLeavesNothingBehind) {
    struct Case {
        const char* name;
        std::function<void(SimulatedServer&)> inject;
        unsigned error;
        const char* logLine;
        bool answerRead = false;  // the failure came after the answer was read
    };
    const std::vector<Case> cases = {
        {"create",
         [](SimulatedServer& s) { s.controller().script().always(kCreate, Behaviour::code(0xCC)); },
         22, "CreateDropBox failed"},
        {"attach",
         [](SimulatedServer& s) { s.controller().script().always(kAttach, Behaviour::code(0xCC)); },
         14, "AttachPartition failed."},
        {"mount", [](SimulatedServer& s) { s.host().shell().script("^mount -n ", 32); }, 14,
         "mountDynPartition did not succeed. Detaching partition and Retrying"},
        {"write lost", [](SimulatedServer& s) { s.host().shell().script("^mount -n ", 0); }, 24,
         "SecureVeskCopy failed"},
        {"detach",
         [](SimulatedServer& s) {
             s.controller().script().onCall(kDetach, 2, Behaviour::code(0xCC));
         },
         23, "DetachPartition failed"},
        {"hand-over",
         [](SimulatedServer& s) {
             s.controller().script().always(kHandOver, Behaviour::code(0xCC));
         },
         24, "SecureVeskCopy failed"},
        {"answer missing",
         [](SimulatedServer& s) { s.controller().settings().writesAnswer = false; }, 33,
         "Output.xml file does NOT exist"},
        {"delete",
         [](SimulatedServer& s) {
             s.controller().script().onCall(kDelete, 1, Behaviour::code(0xCC));
         },
         25, "Delete Drop Box Failed.", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        faultScene(c.inject, [&](SimulatedServer&, const std::string& directory) {
            DriverRun run = runDriverIn(directory);
            EXPECT_FALSE(run.succeeded);
            EXPECT_EQ(1, run.veskType);
            EXPECT_EQ(c.error, run.storageError);
            EXPECT_EQ(errorText(c.error), run.error);
            EXPECT_FALSE(run.error.empty());
            // An answer already read is the caller's, whatever fails after it.
            EXPECT_EQ(c.answerRead, run.document.find("<SVMInventory") != std::string::npos);
            std::string log = readTextFile("QUIB_DBG.log");
            EXPECT_NE(std::string::npos, log.find(c.logLine));
            EXPECT_NE(std::string::npos, log.find("QueryPyx failed"));
        });
        faultScene(c.inject, [&](SimulatedServer&, const std::string&) {
            expectCallersList(c.answerRead ? std::size(kDefaultRecords) : 0);
            EXPECT_NE(std::string::npos,
                      readTextFile("IPMIInventoryLog.txt").find("DoInventory failed"));
        });
    }
}

namespace {

// One call of a controller command: its key and which call of that key it is.
struct CommandCall {
    CommandKey key;
    unsigned callNumber;
};

CommandKey keyOfRequest(const IpmiRequest& request) {
    CommandKey key{request.netfn, request.cmd, -1};
    if (request.netfn == 0x30 && request.cmd == 0xA2 && !request.data.empty()) {
        key.sub = request.data[0];
    }
    return key;
}

// The controller commands of one clean GetInventory, in the order sent.
std::vector<CommandCall> commandsOfACleanRun() {
    std::vector<CommandCall> calls;
    faultScene([](SimulatedServer&) {},
               [&](SimulatedServer& server, const std::string&) {
                   std::vector<CDeviceInfo*> list;
                   GetInventory(list);
                   EXPECT_EQ(std::size(kDefaultRecords), list.size());
                   release(list);
                   std::map<CommandKey, unsigned> seen;
                   for (const RecordedExchange& exchange : server.controller().exchanges()) {
                       CommandKey key = keyOfRequest(exchange.request);
                       calls.push_back({key, ++seen[key]});
                   }
               });
    return calls;
}

std::string describe(const CommandCall& call) {
    char text[64];
    std::snprintf(text, sizeof(text), "netfn 0x%02x cmd 0x%02x sub %d call %u", call.key.netfn,
                  call.key.cmd, call.key.sub, call.callNumber);
    return text;
}

// What a run shows its caller when one call of a command goes wrong: every
// record, a server without storage (an empty, successful run), or a failed
// run with this storage error's text.
constexpr int kEveryRecord = 0;
constexpr int kNoStorage = -1;

struct MatrixRow {
    CommandKey key;
    unsigned callNumber;
    int whenRefused;          // a failing completion code
    int whenPending;          // pending until the poll limit
    int whenSilent;           // the IPMI exchange times out
    bool answerRead = false;  // the answer was read before: the caller gets it all the same
};

// Every call of a clean GetInventory, in the order sent. Start-up tolerates
// a failed catalogue read, detach or generation query; only the last hash
// part's answer judges the hand-over, so an earlier lost part shows as the
// missing answer file; a pending status request is simply asked again.
const MatrixRow kMatrix[] = {
    {kStorageType, 1, kNoStorage, kNoStorage, 75},
    {kGeneration, 1, kEveryRecord, kEveryRecord, kEveryRecord},
    {kStorageType, 2, 20, 20, 75},
    {kAccessState, 1, 55, 55, 55},
    {kBeginExtended, 1, kEveryRecord, kEveryRecord, kEveryRecord},
    {kIndexInfo, 1, kEveryRecord, kEveryRecord, kEveryRecord},
    {kPartInfo, 1, kEveryRecord, kEveryRecord, kEveryRecord},
    {kPartInfo, 2, kEveryRecord, kEveryRecord, kEveryRecord},
    {kPartInfo, 3, kEveryRecord, kEveryRecord, kEveryRecord},
    {kPartInfo, 4, kEveryRecord, kEveryRecord, kEveryRecord},
    {kPartInfo, 5, kEveryRecord, kEveryRecord, kEveryRecord},
    {kPartInfo, 6, kEveryRecord, kEveryRecord, kEveryRecord},
    {kDetach, 1, kEveryRecord, kEveryRecord, kEveryRecord},
    {kIndexInfo, 2, kEveryRecord, kEveryRecord, kEveryRecord},
    // The bitmap before the drop box; a pending one is answered alike to
    // the identical request after it, so the new slot stays unseen.
    {kIndexInfo, 3, kEveryRecord, 35, kEveryRecord},
    {kCreate, 1, 22, 22, 22},
    {kIndexInfo, 4, 35, 35, 35},
    {kPartInfo, 7, 35, 35, 35},
    {kAttach, 1, 14, 14, 14},
    {kDetach, 2, 23, 23, 23},
    {kHandOver, 1, 24, kEveryRecord, 24},
    {kHandOver, 2, 33, kEveryRecord, 33},
    {kHandOver, 3, 33, kEveryRecord, 33},
    {kHandOver, 4, 33, kEveryRecord, 33},
    {kHandOver, 5, 24, kEveryRecord, 24},
    {kStatus, 1, 24, kEveryRecord, 24},
    {kStatus, 2, 24, kEveryRecord, 24},
    {kStatus, 3, 24, kEveryRecord, 24},
    {kAttach, 2, 14, 14, 14},
    {kDetach, 3, 23, 23, 23, true},
    {kDelete, 1, 25, 25, 25, true},
    {kEnd, 1, kEveryRecord, kEveryRecord, kEveryRecord},
};

void expectOutcome(int expected, bool answerRead, const DriverRun& run) {
    if (expected == kEveryRecord || expected == kNoStorage) {
        EXPECT_TRUE(run.succeeded);
        EXPECT_EQ(expected == kNoStorage, run.document.empty());
        return;
    }
    EXPECT_FALSE(run.succeeded);
    EXPECT_EQ(static_cast<unsigned>(expected), run.storageError);
    EXPECT_FALSE(run.error.empty());
    EXPECT_EQ(errorText(static_cast<unsigned>(expected)), run.error);
    EXPECT_EQ(answerRead, !run.document.empty());
}

}  // namespace

TEST(FaultMatrixTest, EveryControllerCommandRefusedPendingOrSilentLeavesNothingBehind) {
    std::vector<CommandCall> calls = commandsOfACleanRun();
    ASSERT_EQ(std::size(kMatrix), calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_TRUE(calls[i].key == kMatrix[i].key && calls[i].callNumber == kMatrix[i].callNumber)
            << "call " << i << ": " << describe(calls[i]);
    }
    // Bounded by five attempts to attach and mount of at most 66 s each, plus
    // 3000 status polls of a second, or five 20-second waits for each of the
    // session's two ends.
    constexpr std::uint64_t kRoad = 5u * 66u * 1000u;
    struct Mode {
        const char* name;
        Behaviour behaviour;
        int MatrixRow::*expected;
        std::uint64_t boundMs;
    };
    const Mode modes[] = {
        {"refused", Behaviour::code(0xCC), &MatrixRow::whenRefused, kRoad},
        {"pending", Behaviour::pending(3000), &MatrixRow::whenPending, kRoad + 3000u * 1000u},
        {"silent", Behaviour::silent(), &MatrixRow::whenSilent, kRoad + 2u * 100u * 1000u},
    };
    for (const MatrixRow& row : kMatrix) {
        for (const Mode& mode : modes) {
            SCOPED_TRACE(describe({row.key, row.callNumber}) + " " + mode.name);
            int expected = row.*mode.expected;
            Injection inject = [&](SimulatedServer& s) {
                s.controller().script().onCall(row.key, row.callNumber, mode.behaviour);
            };
            faultScene(
                inject,
                [&](SimulatedServer&, const std::string& directory) {
                    expectOutcome(expected, row.answerRead, runDriverIn(directory));
                },
                mode.boundMs);
            faultScene(
                inject,
                [&](SimulatedServer&, const std::string&) {
                    expectCallersList(expected == kEveryRecord || row.answerRead
                                          ? std::size(kDefaultRecords)
                                          : 0);
                },
                mode.boundMs);
        }
    }
}

TEST_F(InventoryRoadTest, ARunWaitsFiveMinutesForAnotherRunsStorageLockThenFailsCleanly) {
    host().mkdir(storageLockDirectory, 0700);
    int other = host().open(storageLockPath, O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(0, host().flock(other, LOCK_EX | LOCK_NB));
    DriverRun run = runDriverIn(cwd.path());
    EXPECT_FALSE(run.succeeded);
    EXPECT_EQ(QUIB_STORAGE_BUSY, run.storageError);
    EXPECT_EQ(errorText(QUIB_STORAGE_BUSY), run.error);
    EXPECT_FALSE(run.error.empty());
    EXPECT_EQ(std::vector<std::uint64_t>(kStorageLockWaitSeconds, 1000), longSleeps());
    EXPECT_TRUE(controller().exchanges().empty());
    expectCallersList(0);
    for (const char* line :
         {"Another run is using the controller storage; waiting up to 300 seconds for "
          "/run/ipmiinventory/storage.lock",
          "Storage lock not obtained within 300 seconds: another run still uses the controller "
          "storage"}) {
        EXPECT_NE(std::string::npos, pluginLog().find(line)) << line;
    }
    EXPECT_EQ(0u, controller().sessionsBegun());
    EXPECT_TRUE(host().fileLocks().held(storageLockPath));

    host().close(other);
    expectCallersList(std::size(kDefaultRecords));
    expectNothingLeft();
    EXPECT_FALSE(host().fileLocks().held(storageLockPath));
}

TEST_F(InventoryRoadTest, TwoRunsOnTwoThreadsTakeTheStorageRoadOneAfterTheOther) {
    DriverRun first;
    DriverRun second;
    std::thread one([&] { first = runDriverIn(cwd.path()); });
    std::thread two([&] { second = runDriverIn(cwd.path()); });
    one.join();
    two.join();
    for (const DriverRun* run : {&first, &second}) {
        EXPECT_TRUE(run->succeeded);
        EXPECT_EQ("", run->error);
        EXPECT_NE(std::string::npos, run->document.find("<SVMInventory"));
    }
    EXPECT_EQ(first.document, second.document);
    // Each run's session ends before the other's begins.
    std::vector<int> sessions;
    for (const RecordedExchange& exchange : controller().exchanges()) {
        CommandKey key = keyOfRequest(exchange.request);
        if (key == storageCommand(0x12) || key == storageCommand(0x01)) {
            sessions.push_back(key.sub);
        }
    }
    EXPECT_EQ((std::vector<int>{0x12, 0x01, 0x12, 0x01}), sessions);
    ASSERT_EQ(2u, controller().exchangeOutcomes().size());
    EXPECT_TRUE(controller().exchangeOutcomes()[0].accepted);
    EXPECT_TRUE(controller().exchangeOutcomes()[1].accepted);
    expectNothingLeft();
}

// Any local user may plant links in /tmp: the start-up clean-up that runs on
// every call must not unmount, through /tmp/SECUPD or /tmp/VSK001, the file
// system they lead to.
TEST_F(InventoryRoadTest, LinksPlantedInTmpNeverTakeAnotherFileSystemAway) {
    host().makeDirectory("/mnt/other");
    ASSERT_EQ(0, host().system("mount -t tmpfs tmpfs /mnt/other"));
    host().writeFile("/mnt/other/work", "someone's files");
    for (const char* planted : {"/tmp/SECUPD", "/tmp/VSK001"}) {
        std::filesystem::create_symlink("/mnt/other", host().resolveEntry(planted));
        host().setOwner(planted, 1000);
    }
    GetInventory(devices);
    EXPECT_EQ(std::size(kDefaultRecords), devices.size()) << storageLog();
    EXPECT_EQ(1u, server.mounts().mountsOn("/mnt/other").size());
    EXPECT_EQ("someone's files", host().readFile("/mnt/other/work"));
    for (const char* line : {"Not unmounting /tmp/SECUPD: it is a link; removing the link only",
                             "Not unmounting /tmp/VSK001: it is a link; removing the link only"}) {
        EXPECT_NE(std::string::npos, storageLog().find(line)) << line;
    }
    ASSERT_EQ(0, host().umount2("/mnt/other", 0));
    expectNothingLeft();
}

// The lock lives where only root can create or open it: another user's file
// at the old world-writable place holds nothing, and a lock whose directory
// or file is not root's alone is refused with an error of its own.
TEST_F(InventoryRoadTest, TheStorageLockIsRootsAloneAndNoOtherUserCanHoldIt) {
    host().writeFile("/run/lock/ipmiinventory.lock", "");
    host().setOwner("/run/lock/ipmiinventory.lock", 1000);
    int theirs = host().open("/run/lock/ipmiinventory.lock", O_RDONLY);
    ASSERT_EQ(0, host().flock(theirs, LOCK_EX | LOCK_NB));
    DriverRun run = runDriverIn(cwd.path());
    EXPECT_TRUE(run.succeeded) << run.error;
    EXPECT_TRUE(longSleeps().size() < 20u);  // no wait for their lock
    host().close(theirs);
    struct stat info {};
    ASSERT_EQ(0, host().lstat(storageLockDirectory, &info));
    EXPECT_EQ(0700u, info.st_mode & 07777);
    ASSERT_EQ(0, host().lstat(storageLockPath, &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);

    struct Case {
        const char* name;
        Injection plant;
    };
    const Case cases[] = {
        {"the directory is a link",
         [](SimulatedServer& s) {
             s.host().makeDirectory("/var/theirs");
             std::filesystem::create_symlink("/var/theirs",
                                             s.host().resolveEntry(storageLockDirectory));
         }},
        {"the directory is another user's",
         [](SimulatedServer& s) {
             s.host().mkdir(storageLockDirectory, 0700);
             s.host().setOwner(storageLockDirectory, 1000);
         }},
        {"the directory is writable by all",
         [](SimulatedServer& s) {
             s.host().mkdir(storageLockDirectory, 0700);
             std::filesystem::permissions(s.host().resolve(storageLockDirectory),
                                          std::filesystem::perms::all);
         }},
        {"the lock file is a link",
         [](SimulatedServer& s) {
             s.host().mkdir(storageLockDirectory, 0700);
             std::filesystem::create_symlink("/etc/passwd", s.host().resolveEntry(storageLockPath));
         }},
        {"the lock file is another user's",
         [](SimulatedServer& s) {
             s.host().mkdir(storageLockDirectory, 0700);
             s.host().writeFile(storageLockPath, "");
             s.host().setOwner(storageLockPath, 1000);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        faultScene(c.plant, [](SimulatedServer& faulty, const std::string& directory) {
            CLogger::GetInstance()->Initialize("IPMIInventoryLog.txt");
            DriverRun refused = runDriverIn(directory);
            EXPECT_FALSE(refused.succeeded);
            EXPECT_EQ(QUIB_STORAGE_LOCK_UNSAFE, refused.storageError);
            EXPECT_EQ(errorText(QUIB_STORAGE_LOCK_UNSAFE), refused.error);
            EXPECT_EQ(0u, faulty.controller().sessionsBegun());
            EXPECT_FALSE(faulty.host().fileExists("/etc/passwd"));
            EXPECT_NE(std::string::npos,
                      readTextFile("IPMIInventoryLog.txt").find("Storage lock /run/ipmiinventory"));
        });
    }
}
