#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/support/TestSupport.h"
#include "tools/InventoryOptions.h"
#include "tools/InventoryOutput.h"
#include "tools/InventoryRun.h"
#include "vserver/ServerDescription.h"

TEST(InventoryOptions, ParsesRepeatableFiltersAndTheFormat) {
    InventoryOptions options;
    std::string error;
    ASSERT_TRUE(parseInventoryOptions({"--component", "101", "--pci=8086:1f:1028:0a",
                                       "--component=", "--pci", ":::", "--format", "json"},
                                      options, error))
        << error;
    EXPECT_EQ((std::vector<std::string>{"101", ""}), options.components);
    ASSERT_EQ(2u, options.pciDevices.size());
    EXPECT_EQ("8086", options.pciDevices[0].vendorID);
    EXPECT_EQ("1f", options.pciDevices[0].deviceID);
    EXPECT_EQ("1028", options.pciDevices[0].subVendorID);
    EXPECT_EQ("0a", options.pciDevices[0].subDeviceID);
    EXPECT_EQ(OutputFormat::Json, options.format);
    EXPECT_TRUE(options.selective());
    EXPECT_FALSE(options.help);

    InventoryOptions plain;
    ASSERT_TRUE(parseInventoryOptions({}, plain, error));
    EXPECT_FALSE(plain.selective());
    EXPECT_EQ(OutputFormat::Table, plain.format);
}

TEST(InventoryOptions, PlacementsAndTheRecordUpdate) {
    InventoryOptions options;
    std::string error;
    ASSERT_TRUE(parseInventoryOptions({"--place", "a=b.bin=21/x/a.bin", "--place=c.bin=22/c.bin",
                                       "--update-record", "package.xml"},
                                      options, error))
        << error;
    ASSERT_EQ(2u, options.placements.size());
    EXPECT_EQ("a=b.bin", options.placements[0].file);
    EXPECT_EQ("21/x/a.bin", options.placements[0].destination);
    EXPECT_EQ("22/c.bin", options.placements[1].destination);
    EXPECT_EQ("package.xml", options.recordPackage);
}

TEST(InventoryOptions, BadArgumentsGiveOneLineReasons) {
    const struct {
        std::vector<std::string> arguments;
        std::string error;
    } cases[] = {
        {{"--bogus"}, "unknown argument '--bogus'"},
        {{"list"}, "unknown argument 'list'"},
        {{"--component"}, "missing value for --component"},
        {{"--component", "--format", "xml"}, "missing value for --component"},
        {{"--pci", "8086:1f"}, "--pci expects VENDOR:DEVICE:SUBVENDOR:SUBDEVICE, got '8086:1f'"},
        {{"--format", "yaml"}, "--format expects table, xml or json, got 'yaml'"},
        {{"--virtual-server="}, "--virtual-server needs a value"},
        {{"--workdir="}, "--workdir needs a value"},
        {{"--place", "a.bin"},
         "--place expects FILE=PARTITION/PATH (for example a.bin=21/drivers/a.bin), got 'a.bin'"},
        {{"--place", "a.bin=drivers/a.bin"},
         "--place expects FILE=PARTITION/PATH (for example a.bin=21/drivers/a.bin), got "
         "'a.bin=drivers/a.bin'"},
        {{"--place", "=21/a.bin"},
         "--place expects FILE=PARTITION/PATH (for example a.bin=21/drivers/a.bin), got "
         "'=21/a.bin'"},
        {{"--update-record="}, "--update-record needs a value"},
    };
    for (const auto& each : cases) {
        InventoryOptions options;
        std::string error;
        EXPECT_FALSE(parseInventoryOptions(each.arguments, options, error));
        EXPECT_EQ(each.error, error);
    }
}

namespace {

// Owns the records the way a host does.
struct Records : ReceivedRecords {
    CDeviceInfo* add(const std::string& id, const std::string& name) {
        devices.push_back(new CDeviceInfo());
        devices.back()->setComponentID(id);
        devices.back()->setDeviceName(name);
        devices.back()->setDeviceType(DEVICE_TYPE_COMPONENT);
        return devices.back();
    }
};

}  // namespace

// A destination is a path below the drop box's mount directory on this
// host: what could lead out of it, or name no plain file, never reaches the
// controller.
TEST(InventoryOptions, PlacementDestinationsStayInsideThePartition) {
    const struct {
        const char* destination;
        const char* rule;
    } cases[] = {
        {"21/../x", "it has a '..' component, which leads out of the partition"},
        {"21/../../../etc/cron.d/x", "it has a '..' component, which leads out of the partition"},
        {"21/sub/../../x", "it has a '..' component, which leads out of the partition"},
        {"21/./x", "it has a '.' component"},
        {"21/a//x", "it has an empty path component ('//')"},
        {"21//etc/x", "the path after the partition number is absolute"},
        {"21/drivers/", "it ends with '/', which names a directory, not a file"},
        {"21/a\nb", "it holds a control character"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.destination);
        std::string destination = each.destination;
        InventoryOptions options;
        std::string error;
        EXPECT_FALSE(parseInventoryOptions({"--place", "a.bin=" + destination}, options, error));
        EXPECT_EQ("--place destination '" + destination + "' is refused: " + each.rule +
                      "; PATH must be a plain relative file path inside the partition",
                  error);
        EXPECT_TRUE(options.placements.empty());
    }
}

TEST(InventoryOutput, TableAlignsColumnsAndMarksEmptyCells) {
    Records records;
    CDeviceInfo* firmware = records.add("101", "Controller");
    firmware->setComponentType("FRMW");
    firmware->setVersion("2.10");
    firmware->setDisplay("Controller firmware");
    CDeviceInfo* nic = records.add("", "NIC");
    nic->setDeviceType(DEVICE_TYPE_PCI);
    nic->setPCIInfo(SPCIInfo{"7", "1f", "0a", "8086", "1028", ""});
    records.devices.push_back(firmware);  // a selective result may repeat a record

    EXPECT_EQ(
        "COMPONENT ID  TYPE       NAME        COMPONENT TYPE  VERSION  DISPLAY              PCI\n"
        "101           component  Controller  FRMW            2.10     Controller firmware  -\n"
        "-             pci        NIC         -               -        -                    "
        "8086:1f:1028:0a\n"
        "101           component  Controller  FRMW            2.10     Controller firmware  -\n",
        formatTable(records.devices));
    EXPECT_EQ("COMPONENT ID  TYPE  NAME  COMPONENT TYPE  VERSION  DISPLAY  PCI\n(no records)\n",
              formatTable({}));
}

// Always one object; every record has the same members with the same
// types, and a PCI record's component id is the same at the top and in pci.
TEST(InventoryOutput, JsonIsOneObjectWithRecordsOfOneShape) {
    EXPECT_EQ("{\n  \"devices\": []\n}\n", formatJson({}));
    Records records;
    CDeviceInfo* record = records.add("1\"2", "a\\b\nc\x01");
    record->setStatus(0);
    CDeviceInfo* nic = records.add("", "NIC");
    nic->setDeviceType(DEVICE_TYPE_PCI);
    nic->setPCIInfo(SPCIInfo{"0", "1f", "0a", "8086", "1028", ""});
    std::string json = formatJson(records.devices);
    EXPECT_NE(std::string::npos, json.find("\"componentID\": \"1\\\"2\",\n"));
    EXPECT_NE(std::string::npos, json.find("\"deviceName\": \"a\\\\b\\nc\\u0001\",\n"));
    EXPECT_NE(std::string::npos, json.find("\"status\": 0,\n"));
    EXPECT_NE(std::string::npos,
              json.find("\"pci\": {\"componentID\": \"\", \"vendorID\": \"\", \"deviceID\": \"\", "
                        "\"subVendorID\": \"\", \"subDeviceID\": \"\"}\n"));
    EXPECT_NE(std::string::npos,
              json.find("      \"componentID\": \"0\",\n      \"deviceType\": \"pci\""));
    EXPECT_NE(std::string::npos, json.find("\"pci\": {\"componentID\": \"0\", \"vendorID\": "
                                           "\"8086\""));
    EXPECT_EQ(0u, json.find("{\n  \"devices\": [\n    {\n"));
    EXPECT_EQ(json.size() - 12, json.rfind("    }\n  ]\n}\n"));

    InventoryOutcome failed;
    failed.errorCode = 25;
    failed.errorText = "drop box \"kept\"";
    failed.recordsRead = true;
    std::string both = formatOutcome(failed, records.devices, OutputFormat::Json, "/var/lib/x");
    EXPECT_EQ(0u, both.find("{\n  \"devices\": [\n"));
    EXPECT_NE(std::string::npos,
              both.find("  ],\n  \"error\": {\n    \"code\": 25,\n    \"text\": \"drop box "
                        "\\\"kept\\\"\",\n    \"logs\": \"/var/lib/x\"\n  }\n}\n"));
    EXPECT_NE(std::string::npos,
              formatOutcome(failed, records.devices, OutputFormat::Table, "").find("COMPONENT ID"));
    InventoryOutcome none;
    none.kind = InventoryOutcome::Kind::NoStorage;
    EXPECT_EQ("{\n  \"devices\": [],\n  \"storage\": false\n}\n",
              formatOutcome(none, {}, OutputFormat::Json, ""));
}

TEST(InventoryOutput, XmlIsAnInventoryDocumentWithEscapedValues) {
    Records records;
    CDeviceInfo* record = records.add("101", "A & <B>");
    record->setComponentType("FRMW");
    record->setStatus(0);
    records.add("202", "bare");
    std::string text = formatXml(records.devices);

    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, 0), xmlFreeDoc);
    ASSERT_NE(nullptr, doc) << text;
    EXPECT_NE(std::string::npos, text.find("<SVMInventory lang=\"en\">"));
    EXPECT_NE(std::string::npos, text.find("display=\"A &amp; &lt;B&gt;\""));
    EXPECT_NE(std::string::npos,
              text.find("<Application componentType=\"FRMW\" version=\"\" display=\"\"/>"));
    EXPECT_NE(std::string::npos, text.find("<Device componentID=\"202\" display=\"bare\"/>"));
}

namespace {

struct ProgramRun {
    int status;
    std::string out;
    std::string err;
};

ProgramRun runProgram(const std::string& arguments, const std::string& environment = "") {
    int raw = std::system(
        (environment + "'" + IPMI_INVENTORY_PROGRAM + "' " + arguments + " >out.txt 2>err.txt")
            .c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readTextFile("out.txt"),
            readTextFile("err.txt")};
}

}  // namespace

TEST(InventoryProgram, HelpAndBadArguments) {
    ScopedWorkingDirectory cwd;
    ProgramRun help = runProgram("--help");
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.out.find("Usage: ipmi-inventory"));

    ProgramRun bad = runProgram("--pci 8086 --help");
    EXPECT_EQ(2, bad.status);
    EXPECT_EQ("", bad.out);
    EXPECT_EQ(
        "ipmi-inventory: --pci expects VENDOR:DEVICE:SUBVENDOR:SUBDEVICE, got '8086' (see "
        "--help)\n",
        bad.err);
    EXPECT_FALSE(fileExists("IPMIInventoryLog.txt"));
}

namespace {

std::string bundled(const std::string& name) {
    return "--virtual-server '" + bundledServersDirectory() + "/" + name + "' --workdir .";
}

// A copy of the default server with the Records element's attributes changed.
std::string defaultServerWith(const std::string& from, const std::string& to) {
    std::string text = readTextFile(bundledServersDirectory() + "/default.xml");
    text.replace(text.find(from), from.size(), to);
    writeTextFile("server.xml", text);
    return "--virtual-server server.xml --workdir .";
}

}  // namespace

TEST(InventoryProgram, RecordsAreListedWithTheVirtualTimeTheyTook) {
    ScopedWorkingDirectory cwd;
    ProgramRun run = runProgram(bundled("default.xml") + " --format json");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(0u, run.out.find("{\n  \"devices\": [\n    {\n      \"componentID\": \"25227\""));
    std::size_t records = 0;
    for (std::size_t at = run.out.find("\"deviceType\""); at != std::string::npos;
         at = run.out.find("\"deviceType\"", at + 1)) {
        ++records;
    }
    EXPECT_EQ(12u, records);
    EXPECT_EQ("ipmi-inventory: 35 s of virtual time on the virtual server\n", run.err);
    // The plug-in ran in the work directory with its data files.
    EXPECT_TRUE(fileExists("ErrorCodes.xml"));
    EXPECT_TRUE(fileExists("98-secupdusb.rules"));
    EXPECT_NE(std::string::npos,
              readTextFile("IPMIInventoryLog.txt").find("CInvHelper :: DoInventory End"));

    ProgramRun selected = runProgram(bundled("default.xml") + " --component 159");
    EXPECT_EQ(0, selected.status);
    EXPECT_NE(std::string::npos, selected.out.find("OS Drivers Pack"));
    EXPECT_EQ(std::string::npos, selected.out.find("BIOS"));
}

TEST(InventoryProgram, NothingToReportIsASuccessThatSaysSo) {
    ScopedWorkingDirectory cwd;
    ProgramRun run = runProgram(bundled("no-storage.xml") + " --format json");
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("{\n  \"devices\": [],\n  \"storage\": false\n}\n", run.out);
    EXPECT_EQ(0u, run.err.find("ipmi-inventory: this server's management controller has no "
                               "embedded storage"));
}

TEST(InventoryProgram, AFailedRunSaysWhyAndWhereTheLogsAre) {
    ScopedWorkingDirectory cwd;
    std::string server = defaultServerWith("<Records processingPolls=\"2\">",
                                           "<Records processingPolls=\"2\" answers=\"false\">");
    ProgramRun table = runProgram(server);
    EXPECT_EQ(1, table.status);
    EXPECT_EQ("", table.out);
    EXPECT_NE(std::string::npos,
              table.err.find("ipmi-inventory: the inventory failed (storage error 33): The "
                             "controller left no answer file in the drop box."));
    EXPECT_NE(std::string::npos, table.err.find("ipmi-inventory: the logs are in " + cwd.path()));

    ProgramRun json = runProgram(server + " --format json");
    EXPECT_EQ(1, json.status);
    EXPECT_EQ(0u, json.out.find("{\n  \"devices\": [],\n  \"error\": {\n    \"code\": 33,\n"
                                "    \"text\": \"The controller left no answer file"));
    EXPECT_NE(std::string::npos, json.out.find("\"logs\": \"" + cwd.path() + "\""));
}

TEST(InventoryProgram, ServerDescriptionsThatCannotBeUsedNameFileReasonAndLine) {
    ScopedWorkingDirectory cwd;
    ProgramRun missing = runProgram("--virtual-server no-such-server.xml");
    EXPECT_EQ(3, missing.status);
    EXPECT_EQ("", missing.out);
    EXPECT_NE(std::string::npos, missing.err.find("no-such-server.xml: cannot read it: No such "
                                                  "file or directory"));

    writeTextFile("broken.xml", "<VirtualServer>\n<Controller>\n</VirtualServer>\n");
    ProgramRun broken = runProgram("--virtual-server broken.xml");
    EXPECT_EQ(3, broken.status);
    EXPECT_EQ(0u, broken.err.find("ipmi-inventory: bad server description: broken.xml:4: not "
                                  "well-formed XML: Premature end of data"));
    EXPECT_EQ(broken.err.size() - 1, broken.err.find('\n'));  // libxml2 says nothing itself

    writeTextFile("wrong.xml",
                  "<VirtualServer>\n  <Controller storageType=\"None\"/>\n  <Host os=\"beos\"/>\n"
                  "</VirtualServer>\n");
    ProgramRun wrong = runProgram("--virtual-server wrong.xml");
    EXPECT_EQ(3, wrong.status);
    EXPECT_NE(std::string::npos,
              wrong.err.find("wrong.xml:3: unknown host operating system: beos"));

    writeTextFile("typo.xml", "<VirtualServer>\n  <Controler/>\n</VirtualServer>\n");
    ProgramRun typo = runProgram("--virtual-server typo.xml");
    EXPECT_EQ(3, typo.status);
    EXPECT_EQ(
        "ipmi-inventory: bad server description: typo.xml:2: unknown element <Controler> "
        "in <VirtualServer>\n",
        typo.err);

    ProgramRun empty = runProgram("--virtual-server=");
    EXPECT_EQ(2, empty.status);
    EXPECT_EQ("ipmi-inventory: --virtual-server needs a value (see --help)\n", empty.err);
}

TEST(InventoryProgram, AnOutputThatCannotBeWrittenIsAFailure) {
    ScopedWorkingDirectory cwd;
    int raw = std::system(("'" + std::string(IPMI_INVENTORY_PROGRAM) + "' " +
                           bundled("default.xml") + " --format json >/dev/full 2>err.txt")
                              .c_str());
    EXPECT_EQ(1, WEXITSTATUS(raw));
    EXPECT_NE(std::string::npos,
              readTextFile("err.txt").find("ipmi-inventory: cannot write the output: No space "
                                           "left on device"));
}

TEST(InventoryProgram, VerboseRunsShowEveryStepInVirtualTime) {
    ScopedWorkingDirectory cwd;
    ProgramRun run = runProgram(bundled("default.xml") + " --verbose");
    EXPECT_EQ(0, run.status);
    std::size_t at = 0;
    for (const char* line :
         {"[0 s] opening the storage session", "[0 s] creating the drop box",
          "[0 s] asking the controller to show the drop box as a USB disk",
          "[0 s] waiting for the disk to appear, try 1 of 60", "[6 s] mounting the drop box",
          "[6 s] mounted", "[16 s] taking the drop box back from the host",
          "[16 s] handing the command file's digest over", "[17 s] controller processing, poll 1",
          "[19 s] controller processing, poll 3", "[35 s] reading the controller's answer",
          "[35 s] deleting the drop box", "[35 s] closing the storage session; clean-up done"}) {
        std::size_t found = run.err.find(line, at);
        EXPECT_NE(std::string::npos, found) << line;
        at = found == std::string::npos ? at : found;
    }
    // stdout stays the table alone.
    EXPECT_EQ(0u, run.out.find("COMPONENT ID"));

    ProgramRun version = runProgram("--version");
    EXPECT_EQ(0, version.status);
    EXPECT_EQ("ipmi-inventory 1.0.0\n", version.out);
}

TEST(InventoryProgram, TheRealMachineNeedsRoot) {
    EXPECT_EQ("", realMachineProblem(true));
    EXPECT_EQ(0u, realMachineProblem(false).find("needs root:"));
    EXPECT_TRUE(ipmiDeviceMissing(15));
    EXPECT_TRUE(ipmiDeviceMissing(46));
    EXPECT_FALSE(ipmiDeviceMissing(33));
}

TEST(InventoryProgram, PlacesFilesAndUpdatesARecordBeforeListing) {
    ScopedWorkingDirectory cwd;
    writeTextFile("fw.bin", std::string(100000, 'f'));
    writeTextFile("bios.xml",
                  "<SoftwareComponent vendorVersion=\"2.20.0\"><Name><Display>BIOS</Display>"
                  "</Name><ComponentType value=\"BIOS\"/><SupportedDevices>"
                  "<Device componentID=\"25227\"/></SupportedDevices></SoftwareComponent>\n");
    ProgramRun run = runProgram(bundled("default.xml") +
                                " --place fw.bin=21/fw/fw.bin --update-record bios.xml"
                                " --component 25227 --format json");
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("\"version\": \"2.20.0\"")) << run.out;
    EXPECT_NE(std::string::npos,
              run.err.find("ipmi-inventory: placed 1 file(s) on partition 21, digests verified"));
    EXPECT_NE(std::string::npos, run.err.find("written into the record store"));
    // The package description was used and taken away again.
    EXPECT_FALSE(fileExists("package.xml"));

    ProgramRun refused = runProgram(bundled("default.xml") + " --place fw.bin=99/fw.bin");
    EXPECT_EQ(1, refused.status);
    EXPECT_EQ("", refused.out);
    EXPECT_EQ(0u, refused.err.find("ipmi-inventory: the placement failed (storage error 3): "));

    ProgramRun missing = runProgram(bundled("default.xml") + " --place none.bin=21/none.bin");
    EXPECT_EQ(2, missing.status);
    EXPECT_EQ("ipmi-inventory: --place: no such file: none.bin\n", missing.err);
}

// An operator's mistakes are caught before anything reaches the controller,
// each with its own message.
TEST(InventoryProgram, StagingMistakesAreBadArguments) {
    ScopedWorkingDirectory cwd;
    writeTextFile("a.bin", "a");
    writeTextFile("b.bin", "b");
    std::filesystem::create_directory("drivers");
    const struct {
        const char* arguments;
        const char* message;
    } cases[] = {
        {" --place a.bin=21/x.bin --place b.bin=21/x.bin",
         "ipmi-inventory: --place: two files for the destination 21/x.bin: a.bin and b.bin (see "
         "--help)\n"},
        {" --place a.bin=21/fw --place b.bin=21/fw/b.bin",
         "ipmi-inventory: --place: the destination 21/fw of a.bin is a directory for 21/fw/b.bin "
         "(see --help)\n"},
        {" --place drivers=21/drivers.bin",
         "ipmi-inventory: --place: drivers is a directory, not a file\n"},
        {" --update-record missing.xml",
         "ipmi-inventory: --update-record: no such file: "
         "missing.xml\n"},
        {" --update-record drivers",
         "ipmi-inventory: --update-record: drivers is a directory, not a file\n"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.arguments);
        ProgramRun run = runProgram(bundled("default.xml") + each.arguments);
        EXPECT_EQ(2, run.status);
        EXPECT_EQ(each.message, run.err);
        EXPECT_EQ("", run.out);
    }
}

// Too large for its partition: refused before the first drop box, naming
// the file, its size, the partition and its size.
TEST(InventoryProgram, APayloadLargerThanItsPartitionIsRefusedUpFront) {
    ScopedWorkingDirectory cwd;
    {
        std::ofstream big("big.bin", std::ios::binary);
        big.seekp((16 << 20) - 1);
        big.put('x');
    }
    ProgramRun run =
        runProgram(bundled("default.xml") + " --place big.bin=2/big.bin --format json");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(0u, run.err.find("ipmi-inventory: the placement failed (storage error 77): big.bin "
                               "(16777216 bytes) is larger than partition 2 (VSK002) (15728640 "
                               "bytes)\n"))
        << run.err;
    EXPECT_NE(std::string::npos, run.err.find("not placed, or not verified: big.bin=2/big.bin"));
    EXPECT_NE(std::string::npos, run.out.find("\"code\": 77,"));
    EXPECT_NE(std::string::npos, run.out.find("\"placed\": []"));
}

// A placement that fails partway says what was placed and verified before.
TEST(InventoryProgram, APlacementThatFailsPartwayTellsWhatWasPlaced) {
    ScopedWorkingDirectory cwd;
    writeTextFile("a.bin", "a");
    writeTextFile("b.bin", std::string(2 << 20, 'b'));
    // The controller's VSK022 is far smaller than its nominal 160 MiB.
    std::string server =
        defaultServerWith("label=\"VSK022\" name=\"FirmwareImages\" sizeMB=\"160\"",
                          "label=\"VSK022\" name=\"FirmwareImages\" sizeMB=\"1\"");
    ProgramRun run = runProgram(server +
                                " --place a.bin=21/a.bin --place b.bin=22/b.bin "
                                "--format json");
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos,
              run.err.find("ipmi-inventory: placed and verified before the failure: "
                           "a.bin=21/a.bin\n"))
        << run.err;
    EXPECT_NE(std::string::npos,
              run.err.find("ipmi-inventory: not placed, or not verified: b.bin=22/b.bin"));
    EXPECT_NE(std::string::npos,
              run.out.find("\"placed\": [{\"file\": \"a.bin\", \"destination\": \"21/a.bin\"}]"))
        << run.out;
}

// The README's staging example runs as written, from the repository's root,
// with this build's program in place of scripts/inventory.
TEST(InventoryProgram, TheReadmeStagingExampleRunsVerbatim) {
    std::string readme = readTextFile(std::string(INVENTORY_SOURCE_DIR) + "/README.md");
    std::string::size_type start = readme.find("    scripts/inventory --virtual-server ");
    while (start != std::string::npos &&
           readme.find("--place examples/", start) > readme.find("\n\n", start)) {
        start = readme.find("    scripts/inventory --virtual-server ", start + 1);
    }
    ASSERT_NE(std::string::npos, start);
    std::string command = readme.substr(start, readme.find("\n\n", start) - start);
    for (std::string::size_type at = command.find("\\\n"); at != std::string::npos;
         at = command.find("\\\n")) {
        command.replace(at, 2, " ");
    }
    command.replace(command.find("scripts/inventory"), std::strlen("scripts/inventory"),
                    "'" + std::string(IPMI_INVENTORY_PROGRAM) + "'");
    ScopedWorkingDirectory cwd;
    std::string out = cwd.path() + "/out.txt";
    std::string err = cwd.path() + "/err.txt";
    int raw = std::system(("cd '" + std::string(INVENTORY_SOURCE_DIR) + "' && " + command + " >'" +
                           out + "' 2>'" + err + "'")
                              .c_str());
    EXPECT_EQ(0, WEXITSTATUS(raw)) << command << "\n" << readTextFile(err);
    std::string table = readTextFile(out);
    EXPECT_NE(std::string::npos, table.find("2.20.0")) << table;
    EXPECT_NE(std::string::npos, readTextFile(err).find("placed 1 file(s) on partition 21, "
                                                        "digests verified"));
    EXPECT_NE(std::string::npos, readTextFile(err).find("written into the record store"));
}
