#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vserver/BmcTransport.h"
#include "vserver/ControllerScript.h"
#include "vserver/FatImage.h"
#include "vserver/PartitionImages.h"
#include "vserver/PartitionPresenter.h"
#include "vserver/PartitionStore.h"
#include "vserver/RecordExchange.h"

struct StaticPartitionConfig {
    int slot = 0;
    std::string label;  // six characters
    std::uint32_t sizeMB = 0;
    std::string name;
};

// How the controller answers the update staging functions of command 0x26
// and the service environment status.
struct StagingConfig {
    std::uint8_t identityCheckFlag = 0;  // 0: the identity check is enabled
    std::uint8_t digestMethods = 0x01;   // bit 0 SHA-256, bit 1 GPG
    std::uint8_t stageAnswer = 2;        // answer to a stage request; 2: poll the status
    // Answers to the status polls, used up in order; the last one repeats.
    std::vector<std::uint8_t> stageStatuses = {4};
    std::uint8_t resetAnswer = 9;
    std::uint8_t orbeStatus = 0;
    std::uint64_t secureUpdateDropBoxBytes = 64ull << 20;  // made by "BeginSecureUpdate"
};

// What a server description says about its controller.
struct ControllerConfig {
    std::uint8_t generationByte = 0x31;   // Mk14
    std::uint8_t storageTypeByte = 0x00;  // 0 Full, 1 Lite, 2 Liter, else none
    std::uint8_t accessState = 0x00;      // 0 enabled, 2 recovering
    std::uint8_t firmwareMajor = 2;
    std::uint8_t firmwareMinor = 0x20;
    bool monolithic = false;  // a monolithic controller does not know command 0xBD
    std::uint8_t stateFlag = 0;
    std::uint16_t firstHandle = 0x1A2B;
    int dynamicSlots = 8;
    std::uint64_t dynamicCapacityBytes = 0;  // 0: no limit
    std::vector<StaticPartitionConfig> staticPartitions;
    // The record store and how the controller carries out exchanges.
    RecordStore records;
    unsigned processingPolls = 0;  // status polls an exchange stays running
    bool writesAnswer = true;      // false: a controller that leaves no output.xml
    StagingConfig staging;
    StagingFaults stagingFaults;
};

// A stage request as the controller received it.
struct StageRequest {
    std::uint8_t function = 0;  // 0x04 stage and update, 0x02 stage only
    bool signatureMarked = false;
};

struct RecordedExchange {
    IpmiRequest request;
    std::optional<IpmiResponse> response;
};

// The management controller (Quenta) and its partitioned storage, reached only
// through request and response bytes.
class ManagementController : public BmcTransport {
public:
    // Completion codes of the model's own refusals.
    static constexpr std::uint8_t kNotImplemented = 0x01;
    static constexpr std::uint8_t kResourceLocked = 0x0B;
    static constexpr std::uint8_t kInvalidIndex = 0x0C;
    static constexpr std::uint8_t kDeviceFull = 0x13;
    static constexpr std::uint8_t kInvalidCommand = 0xC1;
    static constexpr std::uint8_t kInvalidLength = 0xC7;
    static constexpr std::uint8_t kOutOfRange = 0xC9;
    static constexpr std::uint8_t kInvalidField = 0xCC;
    static constexpr std::uint8_t kCannotRespond = 0xCE;
    static constexpr std::uint8_t kNoSession = 0xD5;

    explicit ManagementController(ControllerConfig config = {});

    // Safe to call from several threads; the scripting and inspection calls
    // below are for the test's own thread.
    std::optional<IpmiResponse> exchange(const IpmiRequest& request) override;

    // Scripting (see ControllerScript for precedence).
    ControllerScript& script() { return script_; }

    // Presentation of attached partitions; not owned, may be null.
    void setPresenter(PartitionPresenter* presenter) { presenter_ = presenter; }

    // What the partition commands do, for setting a scene up without a
    // session: create (the lowest free slot, or nothing), delete, attach and
    // detach by masks of slots.
    std::optional<int> createDynamic(const std::string& label, std::uint64_t sizeBytes,
                                     std::uint8_t flags = 0x40);
    bool deleteDynamic(int slot);
    void attach(std::uint16_t staticMask, std::uint16_t dynamicMask);
    void detach(std::uint16_t staticMask, std::uint16_t dynamicMask);

    // Every partition is a FAT image whose volume label is the partition's
    // label: a dynamic one gets it when created, a static one when first
    // attached or asked for here. Options apply to images made later.
    PartitionImages& images() { return images_; }
    // The volume of a partition (made now when it has none yet); nothing when
    // the slot holds no partition.
    std::optional<FatImage> partitionImage(bool dynamic, int slot);
    std::optional<std::string> readPartitionFile(bool dynamic, int slot, const std::string& name);
    bool writePartitionFile(bool dynamic, int slot, const std::string& name,
                            const std::string& content);

    // Identity answers may be changed at any time.
    ControllerConfig& settings() { return config_; }
    PartitionStore& storage() { return store_; }
    const PartitionStore& storage() const { return store_; }

    // As it was built: its configuration, its partitions empty and taken
    // back from the host, no session, no script, nothing recorded.
    void reset();

    // What happened.
    const std::vector<RecordedExchange>& exchanges() const { return exchanges_; }
    std::vector<std::vector<std::uint8_t>> requestsFor(const CommandKey& key) const;
    unsigned callCount(const CommandKey& key) const;
    void clearRecord();

    bool sessionOpen() const { return sessionOpen_; }
    std::uint16_t sessionHandle() const { return handle_; }
    std::uint16_t sessionTimeout() const { return sessionTimeout_; }
    unsigned sessionsBegun() const { return sessionsBegun_; }
    unsigned coldResets() const { return coldResets_; }
    std::uint8_t stateFlag() const { return config_.stateFlag; }
    // The BMC global enables the host set last (bit 0: message interrupt).
    std::uint8_t globalEnables() const { return globalEnables_; }
    bool hasPending(std::uint8_t subCommand) const { return pending_.count(subCommand) != 0; }
    // Every exchange the digest hand-over started, oldest first.
    const std::vector<ExchangeOutcome>& exchangeOutcomes() const { return outcomes_; }
    void clearOutcomes() { outcomes_.clear(); }
    const std::string& stagingDigest() const { return stagingDigest_; }
    const std::vector<StageRequest>& stageRequests() const { return stageRequests_; }
    // The secure update in progress: its drop box slot, or nothing.
    std::optional<int> secureUpdateSlot() const { return secureUpdateSlot_; }
    std::uint16_t secureUpdatePayload() const { return secureUpdatePayload_; }

private:
    struct Answer {
        std::uint8_t code = 0;
        std::vector<std::uint8_t> bytes;  // response bytes after the completion code
    };
    using Handler = Answer (ManagementController::*)(const IpmiRequest&);
    struct HandlerEntry {
        Handler handler;
        std::size_t minimumData;  // request data bytes the command needs
        bool needsSession;
    };
    struct PendingCommand {
        int pollsLeft = 0;
        std::uint8_t finalStatus = 0;
        Answer accepted;  // what the command was answered; repeated to a resend
        // The request whose resend this is; empty: any call of the command.
        std::vector<std::uint8_t> request;
    };

    static CommandKey keyOf(const IpmiRequest& request);
    const HandlerEntry* handlerFor(const CommandKey& key) const;
    Answer dispatch(const CommandKey& key, const IpmiRequest& request);
    Answer scripted(const CommandKey& key, const IpmiRequest& request, const Behaviour& behaviour);
    const PendingCommand* running(const CommandKey& key, const IpmiRequest& request) const;
    std::optional<IpmiResponse> respond(const IpmiRequest& request, const Answer& answer);
    bool handleMatches(const IpmiRequest& request) const;
    std::uint16_t nextHandle();
    void openSession(std::uint16_t timeout);
    void renewHandle(Answer& answer);

    Answer beginSession(const IpmiRequest& request);
    Answer beginSessionExtended(const IpmiRequest& request);
    Answer beginSessionWithMode(const IpmiRequest& request, std::uint8_t mode);
    Answer endSession(const IpmiRequest& request);
    Answer partitionIndexInfo(const IpmiRequest& request);
    Answer partitionInfo(const IpmiRequest& request);
    Answer attachPartitions(const IpmiRequest& request);
    Answer detachPartitions(const IpmiRequest& request);
    Answer createDynamicPartition(const IpmiRequest& request);
    Answer deleteDynamicPartition(const IpmiRequest& request);
    Answer veskStatus(const IpmiRequest& request);
    Answer getStateFlag(const IpmiRequest& request);
    Answer setStateFlag(const IpmiRequest& request);
    Answer storageType(const IpmiRequest& request);
    Answer accessState(const IpmiRequest& request);
    Answer systemGeneration(const IpmiRequest& request);
    Answer capability(const IpmiRequest& request);
    Answer coldReset(const IpmiRequest& request);
    Answer deviceId(const IpmiRequest& request);
    Answer setGlobalEnables(const IpmiRequest& request);
    Answer getGlobalEnables(const IpmiRequest& request);
    Answer clearMessageFlags(const IpmiRequest& request);
    Answer getMessageFlags(const IpmiRequest& request);
    Answer secureVeskUpdate(const IpmiRequest& request);
    Answer stageAndUpdate(const IpmiRequest& request);
    Answer stagingDigestPart(const IpmiRequest& request);
    Answer stageRequest(const IpmiRequest& request);
    Answer stageStatus(const IpmiRequest& request);
    Answer stagingByte(unsigned responseByte, std::uint8_t value) const;
    Answer beginSecureUpdate(const IpmiRequest& request);
    Answer processSecureUpdate(const IpmiRequest& request);
    Answer endSecureUpdate(const IpmiRequest& request);
    Answer orbeStatus(const IpmiRequest& request);
    Answer runExchange();
    ExchangeOutcome carryOut(int slot, const std::string& digest);
    std::shared_ptr<VolumeMirror> staticMirror(int number);

    // The partition commands' effects; the caller holds the lock.
    std::optional<int> makeDynamic(const std::string& label, std::uint64_t sizeBytes,
                                   std::uint8_t flags);
    void removeDynamic(int slot);
    void attachSelected(std::uint16_t staticMask, std::uint16_t dynamicMask);
    ControllerPartition* withImage(bool dynamic, int slot);
    std::optional<FatImage> imageOf(bool dynamic, int slot);

    void addStaticPartitions();

    std::mutex mutex_;
    const ControllerConfig initialConfig_;
    ControllerConfig config_;
    PartitionStore store_;
    PartitionImages images_;
    ControllerScript script_;
    PartitionPresenter* presenter_ = nullptr;
    std::map<CommandKey, HandlerEntry> handlers_;
    std::map<CommandKey, unsigned> calls_;
    std::vector<RecordedExchange> exchanges_;
    std::map<std::uint8_t, PendingCommand> pending_;
    bool sessionOpen_ = false;
    std::uint16_t handle_ = 0;
    std::uint16_t lastIssuedHandle_ = 0;
    std::uint16_t sessionTimeout_ = 0;
    unsigned sessionsBegun_ = 0;
    unsigned coldResets_ = 0;
    std::uint8_t globalEnables_ = 0;
    std::uint16_t handoverMask_ = 0;  // the drop box of the hand-over, host order
    std::string handedDigest_;
    std::string stagingDigest_;  // handed over with function 0x10 of command 0x26
    std::vector<ExchangeOutcome> outcomes_;
    std::vector<StageRequest> stageRequests_;
    std::optional<int> secureUpdateSlot_;
    std::uint16_t secureUpdatePayload_ = 0;
};
