#include "vserver/ManagementController.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/ControllerCommands.h"
#include "tests/support/TestSupport.h"
#include "vserver/ServerDescription.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

IpmiRequest storage(Bytes data) {
    return IpmiRequest{0x30, 0xA2, std::move(data)};
}

// Recorded presentation calls, "+LABEL" for present and "-LABEL" for withdraw.
class RecordingPresenter : public PartitionPresenter {
public:
    void present(const PartitionImage& image) override { calls.push_back("+" + image.label); }
    void withdraw(const PartitionImage& image) override { calls.push_back("-" + image.label); }
    std::vector<std::string> calls;
};

class ControllerTest : public ::testing::Test {
protected:
    ControllerTest() : controller(config()) { controller.setPresenter(&presenter); }

    static ControllerConfig config() {
        ControllerConfig config;
        config.staticPartitions = {{0, "VSK001", 25, "UEFI"}, {2, "VSK003", 100, "ELI"}};
        config.dynamicSlots = 2;
        return config;
    }

    Bytes send(const IpmiRequest& request) {
        std::optional<IpmiResponse> response = controller.exchange(request);
        EXPECT_TRUE(response.has_value());
        if (!response) {
            return {};
        }
        EXPECT_EQ(request.netfn + 1, response->netfn);
        EXPECT_EQ(request.cmd, response->cmd);
        return response->data;
    }

    void begin() {
        Bytes answer = send(storage({0x12, 0x02, 0xB0, 0x04, 0, 0}));
        ASSERT_EQ(7u, answer.size());
        ASSERT_EQ(0, answer[0]);
        handle = {answer[1], answer[2]};
    }

    Bytes withHandle(std::uint8_t sub, Bytes rest) {
        rest.insert(rest.begin(), {sub, handle[0], handle[1]});
        return rest;
    }

    ManagementController controller;
    RecordingPresenter presenter;
    Bytes handle;
};

}  // namespace

TEST_F(ControllerTest, IdentityAnswers) {
    EXPECT_EQ((Bytes{0, 0, 0, 0, 0, 0, 0x31}), send({0x30, 0xBD, {}}));
    EXPECT_EQ((Bytes{0, 0x00, 0, 0}), send({0x30, 0xAD, {0, 0}}));
    controller.settings().accessState = 2;
    EXPECT_EQ((Bytes{0, 0x02, 0, 0}), send({0x30, 0xAE, {0, 0}}));
    Bytes firmware = send({0x30, 0xBF, {0x01}});
    EXPECT_EQ(28u, firmware.size());  // the 30 response bytes the host expects
    EXPECT_EQ(0x02, firmware.at(1));
    EXPECT_EQ(0x20, firmware.at(2));
    EXPECT_EQ((Bytes(21, 0)), send({0x30, 0xBF, {0x04}}));
    controller.settings().monolithic = true;
    EXPECT_EQ((Bytes{ManagementController::kInvalidCommand}), send({0x30, 0xBD, {}}));
    EXPECT_EQ((Bytes{ManagementController::kInvalidCommand}), send({0x0A, 0x10, {}}));
    EXPECT_EQ((Bytes{ManagementController::kNotImplemented}), send(storage({0x30})));
}

// What the Linux IPMI driver sends when it loads, answered the way it needs
// to register the interface.
TEST_F(ControllerTest, AnswersTheLinuxDriverStartUp) {
    Bytes id = send({0x06, 0x01, {}});
    ASSERT_GE(id.size(), 7u);  // completion code and at least six data bytes
    EXPECT_EQ(0, id[0]);
    EXPECT_EQ(0x02, id[3]);  // firmware revision: the controller's version
    EXPECT_EQ(0x20, id[4]);
    EXPECT_EQ(0x02, id[5]);  // IPMI 2.0
    EXPECT_EQ((Bytes{0, 0x00}), send({0x06, 0x2F, {}}));
    EXPECT_EQ((Bytes{0}), send({0x06, 0x2E, {0x0D}}));
    EXPECT_EQ(0x0D, controller.globalEnables());
    EXPECT_EQ((Bytes{0, 0x0D}), send({0x06, 0x2F, {}}));
    EXPECT_EQ((Bytes{ManagementController::kInvalidLength}), send({0x06, 0x2E, {}}));
    EXPECT_EQ((Bytes{0}), send({0x06, 0x30, {0x0B}}));
    EXPECT_EQ((Bytes{0, 0x00}), send({0x06, 0x31, {}}));
    for (std::uint8_t unanswered : {0x08, 0x35, 0x42}) {  // GUID, event buffer, channel info
        EXPECT_EQ((Bytes{ManagementController::kInvalidCommand}), send({0x06, unanswered, {0x0E}}));
    }
}

TEST_F(ControllerTest, SessionsHandlesAndRefusals) {
    // Storage commands need the session's handle.
    EXPECT_EQ((Bytes{ManagementController::kNoSession}), send(storage({0x03, 0x2B, 0x1A})));
    begin();
    EXPECT_EQ((Bytes{0x2B, 0x1A}), handle);
    EXPECT_EQ(1200, controller.sessionTimeout());
    EXPECT_EQ((Bytes{ManagementController::kNoSession}), send(storage({0x03, 0x00, 0x00})));
    EXPECT_EQ((Bytes{ManagementController::kInvalidLength}), send(storage({0x03, 0x2B})));
    EXPECT_EQ(0, send(storage(withHandle(0x03, {0, 0}))).at(0));

    // A renewed handle replaces the old one.
    controller.script().queue(storageCommand(0x03), Behaviour::renewedHandle());
    Bytes renewed = send(storage(withHandle(0x03, {0, 0})));
    Bytes newHandle{renewed.at(1), renewed.at(2)};
    EXPECT_NE(handle, newHandle);
    EXPECT_EQ((Bytes{ManagementController::kNoSession}), send(storage(withHandle(0x03, {0, 0}))));
    handle = newHandle;
    EXPECT_EQ((Bytes{0, 0, 0}), send(storage(withHandle(0x01, {0, 0}))));
    EXPECT_FALSE(controller.sessionOpen());

    // A refused begin changes nothing; the plain begin wants mode 0.
    controller.script().onCall(storageCommand(0x00), 1, Behaviour::code(0x05));
    EXPECT_EQ((Bytes{0x05}), send(storage({0x00, 0x00, 0x3C, 0x00, 0, 0})));
    EXPECT_FALSE(controller.sessionOpen());
    EXPECT_EQ((Bytes{ManagementController::kInvalidField}),
              send(storage({0x00, 0x02, 0, 0, 0, 0})));
    EXPECT_EQ(0, send(storage({0x00, 0x00, 0x3C, 0x00, 0, 0})).at(0));
    EXPECT_EQ(60, controller.sessionTimeout());
}

TEST_F(ControllerTest, ScriptPrecedenceAndSilence) {
    CommandKey type = oemCommand(0xAD);
    controller.script().always(type, Behaviour::code(8));
    controller.script().queue(type, Behaviour::code(16));
    controller.script().onCall(type, 1, Behaviour::code(3));
    EXPECT_EQ((Bytes{3}), send({0x30, 0xAD, {0, 0}}));
    EXPECT_EQ((Bytes{16}), send({0x30, 0xAD, {0, 0}}));
    EXPECT_EQ((Bytes{8}), send({0x30, 0xAD, {0, 0}}));
    controller.script().clear();
    controller.script().queue(type, Behaviour::silent());
    EXPECT_FALSE(controller.exchange({0x30, 0xAD, {0, 0}}).has_value());
    EXPECT_EQ((Bytes{0, 0, 0, 0}), send({0x30, 0xAD, {0, 0}}));
    EXPECT_EQ(5u, controller.callCount(type));
    ASSERT_EQ(5u, controller.exchanges().size());
    EXPECT_FALSE(controller.exchanges()[3].response.has_value());
    EXPECT_EQ((std::vector<Bytes>(5, Bytes{0, 0})), controller.requestsFor(type));
}

TEST_F(ControllerTest, PendingCommandsReportThroughTheStatusCommand) {
    begin();
    controller.script().queue(storageCommand(0x07), Behaviour::pending(2, 0));
    Bytes create = withHandle(0x07, {2, 0, 'S', 'E', 'C', 'U', 'P', 'D', 0x40});
    EXPECT_EQ(2, send(storage(create)).at(0));
    EXPECT_TRUE(controller.hasPending(0x07));
    // A resend of the running command is answered alike and runs nothing.
    EXPECT_EQ(2, send(storage(create)).at(0));
    Bytes status = withHandle(0x0A, {0x07, 0, 0});
    EXPECT_EQ((Bytes{0, 0, 0, 2, 0}), send(storage(status)));
    EXPECT_EQ((Bytes{0, 0, 0, 2, 0}), send(storage(status)));
    EXPECT_EQ((Bytes{0, 0, 0, 0, 0}), send(storage(status)));
    EXPECT_FALSE(controller.hasPending(0x07));
    EXPECT_EQ(0x0001, controller.storage().dynamicBitmap());

    // A pending command that ends in failure has no effect.
    controller.script().queue(storageCommand(0x07), Behaviour::pending(0, 5, 255));
    EXPECT_EQ(255, send(storage(create)).at(0));
    EXPECT_EQ((Bytes{0, 0, 0, 5, 0}), send(storage(status)));
    EXPECT_EQ(0x0001, controller.storage().dynamicBitmap());

    // Only storage sub-commands stay pending; a begin is not taken for one.
    controller.script().queue(oemCommand(0xAD), Behaviour::pending(3));
    EXPECT_EQ(2, send({0x30, 0xAD, {0, 0}}).at(0));
    EXPECT_FALSE(controller.hasPending(0x00));
    EXPECT_EQ(0, send(storage({0x00, 0x00, 0x3C, 0x00, 0, 0})).at(0));
}

TEST_F(ControllerTest, PartitionsAttachDetachCreateDelete) {
    begin();
    Bytes index = send(storage(withHandle(0x03, {0, 0})));
    EXPECT_EQ((Bytes{0, 0, 0, 0x00, 0x05, 0, 0, 0x00, 0x00, 0, 0}), index);
    Bytes info = send(storage(withHandle(0x04, {0x00, 2, 0, 0})));
    EXPECT_EQ("VSK003", std::string(info.begin() + 5, info.begin() + 11));
    EXPECT_EQ((Bytes{ManagementController::kInvalidIndex}),
              send(storage(withHandle(0x04, {0x00, 1, 0, 0}))));

    // Two dynamic slots: the third create finds none.
    Bytes create = withHandle(0x07, {1, 0, 'S', 'E', 'C', 'U', 'P', 'D', 0x40});
    EXPECT_EQ(0, send(storage(create)).at(0));
    EXPECT_EQ(0, send(storage(create)).at(0));
    EXPECT_EQ((Bytes{ManagementController::kDeviceFull}), send(storage(create)));
    EXPECT_EQ(0x0003, controller.storage().dynamicBitmap());
    EXPECT_EQ(0x40, controller.storage().find(true, 1)->createFlags);

    // Attach static slot 2 and dynamic slot 1; masks travel high byte first.
    EXPECT_EQ(0, send(storage(withHandle(0x05, {0x00, 0x04, 0, 0, 0x00, 0x02, 0, 0}))).at(0));
    EXPECT_EQ((std::vector<std::string>{"+VSK003", "+SECUPD"}), presenter.calls);
    EXPECT_EQ(0x0002, controller.storage().attachedMask(true));
    EXPECT_EQ((Bytes{ManagementController::kResourceLocked}),
              send(storage(withHandle(0x08, {0x00, 0x02, 0, 0, 0, 0}))));
    // Detach everything: bits of absent slots are ignored.
    EXPECT_EQ(0, send(storage(withHandle(0x06, {0x00, 0xFF, 0, 0, 0x00, 0xFF, 0, 0}))).at(0));
    EXPECT_EQ((std::vector<std::string>{"+VSK003", "+SECUPD", "-VSK003", "-SECUPD"}),
              presenter.calls);
    EXPECT_EQ(0, send(storage(withHandle(0x08, {0x00, 0x02, 0, 0, 0, 0}))).at(0));
    EXPECT_EQ(0x0001, controller.storage().dynamicBitmap());
    EXPECT_EQ((Bytes{ManagementController::kInvalidIndex}),
              send(storage(withHandle(0x08, {0x00, 0x02, 0, 0, 0, 0}))));
}

TEST_F(ControllerTest, PartitionsAreFatImagesLabelledLikeThem) {
    begin();
    EXPECT_EQ(0, send(storage(withHandle(0x07, {2, 0, 'S', 'E', 'C', 'U', 'P', 'D', 0x40}))).at(0));
    std::string dropBox = controller.storage().find(true, 0)->image.imagePath;
    ASSERT_TRUE(std::filesystem::exists(dropBox));
    EXPECT_EQ(65536u, std::filesystem::file_size(dropBox));
    EXPECT_NE(std::string::npos, readTextFile(dropBox).substr(0, 512).find("SECUPD     "));

    // A static partition gets its image when first shown, the size it has.
    EXPECT_TRUE(controller.storage().find(false, 2)->image.imagePath.empty());
    send(storage(withHandle(0x05, {0x00, 0x04, 0, 0, 0x00, 0x01, 0, 0})));
    std::string eli = controller.storage().find(false, 2)->image.imagePath;
    EXPECT_EQ(100u << 20, std::filesystem::file_size(eli));
    EXPECT_TRUE(controller.writePartitionFile(false, 2, "a/b.txt", "static"));
    EXPECT_EQ("static", controller.readPartitionFile(false, 2, "a/b.txt").value_or(""));
    EXPECT_FALSE(controller.readPartitionFile(false, 1, "a/b.txt").has_value());
    EXPECT_FALSE(controller.writePartitionFile(true, 1, "x", "no such partition"));

    send(storage(withHandle(0x06, {0x00, 0x04, 0, 0, 0x00, 0x01, 0, 0})));
    EXPECT_EQ(0, send(storage(withHandle(0x08, {0x00, 0x01, 0, 0, 0, 0}))).at(0));
    EXPECT_FALSE(std::filesystem::exists(dropBox));
    EXPECT_TRUE(std::filesystem::exists(eli));
}

TEST_F(ControllerTest, ColdResetClosesTheSessionAndWithdrawsDisks) {
    begin();
    send(storage(withHandle(0x05, {0x00, 0x01, 0, 0, 0, 0, 0, 0})));
    send(storage(withHandle(0x11, {0, 0x04, 0, 0})));
    EXPECT_EQ(0x04, controller.stateFlag());
    EXPECT_EQ((Bytes{0}), send({0x06, 0x02, {}}));
    EXPECT_EQ(1u, controller.coldResets());
    EXPECT_FALSE(controller.sessionOpen());
    EXPECT_EQ((std::vector<std::string>{"+VSK001", "-VSK001"}), presenter.calls);
}

TEST(ServerDescriptionTest, BundledDefaultServer) {
    ServerDescription server = loadServerDescription(bundledServersDirectory() + "/default.xml");
    EXPECT_EQ("default", server.name);
    EXPECT_EQ(0x31, server.controller.generationByte);
    EXPECT_EQ(0x00, server.controller.storageTypeByte);
    EXPECT_EQ(0x00, server.controller.accessState);
    EXPECT_EQ(2, server.controller.firmwareMajor);
    EXPECT_EQ(0x20, server.controller.firmwareMinor);
    ASSERT_EQ(6u, server.controller.staticPartitions.size());
    EXPECT_EQ("VSK022", server.controller.staticPartitions[5].label);
    EXPECT_EQ(5, server.controller.staticPartitions[5].slot);
    ManagementController controller(server.controller);
    EXPECT_EQ(0x003F, controller.storage().staticBitmap());
}

TEST(ServerDescriptionTest, HostVariant) {
    HostConfig typical =
        parseServerDescription(R"(<VirtualServer><Controller storageType="None"/></VirtualServer>)")
            .host;
    EXPECT_TRUE(typical.scsiGenericSysfs);
    EXPECT_TRUE(typical.sgLoaded);
    EXPECT_EQ(1u, typical.fixedDisks);
    HostConfig host = parseServerDescription(R"(<VirtualServer>
        <Controller storageType="None"/>
        <Host scsiGenericSysfs="false" sgLoaded="0" fixedDisks="2" settleSeconds="12"
              partitionTable="true" ipmi="absent"/></VirtualServer>)")
                          .host;
    EXPECT_FALSE(host.scsiGenericSysfs);
    EXPECT_FALSE(host.sgLoaded);
    EXPECT_EQ(2u, host.fixedDisks);
    EXPECT_EQ(12u, host.settleSeconds);
    EXPECT_TRUE(host.partitionTable);
    EXPECT_EQ("absent", host.ipmi);
    EXPECT_EQ("loaded", typical.ipmi);
    EXPECT_THROW(
        parseServerDescription(R"(<VirtualServer><Host fixedDisks="27"/></VirtualServer>)"),
        ServerDescriptionError);
}

// A misspelt or missing name makes a description unusable: it would give
// "(no records)" and pass for a server without components.
TEST(ServerDescriptionTest, UnknownOrMissingNamesAreRefusedWithTheirLine) {
    const struct {
        const char* text;
        const char* reason;
        int line;
    } cases[] = {
        {"<VirtualServer>\n<Controler/>\n</VirtualServer>",
         "unknown element <Controler> in <VirtualServer>", 2},
        {"<VirtualServer>\n<Controller>\n<Recrods/></Controller></VirtualServer>",
         "unknown element <Recrods> in <Controller>", 3},
        {"<VirtualServer><Host os=\"centos\"/></VirtualServer>",
         "<VirtualServer> has no <Controller>", 1},
        {"<VirtualServer>\n<Controller storageType=\"Full\"/></VirtualServer>",
         "<Controller> with storage has no <Records>", 2},
        {"<VirtualServer><Controller storageType=\"None\"/>\n<Host sgloaded=\"false\"/>"
         "</VirtualServer>",
         "unknown attribute sgloaded of <Host>", 2},
        {"<VirtualServer><Controller><Records processingpolls=\"2\"/></Controller>"
         "</VirtualServer>",
         "unknown attribute processingpolls of <Records>", 1},
        {"<VirtualServer><Controller storageType=\"None\"/><Host ipmi=\"maybe\"/>"
         "</VirtualServer>",
         "ipmi is loaded, unloaded or absent: maybe", 1},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.text);
        try {
            parseServerDescription(each.text);
            ADD_FAILURE() << "accepted";
        } catch (const ServerDescriptionError& error) {
            EXPECT_EQ(each.reason, std::string(error.what()));
            EXPECT_EQ(each.line, error.line());
        }
    }
    // The record documents are the controller's own, not checked.
    EXPECT_NO_THROW(parseServerDescription(
        "<VirtualServer><Controller><Records><Current><SVMInventory><Anything x=\"1\"/>"
        "</SVMInventory></Current></Records></Controller></VirtualServer>"));
}

TEST(ServerDescriptionTest, ReadsEveryAttributeAndRefusesNonsense) {
    ServerDescription server = parseServerDescription(R"(<VirtualServer name="lite">
        <Controller generation="0x62" storageType="Liter" accessState="010" monolithic="true"
                    firstHandle="0x0102">
          <Firmware major="08" minor="30"/>
          <Storage dynamicSlots="1"><StaticPartition slot="7" label="VSK023"/></Storage>
          <Records/>
          <Staging stageAnswer="3" stageStatuses="2 2 38" digestMethods="0x03"
                   corruptsPlacedFiles="true"/>
        </Controller><Host systemId="9Z9Z"/></VirtualServer>)");
    EXPECT_EQ(0x62, server.controller.generationByte);
    EXPECT_EQ(2, server.controller.storageTypeByte);
    EXPECT_EQ(10, server.controller.accessState);  // decimal, never octal
    EXPECT_TRUE(server.controller.monolithic);
    EXPECT_EQ(0x0102, server.controller.firstHandle);
    EXPECT_EQ(8, server.controller.firmwareMajor);
    EXPECT_EQ(30, server.controller.firmwareMinor);
    EXPECT_EQ(1, server.controller.dynamicSlots);
    EXPECT_EQ(7, server.controller.staticPartitions.at(0).slot);
    EXPECT_EQ(3, server.controller.staging.stageAnswer);
    EXPECT_EQ((std::vector<std::uint8_t>{2, 2, 38}), server.controller.staging.stageStatuses);
    EXPECT_EQ(3, server.controller.staging.digestMethods);
    EXPECT_TRUE(server.controller.stagingFaults.corruptPlacedFiles);
    EXPECT_EQ("9Z9Z", server.host.systemId);

    const char* bad[] = {
        "<VirtualServer><Controller",
        "<Server/>",
        R"(<VirtualServer><Controller generation="0x100"/></VirtualServer>)",
        R"(<VirtualServer><Controller generation="-1"/></VirtualServer>)",
        R"(<VirtualServer><Controller generation="0x"/></VirtualServer>)",
        R"(<VirtualServer><Controller generation="1f"/></VirtualServer>)",
        R"(<VirtualServer><Controller monolithic="maybe"/></VirtualServer>)",
        R"(<VirtualServer><Controller firstHandle="0"/></VirtualServer>)",
        R"(<VirtualServer><Controller><Staging stageStatuses="2 256"/></Controller></VirtualServer>)",
        R"(<VirtualServer><Controller><Staging stageStatuses=" "/></Controller></VirtualServer>)",
        R"(<VirtualServer><Controller><Storage><StaticPartition slot="16" label="VSK001"/>)"
        R"(</Storage></Controller></VirtualServer>)",
        R"(<VirtualServer><Controller><Storage><StaticPartition slot="1" label="VSK1"/>)"
        R"(</Storage></Controller></VirtualServer>)",
        R"(<VirtualServer><Controller><Storage><StaticPartition slot="1" label="VSK001"/>)"
        R"(<StaticPartition slot="1" label="VSK002"/></Storage></Controller></VirtualServer>)",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        EXPECT_THROW(parseServerDescription(text), ServerDescriptionError);
    }
    EXPECT_THROW(loadServerDescription("/nonexistent/server.xml"), ServerDescriptionError);
}
