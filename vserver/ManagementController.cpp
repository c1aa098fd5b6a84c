#include "vserver/ManagementController.h"

#include <cstdio>

#include "vserver/Md5Digest.h"

namespace {

constexpr std::uint8_t kOemNetFn = 0x30;
constexpr std::uint8_t kAppNetFn = 0x06;
constexpr std::uint8_t kStorageCommand = 0xA2;
constexpr std::uint8_t kStatusSubCommand = 0x0A;
constexpr std::uint32_t kUnitBytes = 32768;
constexpr std::uint8_t kSecureUpdate = 0x09;
constexpr std::uint8_t kHandOverHeader = 0x00;
constexpr std::uint8_t kHandOverHashPart = 0x01;
constexpr std::size_t kDigestCharacters = 32;
constexpr std::size_t kHashCharactersPerPart = 10;
constexpr std::size_t kHandOverBytes = 4;
constexpr std::uint8_t kFinishedWithFailure = 0x01;
constexpr std::uint8_t kStagingHashHandOver = 0x10;
constexpr std::size_t kStagingBytes = 5;
// Functions of command 0x26 (request byte 3).
constexpr std::uint8_t kIdentityCheck = 0x01;
constexpr std::uint8_t kStageOnly = 0x02;
constexpr std::uint8_t kStageAndUpdate = 0x04;
constexpr std::uint8_t kStageStatus = 0x08;
constexpr std::uint8_t kSupportedMethods = 0x20;
constexpr std::uint8_t kStageReset = 0x40;
constexpr std::uint8_t kStageReplyByte = 3;
constexpr std::uint8_t kMethodsByte = 4;
constexpr std::uint8_t kSignatureMarked = 0x01;
// The secure-update sequence.
constexpr std::size_t kSecureBeginBytes = 5;
constexpr std::size_t kSecureStepBytes = 3;
constexpr std::size_t kSecureDigestAt = 5;
constexpr std::size_t kSecureDigestBytes = 16;
constexpr std::size_t kOrbeStatusBytes = 27;
constexpr std::uint8_t kOrbeStatusFunction = 0x1E;

// What the Linux IPMI driver asks when it starts (application commands).
constexpr std::uint8_t kGetDeviceId = 0x01;
constexpr std::uint8_t kColdReset = 0x02;
constexpr std::uint8_t kSetGlobalEnables = 0x2E;
constexpr std::uint8_t kGetGlobalEnables = 0x2F;
constexpr std::uint8_t kClearMessageFlags = 0x30;
constexpr std::uint8_t kGetMessageFlags = 0x31;
constexpr std::uint8_t kDeviceId = 0x20;
constexpr std::uint8_t kDeviceRevision = 0x01;
constexpr std::uint8_t kIpmiVersion20 = 0x02;
constexpr std::uint8_t kDeviceSupport = 0x00;  // no SDR, SEL or FRU to browse
constexpr std::uint8_t kManufacturer[] = {0x57, 0x01, 0x00};
constexpr std::uint8_t kProduct[] = {0x00, 0x01};
constexpr std::uint8_t kEnablesKept = 0x0F;  // interrupt, buffer, event buffer, event log

// Response bytes after the completion code, per command (the response lengths
// the host expects, less the network function, command and completion code).
constexpr std::size_t kBeginBytes = 6;
constexpr std::size_t kEndBytes = 2;
constexpr std::size_t kIndexInfoBytes = 10;
constexpr std::size_t kPartInfoBytes = 11;
constexpr std::size_t kAttachBytes = 4;
constexpr std::size_t kCreateBytes = 6;
constexpr std::size_t kDeleteBytes = 8;
constexpr std::size_t kStatusBytes = 4;
constexpr std::size_t kGetFlagBytes = 5;
constexpr std::size_t kSetFlagBytes = 4;
constexpr std::size_t kTypeBytes = 3;
constexpr std::size_t kGenerationBytes = 6;
constexpr std::size_t kCapabilityBytes = 20;       // function 0x04
constexpr std::size_t kFirmwareVersionBytes = 27;  // function 0x01

std::uint16_t littleEndian(const std::vector<std::uint8_t>& data, std::size_t at) {
    return static_cast<std::uint16_t>(data[at] | (data[at + 1] << 8));
}

// Masks travel most significant byte first.
std::uint16_t wireMask(const std::vector<std::uint8_t>& data, std::size_t at) {
    return static_cast<std::uint16_t>((data[at] << 8) | data[at + 1]);
}

void putWireMask(std::vector<std::uint8_t>& bytes, std::size_t responseByte, std::uint16_t mask) {
    bytes[responseByte - 1] = static_cast<std::uint8_t>(mask >> 8);
    bytes[responseByte] = static_cast<std::uint8_t>(mask & 0xFF);
}

}  // namespace

ManagementController::ManagementController(ControllerConfig config)
    : initialConfig_(config),
      config_(std::move(config)),
      store_(config_.dynamicSlots, config_.dynamicCapacityBytes) {
    addStaticPartitions();
    using M = ManagementController;
    handlers_ = {
        {storageCommand(0x00), {&M::beginSession, 4, false}},
        {storageCommand(0x01), {&M::endSession, 3, true}},
        {storageCommand(0x03), {&M::partitionIndexInfo, 3, true}},
        {storageCommand(0x04), {&M::partitionInfo, 5, true}},
        {storageCommand(0x05), {&M::attachPartitions, 9, true}},
        {storageCommand(0x06), {&M::detachPartitions, 9, true}},
        {storageCommand(0x07), {&M::createDynamicPartition, 12, true}},
        {storageCommand(0x08), {&M::deleteDynamicPartition, 5, true}},
        {storageCommand(0x09), {&M::secureVeskUpdate, 11, true}},
        {storageCommand(0x26), {&M::stageAndUpdate, 5, true}},
        {storageCommand(0x20), {&M::beginSecureUpdate, 8, true}},
        {storageCommand(0x22), {&M::processSecureUpdate, 21, true}},
        {storageCommand(0x23), {&M::endSecureUpdate, 3, true}},
        {oemCommand(0xA9), {&M::orbeStatus, 1, false}},
        {storageCommand(0x0A), {&M::veskStatus, 4, true}},
        {storageCommand(0x10), {&M::getStateFlag, 3, true}},
        {storageCommand(0x11), {&M::setStateFlag, 5, true}},
        {storageCommand(0x12), {&M::beginSessionExtended, 4, false}},
        {oemCommand(0xAD), {&M::storageType, 0, false}},
        {oemCommand(0xAE), {&M::accessState, 0, false}},
        {oemCommand(0xBD), {&M::systemGeneration, 0, false}},
        {oemCommand(0xBF), {&M::capability, 1, false}},
        {CommandKey{kAppNetFn, kGetDeviceId, -1}, {&M::deviceId, 0, false}},
        {CommandKey{kAppNetFn, kColdReset, -1}, {&M::coldReset, 0, false}},
        {CommandKey{kAppNetFn, kSetGlobalEnables, -1}, {&M::setGlobalEnables, 1, false}},
        {CommandKey{kAppNetFn, kGetGlobalEnables, -1}, {&M::getGlobalEnables, 0, false}},
        {CommandKey{kAppNetFn, kClearMessageFlags, -1}, {&M::clearMessageFlags, 1, false}},
        {CommandKey{kAppNetFn, kGetMessageFlags, -1}, {&M::getMessageFlags, 0, false}},
    };
}

CommandKey ManagementController::keyOf(const IpmiRequest& request) {
    CommandKey key{request.netfn, request.cmd, -1};
    if (request.netfn == kOemNetFn && request.cmd == kStorageCommand && !request.data.empty()) {
        key.sub = request.data[0];
    }
    return key;
}

std::optional<IpmiResponse> ManagementController::exchange(const IpmiRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    CommandKey key = keyOf(request);
    unsigned callNumber = ++calls_[key];
    std::optional<Behaviour> behaviour = script_.take(key, callNumber);
    if (behaviour && behaviour->noAnswer) {
        exchanges_.push_back({request, std::nullopt});
        return std::nullopt;
    }
    if (behaviour) {
        return respond(request, scripted(key, request, *behaviour));
    }
    // A resend of a command that is still running (the library repeats a
    // code-255 answer) gets the same answer and does not run it again.
    if (const PendingCommand* command = running(key, request)) {
        return respond(request, command->accepted);
    }
    return respond(request, dispatch(key, request));
}

void ManagementController::addStaticPartitions() {
    for (const StaticPartitionConfig& partition : config_.staticPartitions) {
        store_.addStatic(partition.slot, partition.label,
                         static_cast<std::uint64_t>(partition.sizeMB) * 1048576, partition.name);
    }
}

void ManagementController::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint16_t all = 0xFFFF;
    store_.detach(all, all, presenter_);
    for (const ControllerPartition& partition : store_.all()) {
        images_.remove(partition.image.imagePath);
    }
    config_ = initialConfig_;
    store_ = PartitionStore(config_.dynamicSlots, config_.dynamicCapacityBytes);
    addStaticPartitions();
    script_.clear();
    calls_.clear();
    exchanges_.clear();
    pending_.clear();
    sessionOpen_ = false;
    handle_ = 0;
    lastIssuedHandle_ = 0;
    sessionTimeout_ = 0;
    sessionsBegun_ = 0;
    coldResets_ = 0;
    globalEnables_ = 0;
    handoverMask_ = 0;
    handedDigest_.clear();
    stagingDigest_.clear();
    outcomes_.clear();
    stageRequests_.clear();
    secureUpdateSlot_.reset();
    secureUpdatePayload_ = 0;
}

const ManagementController::PendingCommand* ManagementController::running(
    const CommandKey& key, const IpmiRequest& request) const {
    if (key.netfn != kOemNetFn || key.cmd != kStorageCommand || key.sub < 0 ||
        key.sub == kStatusSubCommand) {
        return nullptr;
    }
    auto found = pending_.find(static_cast<std::uint8_t>(key.sub));
    if (found == pending_.end()) {
        return nullptr;
    }
    // Another request of the same command is a new command, not a resend.
    const std::vector<std::uint8_t>& sent = found->second.request;
    return sent.empty() || sent == request.data ? &found->second : nullptr;
}

std::optional<IpmiResponse> ManagementController::respond(const IpmiRequest& request,
                                                          const Answer& answer) {
    IpmiResponse response;
    response.netfn = static_cast<std::uint8_t>(request.netfn + 1);
    response.cmd = request.cmd;
    response.data.push_back(answer.code);
    response.data.insert(response.data.end(), answer.bytes.begin(), answer.bytes.end());
    exchanges_.push_back({request, response});
    return response;
}

ManagementController::Answer ManagementController::scripted(const CommandKey& key,
                                                            const IpmiRequest& request,
                                                            const Behaviour& behaviour) {
    if (behaviour.completionCode.value_or(0) != 0) {
        return Answer{*behaviour.completionCode,
                      behaviour.data.value_or(std::vector<std::uint8_t>{})};
    }
    Answer answer;
    bool runs = !behaviour.pendingPolls || behaviour.finalStatus == 0;
    if (runs) {
        answer = dispatch(key, request);
        if (answer.code != 0) {
            return answer;
        }
    }
    if (behaviour.data) {
        answer.bytes = *behaviour.data;
    }
    if (behaviour.pendingPolls) {
        answer.code = behaviour.pendingCode;
        // Only storage sub-commands can be asked about with "GetVESKStatus".
        if (key.sub >= 0) {
            pending_[static_cast<std::uint8_t>(key.sub)] = PendingCommand{
                *behaviour.pendingPolls, behaviour.finalStatus, answer, request.data};
        }
        return answer;
    }
    if (behaviour.renewHandle) {
        renewHandle(answer);
    }
    return answer;
}

ManagementController::Answer ManagementController::dispatch(const CommandKey& key,
                                                            const IpmiRequest& request) {
    const HandlerEntry* entry = handlerFor(key);
    if (entry == nullptr) {
        bool storage = key.netfn == kOemNetFn && key.cmd == kStorageCommand;
        return Answer{storage ? kNotImplemented : kInvalidCommand, {}};
    }
    if (request.data.size() < entry->minimumData) {
        return Answer{kInvalidLength, {}};
    }
    if (entry->needsSession && !handleMatches(request)) {
        return Answer{kNoSession, {}};
    }
    // A request the model cannot carry out is refused: no exception ever
    // crosses the IPMI device into the plug-in.
    try {
        return (this->*entry->handler)(request);
    } catch (const std::exception&) {
        return Answer{kCannotRespond, {}};
    }
}

const ManagementController::HandlerEntry* ManagementController::handlerFor(
    const CommandKey& key) const {
    auto found = handlers_.find(key);
    return found == handlers_.end() ? nullptr : &found->second;
}

bool ManagementController::handleMatches(const IpmiRequest& request) const {
    return sessionOpen_ && littleEndian(request.data, 1) == handle_;
}

std::uint16_t ManagementController::nextHandle() {
    std::uint16_t handle = lastIssuedHandle_ == 0
                               ? config_.firstHandle
                               : static_cast<std::uint16_t>(lastIssuedHandle_ + 0x0102);
    if (handle == 0) {
        handle = 0x0102;
    }
    lastIssuedHandle_ = handle;
    return handle;
}

void ManagementController::openSession(std::uint16_t timeout) {
    handle_ = nextHandle();
    sessionOpen_ = true;
    sessionTimeout_ = timeout;
    ++sessionsBegun_;
}

void ManagementController::renewHandle(Answer& answer) {
    if (!sessionOpen_) {
        return;
    }
    handle_ = nextHandle();
    if (answer.bytes.size() < 2) {
        answer.bytes.resize(2, 0);
    }
    answer.bytes[0] = static_cast<std::uint8_t>(handle_ & 0xFF);
    answer.bytes[1] = static_cast<std::uint8_t>(handle_ >> 8);
}

ManagementController::Answer ManagementController::beginSession(const IpmiRequest& request) {
    return beginSessionWithMode(request, 0x00);
}

ManagementController::Answer ManagementController::beginSessionExtended(
    const IpmiRequest& request) {
    return beginSessionWithMode(request, 0x02);
}

// Both begin commands carry their mode in data byte 1 and the session
// time-out after it.
ManagementController::Answer ManagementController::beginSessionWithMode(const IpmiRequest& request,
                                                                        std::uint8_t mode) {
    if (request.data[1] != mode) {
        return Answer{kInvalidField, {}};
    }
    openSession(littleEndian(request.data, 2));
    Answer answer{0, std::vector<std::uint8_t>(kBeginBytes, 0)};
    answer.bytes[0] = static_cast<std::uint8_t>(handle_ & 0xFF);
    answer.bytes[1] = static_cast<std::uint8_t>(handle_ >> 8);
    return answer;
}

ManagementController::Answer ManagementController::endSession(const IpmiRequest&) {
    sessionOpen_ = false;
    handle_ = 0;
    pending_.clear();
    return Answer{0, std::vector<std::uint8_t>(kEndBytes, 0)};
}

ManagementController::Answer ManagementController::partitionIndexInfo(const IpmiRequest&) {
    Answer answer{0, std::vector<std::uint8_t>(kIndexInfoBytes, 0)};
    putWireMask(answer.bytes, 3, store_.staticBitmap());
    putWireMask(answer.bytes, 7, store_.dynamicBitmap());
    return answer;
}

ManagementController::Answer ManagementController::partitionInfo(const IpmiRequest& request) {
    std::uint8_t kind = request.data[3];
    if (kind != 0x00 && kind != 0x80) {
        return Answer{kInvalidField, {}};
    }
    const ControllerPartition* partition = store_.find(kind == 0x80, request.data[4]);
    if (partition == nullptr) {
        return Answer{kInvalidIndex, {}};
    }
    Answer answer{0, std::vector<std::uint8_t>(kPartInfoBytes, 0)};
    std::string label = partition->image.label;
    label.resize(6, ' ');
    for (std::size_t i = 0; i < 6; ++i) {
        answer.bytes[4 + i] = static_cast<std::uint8_t>(label[i]);
    }
    return answer;
}

ManagementController::Answer ManagementController::attachPartitions(const IpmiRequest& request) {
    attachSelected(wireMask(request.data, 3), wireMask(request.data, 7));
    return Answer{0, std::vector<std::uint8_t>(kAttachBytes, 0)};
}

ManagementController::Answer ManagementController::detachPartitions(const IpmiRequest& request) {
    store_.detach(wireMask(request.data, 3), wireMask(request.data, 7), presenter_);
    return Answer{0, std::vector<std::uint8_t>(kAttachBytes, 0)};
}

ManagementController::Answer ManagementController::createDynamicPartition(
    const IpmiRequest& request) {
    std::uint16_t units = littleEndian(request.data, 3);
    if (units == 0) {
        return Answer{kInvalidField, {}};
    }
    std::string label(request.data.begin() + 5, request.data.begin() + 11);
    std::optional<int> slot =
        makeDynamic(label, static_cast<std::uint64_t>(units) * kUnitBytes, request.data[11]);
    if (!slot) {
        return Answer{kDeviceFull, {}};
    }
    return Answer{0, std::vector<std::uint8_t>(kCreateBytes, 0)};
}

ManagementController::Answer ManagementController::deleteDynamicPartition(
    const IpmiRequest& request) {
    std::uint16_t mask = wireMask(request.data, 3);
    std::uint16_t selected = mask & store_.dynamicBitmap();
    if (selected == 0) {
        return Answer{kInvalidIndex, {}};
    }
    if ((selected & store_.attachedMask(true)) != 0) {
        return Answer{kResourceLocked, {}};
    }
    for (int slot = 0; slot < PartitionStore::kMaxSlots; ++slot) {
        if ((selected & (1u << slot)) != 0) {
            removeDynamic(slot);
        }
    }
    return Answer{0, std::vector<std::uint8_t>(kDeleteBytes, 0)};
}

ManagementController::Answer ManagementController::veskStatus(const IpmiRequest& request) {
    Answer answer{0, std::vector<std::uint8_t>(kStatusBytes, 0)};
    auto found = pending_.find(request.data[3]);
    if (found == pending_.end()) {
        return answer;  // nothing running: finished
    }
    if (found->second.pollsLeft > 0) {
        --found->second.pollsLeft;
        answer.bytes[2] = 2;
        return answer;
    }
    answer.bytes[2] = found->second.finalStatus;
    pending_.erase(found);
    return answer;
}

ManagementController::Answer ManagementController::getStateFlag(const IpmiRequest&) {
    Answer answer{0, std::vector<std::uint8_t>(kGetFlagBytes, 0)};
    answer.bytes[2] = config_.stateFlag;
    return answer;
}

ManagementController::Answer ManagementController::setStateFlag(const IpmiRequest& request) {
    config_.stateFlag = request.data[4];
    return Answer{0, std::vector<std::uint8_t>(kSetFlagBytes, 0)};
}

ManagementController::Answer ManagementController::storageType(const IpmiRequest&) {
    Answer answer{0, std::vector<std::uint8_t>(kTypeBytes, 0)};
    answer.bytes[0] = config_.storageTypeByte;
    return answer;
}

ManagementController::Answer ManagementController::accessState(const IpmiRequest&) {
    Answer answer{0, std::vector<std::uint8_t>(kTypeBytes, 0)};
    answer.bytes[0] = config_.accessState;
    return answer;
}

ManagementController::Answer ManagementController::systemGeneration(const IpmiRequest&) {
    if (config_.monolithic) {
        return Answer{kInvalidCommand, {}};
    }
    Answer answer{0, std::vector<std::uint8_t>(kGenerationBytes, 0)};
    answer.bytes[5] = config_.generationByte;
    return answer;
}

ManagementController::Answer ManagementController::capability(const IpmiRequest& request) {
    switch (request.data[0]) {
        case 0x01: {
            Answer answer{0, std::vector<std::uint8_t>(kFirmwareVersionBytes, 0)};
            answer.bytes[0] = config_.firmwareMajor;
            answer.bytes[1] = config_.firmwareMinor;
            return answer;
        }
        case 0x04:
            return Answer{0, std::vector<std::uint8_t>(kCapabilityBytes, 0)};
        default:
            return Answer{kInvalidField, {}};
    }
}

// The digest hand-over: a header naming the drop box, then the digest text in
// parts of up to ten characters. The whole digest starts the exchange, which
// runs for processingPolls status polls.
ManagementController::Answer ManagementController::secureVeskUpdate(const IpmiRequest& request) {
    Answer accepted{0, std::vector<std::uint8_t>(kHandOverBytes, 0)};
    switch (request.data[3]) {
        case kHandOverHeader:
            handoverMask_ = wireMask(request.data, 4);
            handedDigest_.clear();
            return accepted;
        case kHandOverHashPart:
            if (request.data.size() < 4 + kHashCharactersPerPart) {
                return Answer{kInvalidLength, {}};
            }
            for (std::size_t i = 4; i < 4 + kHashCharactersPerPart; ++i) {
                if (request.data[i] != 0) {
                    handedDigest_ += static_cast<char>(request.data[i]);
                }
            }
            return handedDigest_.size() < kDigestCharacters ? accepted : runExchange();
        default:
            return Answer{kInvalidField, {}};
    }
}

// Command 0x26: the update staging functions.
ManagementController::Answer ManagementController::stageAndUpdate(const IpmiRequest& request) {
    const StagingConfig& staging = config_.staging;
    switch (request.data[3]) {
        case kStagingHashHandOver:
            return stagingDigestPart(request);
        case kIdentityCheck:
            return stagingByte(kStageReplyByte, staging.identityCheckFlag);
        case kSupportedMethods:
            return stagingByte(kMethodsByte, staging.digestMethods);
        case kStageOnly:
        case kStageAndUpdate:
            return stageRequest(request);
        case kStageStatus:
            return stageStatus(request);
        case kStageReset:
            return stagingByte(kStageReplyByte, staging.resetAnswer);
        default:
            return Answer{kInvalidField, {}};
    }
}

// Function 0x10 hands a digest over: a header (byte 4 = 0), then parts of up
// to ten characters.
ManagementController::Answer ManagementController::stagingDigestPart(const IpmiRequest& request) {
    Answer accepted{0, std::vector<std::uint8_t>(kStagingBytes, 0)};
    if (request.data[4] == kHandOverHeader) {
        stagingDigest_.clear();
        return accepted;
    }
    for (std::size_t i = 5; i < request.data.size() && i < 5 + kHashCharactersPerPart; ++i) {
        if (request.data[i] != 0) {
            stagingDigest_ += static_cast<char>(request.data[i]);
        }
    }
    return accepted;
}

ManagementController::Answer ManagementController::stageRequest(const IpmiRequest& request) {
    bool marked = request.data.size() > 5 && request.data[5] == kSignatureMarked;
    stageRequests_.push_back(StageRequest{request.data[3], marked});
    return stagingByte(kStageReplyByte, config_.staging.stageAnswer);
}

// The scripted statuses are used up in order; the last one answers every
// later poll.
ManagementController::Answer ManagementController::stageStatus(const IpmiRequest&) {
    std::vector<std::uint8_t>& statuses = config_.staging.stageStatuses;
    if (statuses.empty()) {
        return stagingByte(kStageReplyByte, 0);
    }
    std::uint8_t status = statuses.front();
    if (statuses.size() > 1) {
        statuses.erase(statuses.begin());
    }
    return stagingByte(kStageReplyByte, status);
}

// A successful 0x26 answer carrying value in response byte responseByte.
ManagementController::Answer ManagementController::stagingByte(unsigned responseByte,
                                                               std::uint8_t value) const {
    Answer answer{0, std::vector<std::uint8_t>(kStagingBytes, 0)};
    answer.bytes[responseByte - 1] = value;
    return answer;
}

// "BeginSecureUpdate" makes and presents the drop box the signed package goes
// into; "ProcessSecureUpdate" takes it back and carries out its command file;
// "EndSecureUpdate" deletes it.
ManagementController::Answer ManagementController::beginSecureUpdate(const IpmiRequest& request) {
    if (secureUpdateSlot_) {
        return Answer{kResourceLocked, {}};
    }
    std::optional<int> slot = makeDynamic("SECUPD", config_.staging.secureUpdateDropBoxBytes, 0x40);
    if (!slot) {
        return Answer{kDeviceFull, {}};
    }
    secureUpdateSlot_ = slot;
    secureUpdatePayload_ = littleEndian(request.data, 6);
    attachSelected(0, static_cast<std::uint16_t>(1u << *slot));
    return Answer{0, std::vector<std::uint8_t>(kSecureBeginBytes, 0)};
}

ManagementController::Answer ManagementController::processSecureUpdate(const IpmiRequest& request) {
    if (!secureUpdateSlot_) {
        return Answer{kInvalidField, {}};
    }
    std::string digest = hexText(request.data.data() + kSecureDigestAt, kSecureDigestBytes);
    int slot = *secureUpdateSlot_;
    store_.detach(0, static_cast<std::uint16_t>(1u << slot), presenter_);
    ExchangeOutcome outcome = carryOut(slot, digest);
    outcomes_.push_back(outcome);
    if (!outcome.accepted) {
        return Answer{kInvalidField, {}};
    }
    return Answer{0, std::vector<std::uint8_t>(kSecureStepBytes, 0)};
}

ManagementController::Answer ManagementController::endSecureUpdate(const IpmiRequest&) {
    if (!secureUpdateSlot_) {
        return Answer{kInvalidField, {}};
    }
    int slot = *secureUpdateSlot_;
    secureUpdateSlot_.reset();
    store_.detach(0, static_cast<std::uint16_t>(1u << slot), presenter_);
    removeDynamic(slot);
    return Answer{0, std::vector<std::uint8_t>(kSecureStepBytes, 0)};
}

ManagementController::Answer ManagementController::orbeStatus(const IpmiRequest& request) {
    if (request.data[0] != kOrbeStatusFunction) {
        return Answer{kInvalidField, {}};
    }
    Answer answer{0, std::vector<std::uint8_t>(kOrbeStatusBytes, 0)};
    answer.bytes[1] = config_.staging.orbeStatus;
    return answer;
}

ManagementController::Answer ManagementController::runExchange() {
    std::string digest = handedDigest_;
    handedDigest_.clear();
    int slot = 0;
    std::uint16_t selected = handoverMask_ & store_.dynamicBitmap();
    while (slot < PartitionStore::kMaxSlots && (selected & (1u << slot)) == 0) {
        ++slot;
    }
    if (slot == PartitionStore::kMaxSlots) {
        return Answer{kOutOfRange, {}};  // the hand-over named no drop box
    }
    // The host must have taken the drop box back before the controller reads it.
    if (store_.find(true, slot)->attached) {
        return Answer{kResourceLocked, {}};
    }
    ExchangeOutcome outcome = carryOut(slot, digest);
    outcomes_.push_back(outcome);
    Answer running{2, std::vector<std::uint8_t>(kHandOverBytes, 0)};
    pending_[kSecureUpdate] =
        PendingCommand{static_cast<int>(config_.processingPolls),
                       outcome.accepted ? std::uint8_t{0} : kFinishedWithFailure,
                       running,
                       {}};
    return running;
}

ExchangeOutcome ManagementController::carryOut(int slot, const std::string& digest) {
    ControllerPartition* dropBox = withImage(true, slot);
    if (dropBox == nullptr) {
        return ExchangeOutcome{false, "the drop box has no image", {}};
    }
    StaticMirrors volumes = [this](int number) { return staticMirror(number); };
    return carryOutCommandFile(
        *dropBox->image.mirror, digest,
        ExchangeScene{config_.records, volumes, config_.stagingFaults, config_.writesAnswer});
}

// The static partition labelled VSK and its number in three digits.
std::shared_ptr<VolumeMirror> ManagementController::staticMirror(int number) {
    char label[16];
    std::snprintf(label, sizeof(label), "VSK%03d", number);
    for (const ControllerPartition& partition : store_.all()) {
        if (!partition.image.dynamic && partition.image.label == label) {
            return withImage(false, partition.image.slot)->image.mirror;
        }
    }
    return nullptr;
}

// Get Device ID: the controller's firmware version as the firmware
// revision, IPMI 2.0, nothing further to browse.
ManagementController::Answer ManagementController::deviceId(const IpmiRequest&) {
    return Answer{0,
                  {kDeviceId, kDeviceRevision, config_.firmwareMajor, config_.firmwareMinor,
                   kIpmiVersion20, kDeviceSupport, kManufacturer[0], kManufacturer[1],
                   kManufacturer[2], kProduct[0], kProduct[1]}};
}

ManagementController::Answer ManagementController::setGlobalEnables(const IpmiRequest& request) {
    globalEnables_ = request.data[0] & kEnablesKept;
    return Answer{0, {}};
}

ManagementController::Answer ManagementController::getGlobalEnables(const IpmiRequest&) {
    return Answer{0, {globalEnables_}};
}

// The model never queues messages or events for the host: no flags to clear
// or report.
ManagementController::Answer ManagementController::clearMessageFlags(const IpmiRequest&) {
    return Answer{0, {}};
}

ManagementController::Answer ManagementController::getMessageFlags(const IpmiRequest&) {
    return Answer{0, {0x00}};
}

ManagementController::Answer ManagementController::coldReset(const IpmiRequest&) {
    ++coldResets_;
    sessionOpen_ = false;
    handle_ = 0;
    pending_.clear();
    store_.detachAll(presenter_);
    return Answer{0, {}};
}

std::optional<int> ManagementController::makeDynamic(const std::string& label,
                                                     std::uint64_t sizeBytes, std::uint8_t flags) {
    std::optional<int> slot = store_.createDynamic(label, sizeBytes, flags);
    if (slot) {
        withImage(true, *slot);
    }
    return slot;
}

void ManagementController::removeDynamic(int slot) {
    if (const ControllerPartition* partition = store_.find(true, slot)) {
        images_.remove(partition->image.imagePath);
    }
    store_.removeDynamic(slot);
}

// A partition is shown to the host with its image, made now when it has
// none yet, and holding what its files do. A host that writes the image
// itself leaves the files behind.
void ManagementController::attachSelected(std::uint16_t staticMask, std::uint16_t dynamicMask) {
    for (int slot = 0; slot < PartitionStore::kMaxSlots; ++slot) {
        for (bool dynamic : {false, true}) {
            std::uint16_t mask = dynamic ? dynamicMask : staticMask;
            ControllerPartition* partition =
                (mask & (1u << slot)) != 0 ? withImage(dynamic, slot) : nullptr;
            if (partition == nullptr) {
                continue;
            }
            partition->image.mirror->settleImage();
            if (presenter_ != nullptr && !presenter_->writesThroughMirror()) {
                partition->image.mirror->forget();
            }
        }
    }
    store_.attach(staticMask, dynamicMask, presenter_);
}

ControllerPartition* ManagementController::withImage(bool dynamic, int slot) {
    ControllerPartition* partition = store_.find(dynamic, slot);
    if (partition != nullptr && partition->image.imagePath.empty()) {
        partition->image.imagePath = images_.create(partition->image);
        partition->image.mirror = images_.mirrorOf(partition->image.imagePath);
    }
    return partition;
}

// The image for whoever asks, who may change it: it holds what the files
// do, and they go.
std::optional<FatImage> ManagementController::imageOf(bool dynamic, int slot) {
    ControllerPartition* partition = withImage(dynamic, slot);
    if (partition == nullptr) {
        return std::nullopt;
    }
    partition->image.mirror->settleImage();
    partition->image.mirror->forget();
    return FatImage::open(partition->image.imagePath);
}

std::optional<int> ManagementController::createDynamic(const std::string& label,
                                                       std::uint64_t sizeBytes,
                                                       std::uint8_t flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    return makeDynamic(label, sizeBytes, flags);
}

bool ManagementController::deleteDynamic(int slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (store_.find(true, slot) == nullptr) {
        return false;
    }
    removeDynamic(slot);
    return true;
}

void ManagementController::attach(std::uint16_t staticMask, std::uint16_t dynamicMask) {
    std::lock_guard<std::mutex> lock(mutex_);
    attachSelected(staticMask, dynamicMask);
}

void ManagementController::detach(std::uint16_t staticMask, std::uint16_t dynamicMask) {
    std::lock_guard<std::mutex> lock(mutex_);
    store_.detach(staticMask, dynamicMask, presenter_);
}

std::optional<FatImage> ManagementController::partitionImage(bool dynamic, int slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    return imageOf(dynamic, slot);
}

std::optional<std::string> ManagementController::readPartitionFile(bool dynamic, int slot,
                                                                   const std::string& name) {
    std::optional<FatImage> image = partitionImage(dynamic, slot);
    return image ? image->readFile(name) : std::nullopt;
}

bool ManagementController::writePartitionFile(bool dynamic, int slot, const std::string& name,
                                              const std::string& content) {
    std::optional<FatImage> image = partitionImage(dynamic, slot);
    if (!image) {
        return false;
    }
    image->writeFile(name, content);
    return true;
}

std::vector<std::vector<std::uint8_t>> ManagementController::requestsFor(
    const CommandKey& key) const {
    std::vector<std::vector<std::uint8_t>> result;
    for (const RecordedExchange& exchange : exchanges_) {
        if (keyOf(exchange.request) == key) {
            result.push_back(exchange.request.data);
        }
    }
    return result;
}

unsigned ManagementController::callCount(const CommandKey& key) const {
    auto found = calls_.find(key);
    return found == calls_.end() ? 0 : found->second;
}

void ManagementController::clearRecord() {
    exchanges_.clear();
}
