#include "vserver/ControllerScript.h"

Behaviour Behaviour::code(std::uint8_t completionCode, std::vector<std::uint8_t> data) {
    Behaviour behaviour;
    behaviour.completionCode = completionCode;
    if (!data.empty()) {
        behaviour.data = std::move(data);
    }
    return behaviour;
}

Behaviour Behaviour::answer(std::vector<std::uint8_t> data) {
    Behaviour behaviour;
    behaviour.completionCode = 0;
    behaviour.data = std::move(data);
    return behaviour;
}

Behaviour Behaviour::silent() {
    Behaviour behaviour;
    behaviour.noAnswer = true;
    return behaviour;
}

Behaviour Behaviour::pending(int polls, std::uint8_t finalStatus, std::uint8_t code) {
    Behaviour behaviour;
    behaviour.pendingPolls = polls;
    behaviour.finalStatus = finalStatus;
    behaviour.pendingCode = code;
    return behaviour;
}

Behaviour Behaviour::renewedHandle() {
    Behaviour behaviour;
    behaviour.renewHandle = true;
    return behaviour;
}

void ControllerScript::always(const CommandKey& key, const Behaviour& behaviour) {
    always_[key] = behaviour;
}

void ControllerScript::onCall(const CommandKey& key, unsigned callNumber,
                              const Behaviour& behaviour) {
    byCall_[{key, callNumber}] = behaviour;
}

void ControllerScript::queue(const CommandKey& key, const Behaviour& behaviour) {
    queued_[key].push_back(behaviour);
}

void ControllerScript::clear() {
    always_.clear();
    byCall_.clear();
    queued_.clear();
}

std::optional<Behaviour> ControllerScript::take(const CommandKey& key, unsigned callNumber) {
    auto byCall = byCall_.find({key, callNumber});
    if (byCall != byCall_.end()) {
        return byCall->second;
    }
    auto queued = queued_.find(key);
    if (queued != queued_.end() && !queued->second.empty()) {
        Behaviour behaviour = queued->second.front();
        queued->second.pop_front();
        return behaviour;
    }
    auto always = always_.find(key);
    if (always != always_.end()) {
        return always->second;
    }
    return std::nullopt;
}
