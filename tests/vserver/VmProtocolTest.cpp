#include "vserver/VmProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

#include "vserver/ManagementController.h"
#include "vserver/QmpPresenter.h"
#include "vserver/VmBmcSession.h"

namespace {

using vmprotocol::Bytes;

Bytes feedAll(VmBmcSession& session, const Bytes& bytes) {
    return session.receive(bytes.data(), bytes.size());
}

TEST(VmProtocolTest, EscapesTheSpecialBytesAndReadsThemBack) {
    Bytes content{0x01, 0xA0, 0xA1, 0xAA, 0xB0, 0x00};
    Bytes frame = vmprotocol::encodeFrame(content, vmprotocol::kMessageEnd);
    EXPECT_EQ((Bytes{0x01, 0xAA, 0xB0, 0xAA, 0xB1, 0xAA, 0xBA, 0xB0, 0x00, 0xA0}), frame);

    // Split anywhere, even between an escape and its byte; control frames
    // come out as such.
    vmprotocol::FrameReader reader;
    Bytes stream = frame;
    stream.insert(stream.end(), {0xFF, 0x01, 0xA1});
    std::vector<vmprotocol::Frame> frames;
    for (std::size_t at = 0; at < stream.size(); at += 2) {
        for (vmprotocol::Frame& f :
             reader.feed(stream.data() + at, std::min<std::size_t>(2, stream.size() - at))) {
            frames.push_back(std::move(f));
        }
    }
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(vmprotocol::Frame::Kind::Message, frames[0].kind);
    EXPECT_EQ(content, frames[0].bytes);
    EXPECT_EQ(vmprotocol::Frame::Kind::Control, frames[1].kind);
    EXPECT_EQ((Bytes{0xFF, 0x01}), frames[1].bytes);
}

TEST(VmProtocolTest, RequestsNeedTheirChecksum) {
    // Sequence 0x11, netfn 6 lun 0, Get Device ID.
    Bytes good{0x11, 0x18, 0x01};
    good.push_back(vmprotocol::checksum(good));
    EXPECT_EQ(0xD6, good.back());
    std::optional<vmprotocol::Request> parsed = vmprotocol::parseRequest(good);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(0x11, parsed->sequence);
    EXPECT_EQ(0x06, parsed->request.netfn);
    EXPECT_EQ(0x01, parsed->request.cmd);
    EXPECT_TRUE(parsed->request.data.empty());

    Bytes bad = good;
    bad.back() ^= 1;
    EXPECT_FALSE(vmprotocol::parseRequest(bad));
    EXPECT_FALSE(vmprotocol::parseRequest({0x00, 0x00, 0x00}));

    // lun 2 travels in the low bits and comes back.
    Bytes withLun{0x05, 0x30 << 2 | 2, 0xAD, 0x00};
    withLun.push_back(vmprotocol::checksum(withLun));
    parsed = vmprotocol::parseRequest(withLun);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(0x30, parsed->request.netfn);
    EXPECT_EQ(2, parsed->lun);
    EXPECT_EQ((Bytes{0x00}), parsed->request.data);
}

class VmBmcSessionTest : public ::testing::Test {
protected:
    VmBmcSessionTest()
        : session(controller, [this](const std::string& line) { log.push_back(line); }) {}

    static Bytes request(std::uint8_t sequence, std::uint8_t netfn, std::uint8_t cmd, Bytes data) {
        Bytes message(3 + data.size());
        message[0] = sequence;
        message[1] = static_cast<std::uint8_t>(netfn << 2);
        message[2] = cmd;
        std::copy(data.begin(), data.end(), message.begin() + 3);
        message.push_back(vmprotocol::checksum(message));
        return vmprotocol::encodeFrame(message, vmprotocol::kMessageEnd);
    }

    ManagementController controller;
    std::vector<std::string> log;
    VmBmcSession session;
};

TEST_F(VmBmcSessionTest, AnswersWhatQemuSendsOnConnectAndAtDriverStart) {
    // qemu's version and capabilities need no answer.
    EXPECT_TRUE(feedAll(session, {0xFF, 0x01, 0xA1, 0x08, 0x3F, 0xA1}).empty());

    Bytes reply = feedAll(session, request(0x01, 0x06, 0x01, {}));
    vmprotocol::FrameReader reader;
    std::vector<vmprotocol::Frame> frames = reader.feed(reply.data(), reply.size());
    ASSERT_EQ(1u, frames.size());
    const Bytes& message = frames[0].bytes;
    ASSERT_GE(message.size(), 11u);  // seq, netfn, cmd, code, six data bytes, checksum
    EXPECT_EQ(0x01, message[0]);
    EXPECT_EQ(0x07 << 2, message[1]);
    EXPECT_EQ(0x01, message[2]);
    EXPECT_EQ(0x00, message[3]);
    EXPECT_EQ(0, vmprotocol::checksum(message));

    // Turning the message interrupt on makes the BMC tell qemu to raise it.
    reply = feedAll(session, request(0x02, 0x06, 0x2E, {0x0D}));
    Bytes expected{0x02, 0x07 << 2, 0x2E, 0x00};
    expected.push_back(vmprotocol::checksum(expected));
    expected = vmprotocol::encodeFrame(expected, vmprotocol::kMessageEnd);
    expected.insert(expected.end(), {0x05, 0xA1});
    EXPECT_EQ(expected, reply);

    // Unknown application commands get 0xC1; a broken message none at all.
    Bytes guid = feedAll(session, request(0x03, 0x06, 0x08, {}));
    frames = reader.feed(guid.data(), guid.size());
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(0xC1, frames[0].bytes.at(3));
    EXPECT_TRUE(feedAll(session, {0x04, 0x18, 0x01, 0x00, 0xA0}).empty());
    ASSERT_FALSE(log.empty());
    EXPECT_NE(std::string::npos, log.back().find("malformed"));
}

TEST_F(VmBmcSessionTest, EscapedResponseBytesAndSequenceNumbers) {
    // A sequence number of 0xA0 is escaped on the way in and out.
    Bytes reply = feedAll(session, request(0xA0, 0x30, 0xBD, {}));
    ASSERT_GE(reply.size(), 2u);
    EXPECT_EQ(0xAA, reply[0]);
    EXPECT_EQ(0xB0, reply[1]);
    vmprotocol::FrameReader reader;
    std::vector<vmprotocol::Frame> frames = reader.feed(reply.data(), reply.size());
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(0xA0, frames[0].bytes[0]);
    EXPECT_EQ(0x31, frames[0].bytes.at(frames[0].bytes.size() - 2));  // the generation byte
}

// A monitor that answers every command and can hold events back.
class FakeQmp : public QmpChannel {
public:
    void send(const std::string& line) override {
        sent.push_back(line);
        std::optional<std::string> command = jsonStringMember(line, "execute");
        if (command == std::string("device_del") && !deleteEvent.empty()) {
            lines.push_back(
                "{\"timestamp\": {\"seconds\": 1}, \"event\": \"DEVICE_DELETED\", "
                "\"data\": {\"path\": \"/machine/peripheral/other\", \"device\": \"other\"}}");
            lines.push_back(eventFirst ? deleteEvent : "{\"return\": {}}");
            lines.push_back(eventFirst ? "{\"return\": {}}" : deleteEvent);
            return;
        }
        lines.push_back(failing == command
                            ? "{\"error\": {\"class\": \"GenericError\", \"desc\": \"no\"}}"
                            : "{\"return\": {}}");
    }
    std::optional<std::string> receive(int) override {
        if (lines.empty()) {
            return std::nullopt;
        }
        std::string line = lines.front();
        lines.pop_front();
        return line;
    }

    std::deque<std::string> lines{"{\"QMP\": {\"version\": {}, \"capabilities\": []}}"};
    std::vector<std::string> sent;
    std::string deleteEvent;
    bool eventFirst = false;
    std::optional<std::string> failing;
};

class QmpPresenterTest : public ::testing::Test {
protected:
    QmpPresenterTest()
        : presenter([this] { return std::unique_ptr<QmpChannel>(qmp = new FakeQmp(*setup)); },
                    [this](const std::string& line) { log.push_back(line); }) {}

    PartitionImage dropBox{true, 0, "SECUPD", 1 << 20, "/images/SECUPD.img", nullptr};
    std::unique_ptr<FakeQmp> setup = std::make_unique<FakeQmp>();
    FakeQmp* qmp = nullptr;
    std::vector<std::string> log;
    QmpPresenter presenter;
};

TEST_F(QmpPresenterTest, HotPlugsAndUnplugsTheImageAsAUsbDisk) {
    setup->deleteEvent =
        "{\"event\": \"DEVICE_DELETED\", \"data\": {\"device\": \"dynamic0\", \"path\": "
        "\"/machine/peripheral/dynamic0\"}}";
    for (bool eventFirst : {false, true}) {
        setup->eventFirst = eventFirst;
        presenter.present(dropBox);
        presenter.withdraw(dropBox);
    }
    ASSERT_NE(nullptr, qmp);
    std::vector<std::string> expected{
        "{\"execute\": \"qmp_capabilities\"}",
        "{\"execute\": \"blockdev-add\", \"arguments\": {\"driver\": \"raw\", \"node-name\": "
        "\"dynamic0-image1\", \"file\": {\"driver\": \"file\", \"filename\": "
        "\"/images/SECUPD.img\"}}}",
        "{\"execute\": \"device_add\", \"arguments\": {\"driver\": \"usb-storage\", \"id\": "
        "\"dynamic0\", "
        "\"drive\": \"dynamic0-image1\", \"bus\": \"xhci.0\", \"removable\": true}}",
        "{\"execute\": \"device_del\", \"arguments\": {\"id\": \"dynamic0\"}}",
        "{\"execute\": \"blockdev-del\", \"arguments\": {\"node-name\": \"dynamic0-image1\"}}"};
    ASSERT_EQ(9u, qmp->sent.size());
    EXPECT_EQ(expected, std::vector<std::string>(qmp->sent.begin(), qmp->sent.begin() + 5));
    // A fresh node each time: the old one is gone.
    EXPECT_NE(std::string::npos, qmp->sent[5].find("dynamic0-image2"));
    EXPECT_NE(std::string::npos, qmp->sent[8].find("dynamic0-image2"));
    EXPECT_EQ("withdrew SECUPD", log.back());
}

TEST_F(QmpPresenterTest, NoDeletionEventMeansTheNodeStays) {
    presenter.present(dropBox);
    presenter.withdraw(dropBox);  // the event for another device only
    ASSERT_NE(nullptr, qmp);
    EXPECT_EQ("{\"execute\": \"device_del\", \"arguments\": {\"id\": \"dynamic0\"}}",
              qmp->sent.back());
    EXPECT_EQ("withdrawing SECUPD failed: no DEVICE_DELETED event for dynamic0", log.back());

    setup->failing = "blockdev-add";
    QmpPresenter refused([this] { return std::unique_ptr<QmpChannel>(new FakeQmp(*setup)); },
                         [this](const std::string& line) { log.push_back(line); });
    refused.present(dropBox);
    EXPECT_EQ("presenting SECUPD failed: blockdev-add failed: no", log.back());
}

TEST_F(QmpPresenterTest, ARefusedDiskTakesItsNodeBackOut) {
    setup->failing = "device_add";
    presenter.present(dropBox);
    ASSERT_NE(nullptr, qmp);
    EXPECT_NE(log.end(),
              std::find(log.begin(), log.end(), "presenting SECUPD failed: device_add failed: no"));
    EXPECT_EQ(
        "{\"execute\": \"blockdev-del\", \"arguments\": {\"node-name\": "
        "\"dynamic0-image1\"}}",
        qmp->sent.back());
    std::size_t sent = qmp->sent.size();
    presenter.withdraw(dropBox);  // nothing is left to withdraw
    EXPECT_EQ(sent, qmp->sent.size());
}

TEST(QmpJsonTest, MembersOfQmpLines) {
    std::string line =
        "{\"timestamp\": {\"seconds\": 5}, \"event\": \"DEVICE_DELETED\", \"data\": "
        "{\"device\":\"a\\\"b\", \"path\": \"/x\"}}";
    EXPECT_EQ(std::string("DEVICE_DELETED"), jsonStringMember(line, "event"));
    EXPECT_EQ(std::string("a\"b"), jsonStringMember(line, "device"));
    EXPECT_FALSE(jsonStringMember(line, "timestamp"));  // not a string
    EXPECT_TRUE(jsonHasMember(line, "timestamp"));
    EXPECT_FALSE(jsonHasMember("{\"x\": \"return\"}", "return"));
    EXPECT_EQ("\"filename\": \"a\\\\b\\\"c\"", jsonMember("filename", "a\\b\"c"));
}

}  // namespace
